// The SERIALs that a served folder holds for each repository: its plain
// file, the .gz copy that clients accepting gzip receive in its place, and
// the record of the SERIAL each repository last went out at. A publish
// killed between two renames, or a file put back from a backup, leaves them
// apart; players may hold the highest of them, and refuse a release that
// reuses it with other bytes, so the next release must rise above them all.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "release_sources.h"
#include "repos/publisher_keys.h"

namespace kanade {

/// The state file (beside repos/, which the site does not serve) that
/// records the SERIAL each repository last went out at.
inline constexpr const char* kSerialRecordName = ".kanade-serials";

/// The record: repository name -> the highest SERIAL it went out at.
std::map<std::string, std::int64_t> ReadSerialRecord(std::string_view www);

/// Raises the record to the SERIAL of each repository in `texts` (name ->
/// text) and writes it atomically, flushed, unless it holds that already.
bool RaiseSerialRecord(std::string_view www, const std::map<std::string, std::string>& texts,
                       PublishError* error);

/// The SERIALs above a repository's plain file.
struct SerialsAbove {
  std::int64_t Highest = 0;         // the highest SERIAL held, the plain file's included
  std::vector<std::string> Places;  // each place that holds one above it, and which
};

/// What `www` holds for repository `name` besides its plain file of SERIAL
/// `plain_serial`: the .gz copy beside it (where it is a repository signed
/// by one of `keys` under that name, which players may have accepted) and
/// the record `record`.
SerialsAbove SerialsHeldAbove(std::string_view www, std::string_view name,
                              std::int64_t plain_serial,
                              const std::map<std::string, std::int64_t>& record,
                              const std::vector<PublicKey>& keys);

}  // namespace kanade
