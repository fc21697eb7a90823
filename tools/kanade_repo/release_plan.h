// A release worked out before anything is written: what each repository
// will list, how that differs from what the served folder holds now, which
// bodies are new and which bodies go.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "release_sources.h"
#include "secret_key.h"

namespace kanade {

/// The state file (in the served folder, outside what the site serves) that
/// lists the bodies no repository named at the last release.
inline constexpr const char* kRetiredListName = ".kanade-retired";
/// The state file that holds the URL serving the folder, beside it.
inline constexpr const char* kBaseUrlRecordName = ".kanade-base-url";

struct PublishRequest {
  std::string Www;      // the served folder: repos/ and files/
  std::string BaseUrl;  // what serves it, without trailing "/"
  std::map<std::string, std::vector<SourceFile>> Repositories;  // name -> its files, by path
};

struct ModuleChange {
  enum Kind { kAdded, kChanged, kRemoved } What;
  std::string Path;
  std::optional<std::uint64_t> OldSize;
  std::optional<std::uint64_t> NewSize;
};

struct RepositoryRelease {
  std::string Name;
  std::vector<SourceFile> Files;
  std::vector<ModuleChange> Changes;
  bool Served = false;         // the served folder holds this repository now
  bool Changed = false;        // it gets a new file
  bool Raised = false;         // only to rise above a SERIAL that the folder holds
  std::int64_t OldSerial = 0;  // 0 for none, or one signed without key
  std::int64_t NewSerial = 0;  // when Changed
  std::string Text;            // the signed new file, when Changed
};

struct ReleasePlan {
  std::vector<RepositoryRelease> Repositories;  // those given, by name
  std::map<std::string, std::string> Kept;      // served ones not given: name -> text
  std::map<std::string, SourceFile> Bodies;     // digest -> where to read it
  std::set<std::string> NewBodies;              // digests not yet below files/
  std::uint64_t NewBytes = 0;
  std::vector<std::string> Retire;  // bodies named no more: kept one release longer
  std::vector<std::string> Remove;  // named by no release since the last one: deleted
  // Each place that holds a SERIAL above a repository's plain file, with the
  // SERIAL that rises above it.
  std::vector<std::string> Warnings;

  bool Changed() const;
  /// The repositories as they will be served: name -> text.
  std::map<std::string, std::string> ServedTexts() const;
};

/// Works out the release of `request`, signed with `key`. Repositories now
/// served must verify with `keys` under their own name (a given one may also
/// be signed without key, as before keys existed), else nothing is planned.
/// Each changed repository takes a SERIAL above every one that the folder
/// holds for it; a repository whose plain file lies below such a SERIAL is
/// signed again above it, a served one not given with its modules as they
/// are.
std::optional<ReleasePlan> PlanRelease(const PublishRequest& request, const SecretKey& key,
                                       const std::vector<PublicKey>& keys, PublishError* error);

/// The plan for the publisher, one line per repository, one per added,
/// changed or removed module, and one for the bodies.
std::string DescribePlan(const ReleasePlan& plan);

}  // namespace kanade
