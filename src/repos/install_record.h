// The record of what this program installed: every file it wrote below a
// target folder, with the digest and size it wrote and the repository that
// listed it. Removal goes by the record alone, so a list that lies in a
// folder others can write never decides what is deleted, and a file a
// release withdrew is still known after a run that was killed. The record is
// sealed with the player's own key (record_seal.h): one that anybody else
// wrote is not believed.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/reason.h"

namespace kanade {

/// The record's file in the repos folder.
inline constexpr std::string_view kInstallRecordName = "installed.txt";

struct RecordedFile {
  std::string Target;                 // the target folder, without trailing separators
  std::string Path;                   // below it, as written (DownloadPrefix included)
  std::string Sha256;                 // what was written
  std::optional<std::uint64_t> Size;  // of what was written, when known
  std::string Repository;             // the local name of the repository that lists it
  std::int64_t Serial = 0;            // that repository's SERIAL when it was recorded
};

class InstallRecord {
 public:
  /// The record in the repos folder; empty when there is none yet. One that
  /// cannot be read, is no record, or is not sealed with the player's key
  /// is begun anew, and `problem` says why: what it named is then taken
  /// over again from the earlier copies of the repositories.
  static InstallRecord Load(Reason* problem);
  /// Seals it, writes it under a temporary name, flushed, then renames it
  /// over the old; `problem` says why when that fails.
  bool Save(Reason* problem) const;

  /// The record's text, sealed with `key`, and back: nothing for text that
  /// is no record or whose seal does not hold.
  std::string Text(std::string_view key) const;
  static std::optional<InstallRecord> Parse(std::string_view text, std::string_view key);

  /// The file recorded at `path` below `target`, whichever repository.
  const RecordedFile* Find(std::string_view target, std::string_view path) const;
  /// Records `file`, replacing what was recorded at its place.
  void Put(RecordedFile file);
  /// Forgets what was recorded at `path` below `target`.
  void Forget(std::string_view target, std::string_view path);
  /// What `repository` installed below `target`, in the order recorded.
  std::vector<RecordedFile> FilesOf(std::string_view repository, std::string_view target) const;

  /// The ModulePathKeys of what `repository` installed below other target
  /// folders than `target`: the game folder it was in before it moved.
  std::set<std::string> PathsElsewhere(std::string_view repository, std::string_view target) const;

  /// Whether a verified copy of `repository` was carried out in `target`
  /// since the record began: an earlier install is taken over only until
  /// then.
  bool Knows(std::string_view repository, std::string_view target) const;
  void AddKnown(std::string_view repository, std::string_view target);

 private:
  struct Kept {
    std::uint64_t order = 0;  // files keep the order they were first recorded in
    RecordedFile file;
  };
  std::vector<const RecordedFile*> InOrder() const;

  std::map<std::string, Kept> files_;  // by RecordKey
  std::uint64_t next_order_ = 0;
  // By repository and RecordKey(target, ""): the target as written.
  std::map<std::pair<std::string, std::string>, std::string> known_;
};

/// What names one place below a target folder in the record: the target
/// without trailing separators, and the path's ModulePathKey, each in lower
/// case where the file system ignores case.
std::string RecordKey(std::string_view target, std::string_view path);

}  // namespace kanade
