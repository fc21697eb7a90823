// The folder that the web server serves: signed repositories in repos/ and
// module bodies in files/, each body stored once under its digest
// (files/<first two digits>/<digest>, with a .gz copy beside it where that
// saves space). A URL there never changes meaning, so caches may keep it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "release_sources.h"
#include "repos/publisher_keys.h"

namespace kanade {

/// "files/ab/abcd…": where the body with `digest` lies below the served folder.
std::string BodyPathOf(std::string_view digest);

/// The module line of `file` served from `base_url`: path, body URL, digest
/// and size, separated by TAB, with its LF.
std::string ModuleLineOf(const SourceFile& file, std::string_view base_url);

/// A module line of a served repository, its path with "/".
struct ServedModule {
  std::string Path;
  std::string Url;
  std::string Digest;
  std::optional<std::uint64_t> Size;
};
std::vector<ServedModule> ServedModulesOf(std::string_view text);

/// The repository files in `www`/repos/ by name (without ".repo"). Nothing
/// when the folder cannot be read, or a repository is a link or cannot be
/// read.
std::optional<std::map<std::string, std::string>> ReadServedRepositories(std::string_view www,
                                                                         PublishError* error);

/// Why players would refuse the served repository `text` as `name`: which
/// key signed it when none of `keys` did, or what else is wrong; empty when
/// one of `keys` signs it under its name (or, where `legacy_allowed`, it
/// carries only the SIGN line, as before keys existed).
std::string ServedRepositoryProblem(std::string_view text, std::string_view name,
                                    const std::vector<PublicKey>& keys, bool legacy_allowed);

/// The bytes of the regular file `path` (a link to one is followed), of at
/// most a repository's size: the state files beside repos/ and the files
/// that tools replace. Nothing for a device, a FIFO, a folder or a larger
/// file, which would never end or fill memory.
std::optional<std::string> ReadSmallFile(const std::string& path);

/// The URL recorded as serving `www` (kBaseUrlRecordName), or nothing.
std::optional<std::string> ReadBaseUrlRecord(std::string_view www);

/// Checks a served tree: each repository in `repositories` (name -> text) is
/// signed by one of `keys` under its own name, and every module it lists lies
/// below `www` at its URL (which must begin with `base_url` + "/files/") as a
/// regular file, reached through no link, with the listed digest and size,
/// and so does the decoded .gz copy beside it. Bodies in `trusted` (paths
/// below `www`) count as checked. False with the first mismatch in `error`,
/// naming the file.
bool CheckServedTree(std::string_view www, std::string_view base_url,
                     const std::map<std::string, std::string>& repositories,
                     const std::vector<PublicKey>& keys, const std::set<std::string>& trusted,
                     PublishError* error);

/// "repos/NAME.repo.gz" below `www`: the gzip copy beside a repository.
std::string RepositoryCopyPathOf(std::string_view www, std::string_view name);

/// Why the gzip file at `gz_path` does not decode to exactly `text`, the
/// repository file `plain_name` beside it, naming both SERIALs where they
/// differ; empty when it does. It is decoded no further than `text`'s size.
std::string GzipCopyProblem(const std::string& gz_path, std::string_view text,
                            std::string_view plain_name);

/// What the gzip file at `path` decodes to; nothing when it is missing, no
/// regular file (or reached through a link), not whole gzip data, or more
/// than a client accepts for a repository.
std::optional<std::string> DecodedGzipFile(const std::string& path);

/// Why the .gz copy of repository `name` below `www` does not decode to
/// `text`; empty when it does.
std::string RepositoryCopyProblem(std::string_view www, std::string_view name,
                                  std::string_view text);

/// Checks that each repository in `repositories` (name -> text) has its .gz
/// copy beside it, decoding to the same bytes. False with the first mismatch
/// in `error`, naming the file.
bool CheckRepositoryCopies(std::string_view www,
                           const std::map<std::string, std::string>& repositories,
                           PublishError* error);

/// Why the body at `path` (with its .gz copy, when there is one) does not
/// hold `size` bytes with `digest`; empty when it does. `size` may be
/// unknown.
std::string BodyProblem(const std::string& path, std::string_view digest,
                        std::optional<std::uint64_t> size);

/// The path below the served folder that `url` names when it begins with
/// `base_url` + "/files/" (percent escapes decoded, every segment a plain
/// name), or nothing.
std::optional<std::string> ServedPathOfUrl(std::string_view url, std::string_view base_url);

}  // namespace kanade
