// What fetching, applying and uninstalling did, and why: the patch run
// decides from these values, and the reporter turns them into console lines.
#pragma once

#include <string>
#include <vector>

#include "util/reason.h"

namespace kanade {

/// What a repository's lines are run for.
enum class PatchAction { kInstall, kUninstall };

enum class FetchResult {
  kFetched,  // downloaded and accepted (or the same bytes as the kept copy)
  kFailed,   // nothing usable arrived
  kRefused,  // something arrived that must not replace the kept copy
};

struct FetchOutcome {
  FetchResult Result = FetchResult::kFailed;
  bool VerifiedCopy = false;  // a verified local copy is there afterwards, new or kept
  kanade::Reason Reason;      // why it failed or was refused
  bool Silent = false;        // ended before it started: the repos folder could not be made
  std::string Note;           // for the log whatever the result: why kept validators went unused

  /// True when the file was downloaded and accepted.
  bool Fetched() const { return Result == FetchResult::kFetched; }
  bool KeptCopyUsed() const { return Result != FetchResult::kFetched && VerifiedCopy; }
};

enum class ModuleResult { kCurrent, kWritten, kRemoved, kFailed, kRefused };

/// How a module failed, which decides its console word.
enum class ModuleFailure { kNone, kWrite, kDownload, kAborted, kDigest, kRemove };

struct ModuleOutcome {
  ModuleResult Result = ModuleResult::kCurrent;
  ModuleFailure Failure = ModuleFailure::kNone;
  kanade::Reason Reason;
};

/// The modules of one repository run through the engine.
struct ModuleTally {
  int Current = 0;
  int Written = 0;
  int Removed = 0;
  int Failed = 0;
  int Refused = 0;

  void Add(ModuleResult result);
  void Add(const ModuleTally& other);
  bool Changed() const { return Written + Removed > 0; }
  bool Faulty() const { return Failed + Refused > 0; }
};

/// An apply or uninstall of one repository.
struct RepositoryOutcome {
  bool CopyUsed = false;  // a verified local copy was carried out in an existing target folder
  bool OwnFilesUnknown = false;  // an uninstall could not tell which files it had installed
  kanade::Reason Reason;         // why the copy could not be used, or why that could not be told
  ModuleTally Modules;  // the repository's own files: installed, or removed by an uninstall
  ModuleTally Cleanup;  // what a release withdrew or another mode left, removed while applying
  std::vector<kanade::Reason>
      Notes;  // for the log: the record of installed files could not be kept

  bool Changed() const { return Modules.Changed() || Cleanup.Changed(); }
};

}  // namespace kanade
