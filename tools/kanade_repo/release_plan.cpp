#include "release_plan.h"

#include <filesystem>
#include <limits>
#include <system_error>

#include "repos/repository_trust.h"
#include "repos/sha256.h"
#include "repository_signing.h"
#include "served_serials.h"
#include "served_tree.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

namespace fs = std::filesystem;

bool Fail(PublishError* error, std::string text, bool mismatch) {
  if (error != nullptr) *error = {std::move(text), mismatch};
  return false;
}

std::string SizeText(std::optional<std::uint64_t> size) {
  return size ? std::to_string(*size) : std::string("?");
}

// A served repository that players refuse: its SERIAL is no base for the
// next one, and a new start at SERIAL 1 would be refused by every player who
// has a later copy. Only the copy they received helps.
std::string RefusedServedRepository(const std::string& path, const std::string& problem) {
  return path + ": " + problem +
         "; players refuse it, so its SERIAL is no base for the next release: put back the copy "
         "that they received (from the server or a backup)";
}

// The changes from the served module list to `files`, in path order.
std::vector<ModuleChange> ChangesOf(const std::vector<ServedModule>& served,
                                    const std::vector<SourceFile>& files) {
  std::map<std::string, const ServedModule*> old;
  for (const ServedModule& module : served) old[module.Path] = &module;
  std::map<std::string, ModuleChange> changes;
  for (const SourceFile& file : files) {
    const auto it = old.find(file.Path);
    if (it == old.end()) {
      changes[file.Path] = {ModuleChange::kAdded, file.Path, std::nullopt, file.Size};
    } else if (it->second->Digest != file.Digest) {
      changes[file.Path] = {ModuleChange::kChanged, file.Path, it->second->Size, file.Size};
    }
    if (it != old.end()) old.erase(it);
  }
  for (const auto& [path, module] : old) {
    changes[path] = {ModuleChange::kRemoved, path, module->Size, std::nullopt};
  }
  std::vector<ModuleChange> ordered;
  for (auto& [path, change] : changes) ordered.push_back(std::move(change));
  return ordered;
}

// The bodies below files/ by digest: files named by their digest in the
// folder of its first two digits, and their .gz copies. Links are no bodies.
std::set<std::string> StoredBodies(const fs::path& files) {
  std::set<std::string> found;
  std::error_code ec;
  for (auto folder = fs::directory_iterator(files, ec); !ec && folder != fs::directory_iterator();
       folder.increment(ec)) {
    std::error_code kind_error;
    const std::string prefix = Utf8Path(folder->path().filename());
    if (prefix.size() != 2 ||
        folder->symlink_status(kind_error).type() != fs::file_type::directory) {
      continue;
    }
    std::error_code inner;
    for (auto it = fs::directory_iterator(folder->path(), inner);
         !inner && it != fs::directory_iterator(); it.increment(inner)) {
      std::string name = Utf8Path(it->path().filename());
      if (EndsWith(name, ".gz")) name.resize(name.size() - 3);
      if (IsDigestText(name) && StartsWith(name, prefix) &&
          it->symlink_status(kind_error).type() == fs::file_type::regular) {
        found.insert(name);
      }
    }
  }
  return found;
}

std::set<std::string> RetiredAtLastRelease(const fs::path& www) {
  std::set<std::string> retired;
  const auto text = ReadSmallFile(Utf8Path(www / kRetiredListName));
  if (!text) return retired;
  for (const std::string& line : SplitLines(*text)) {
    if (IsDigestText(line)) retired.insert(line);
  }
  return retired;
}

// Signs `text` as `release`'s next SERIAL: one above every SERIAL that the
// served folder holds for it (`above`), each place above its plain file
// named in `warnings`.
bool SignAboveServed(const std::string& text, const SerialsAbove& above, const SecretKey& key,
                     RepositoryRelease* release, std::vector<std::string>* warnings,
                     PublishError* error) {
  const std::string& name = release->Name;
  if (above.Highest == std::numeric_limits<std::int64_t>::max()) {
    return Fail(error, name + ".repo: its SERIAL cannot grow any further", true);
  }
  release->NewSerial = above.Highest + 1;
  for (const std::string& place : above.Places) {
    warnings->push_back(place + "; " + name + ".repo goes out as SERIAL " +
                        std::to_string(release->NewSerial) +
                        (release->Raised ? ", its modules as they are" : "") +
                        ", above every SERIAL that players may hold");
  }
  std::string problem;
  const auto signed_text = SignRepositoryWithKey(text, key, name, release->NewSerial, &problem);
  if (!signed_text) return Fail(error, name + ".repo: cannot sign: " + problem, true);
  release->Text = *signed_text;
  return true;
}

// The release of one given repository against what is served now.
std::optional<RepositoryRelease> PlanRepository(
    const std::string& name, std::vector<SourceFile> files, const std::string* served,
    const PublishRequest& request, const std::map<std::string, std::int64_t>& record,
    const SecretKey& key, const std::vector<PublicKey>& keys, std::vector<std::string>* warnings,
    PublishError* error) {
  RepositoryRelease release;
  release.Name = name;
  release.Files = std::move(files);
  release.Served = served != nullptr;
  std::string lines;
  for (const SourceFile& file : release.Files) lines += ModuleLineOf(file, request.BaseUrl);

  bool same_lines = false;
  if (served != nullptr) {
    const std::string path = Utf8Path(FsPath(request.Www) / "repos" / FsPath(name + ".repo"));
    const RepositoryCheck check = CheckRepositoryText(*served, keys);
    const bool legacy = check.Trust == RepositoryTrust::kLegacy;
    if (const std::string problem = ServedRepositoryProblem(*served, name, keys, true);
        !problem.empty()) {
      Fail(error, RefusedServedRepository(path, problem), true);
      return std::nullopt;
    }
    release.OldSerial = check.Serial;
    const std::vector<ServedModule> old = ServedModulesOf(*served);
    release.Changes = ChangesOf(old, release.Files);
    std::string old_lines;
    for (const ServedModule& module : old) {
      old_lines += "module=" + module.Path + "\t" + module.Url + "\t" + module.Digest + "\t" +
                   SizeText(module.Size) + "\n";
    }
    same_lines = !legacy && old_lines == lines;
  } else {
    release.Changes = ChangesOf({}, release.Files);
  }
  // An unchanged repository keeps its file, so clients need not fetch it,
  // unless players may hold a higher SERIAL of it than that file.
  const SerialsAbove above = SerialsHeldAbove(request.Www, name, release.OldSerial, record, keys);
  release.Raised = same_lines && above.Highest > release.OldSerial;
  release.Changed = !same_lines || release.Raised;
  if (!release.Changed) return release;
  if (!SignAboveServed("SIGN=0\nNAME=" + name + "\nSERIAL=1\n" + lines, above, key, &release,
                       warnings, error)) {
    return std::nullopt;
  }
  return release;
}

}  // namespace

bool ReleasePlan::Changed() const {
  for (const RepositoryRelease& release : Repositories) {
    if (release.Changed) return true;
  }
  return false;
}

std::map<std::string, std::string> ReleasePlan::ServedTexts() const {
  std::map<std::string, std::string> texts = Kept;
  for (const RepositoryRelease& release : Repositories) texts[release.Name] = release.Text;
  return texts;
}

std::optional<ReleasePlan> PlanRelease(const PublishRequest& request, const SecretKey& key,
                                       const std::vector<PublicKey>& keys, PublishError* error) {
  const fs::path www = FsPath(request.Www);
  const auto served = ReadServedRepositories(request.Www, error);
  if (!served) return std::nullopt;

  ReleasePlan plan;
  plan.Kept = *served;
  const std::map<std::string, std::int64_t> record = ReadSerialRecord(request.Www);
  for (const auto& [name, files] : request.Repositories) {
    const auto it = served->find(name);
    auto release = PlanRepository(name, files, it == served->end() ? nullptr : &it->second, request,
                                  record, key, keys, &plan.Warnings, error);
    if (!release) return std::nullopt;
    // Unchanged, the served file stays and is what the checks look at.
    if (!release->Changed) release->Text = it->second;
    plan.Kept.erase(name);
    plan.Repositories.push_back(std::move(*release));
  }
  for (const auto& [name, text] : plan.Kept) {
    if (const std::string problem = ServedRepositoryProblem(text, name, keys, false);
        !problem.empty()) {
      Fail(error,
           RefusedServedRepository(Utf8Path(www / "repos" / FsPath(name + ".repo")), problem),
           true);
      return std::nullopt;
    }
  }
  // A served repository not given goes out again, its modules as they are,
  // where players may hold a higher SERIAL of it than its plain file: a copy
  // mended from that file would be refused by them.
  for (auto it = plan.Kept.begin(); it != plan.Kept.end();) {
    RepositoryRelease release;
    release.Name = it->first;
    release.Served = release.Changed = release.Raised = true;
    release.OldSerial = CheckRepositoryText(it->second, keys).Serial;
    const SerialsAbove above =
        SerialsHeldAbove(request.Www, it->first, release.OldSerial, record, keys);
    if (above.Highest <= release.OldSerial) {
      ++it;
      continue;
    }
    if (!SignAboveServed(it->second, above, key, &release, &plan.Warnings, error)) {
      return std::nullopt;
    }
    plan.Repositories.push_back(std::move(release));
    it = plan.Kept.erase(it);
  }

  std::error_code ec;
  for (const RepositoryRelease& release : plan.Repositories) {
    for (const SourceFile& file : release.Files) {
      if (!plan.Bodies.emplace(file.Digest, file).second) continue;
      if (!fs::exists(fs::symlink_status(www / FsPath(BodyPathOf(file.Digest)), ec))) {
        plan.NewBodies.insert(file.Digest);
        plan.NewBytes += file.Size;
      }
    }
  }
  if (!plan.Changed()) return plan;

  // Bodies that the release names no more stay for one more release, for
  // clients that fetched the last repository moments ago.
  std::set<std::string> named;
  for (const auto& [name, text] : plan.ServedTexts()) {
    for (const ServedModule& module : ServedModulesOf(text)) {
      if (const auto path = ServedPathOfUrl(module.Url, request.BaseUrl)) named.insert(*path);
    }
  }
  const std::set<std::string> retired = RetiredAtLastRelease(www);
  for (const std::string& digest : StoredBodies(www / "files")) {
    if (named.count(BodyPathOf(digest)) > 0) continue;
    (retired.count(digest) > 0 ? plan.Remove : plan.Retire).push_back(digest);
  }
  return plan;
}

std::string DescribePlan(const ReleasePlan& plan) {
  static const char* const kWords[] = {"added", "changed", "removed"};
  std::string text;
  for (const RepositoryRelease& release : plan.Repositories) {
    text += release.Name + ".repo: ";
    if (!release.Changed) {
      text += "unchanged (SERIAL " + std::to_string(release.OldSerial) + ")\n";
      continue;
    }
    text += release.Served ? "SERIAL " + std::to_string(release.OldSerial) + " -> "
                           : std::string("new, SERIAL ");
    text += std::to_string(release.NewSerial);
    int counts[3] = {0, 0, 0};
    for (const ModuleChange& change : release.Changes) ++counts[change.What];
    std::string summary;
    for (int kind = 0; kind < 3; ++kind) {
      if (counts[kind] == 0) continue;
      summary += (summary.empty() ? "" : ", ") + std::to_string(counts[kind]) + " " + kWords[kind];
    }
    if (summary.empty() && release.Raised) summary = "same modules, above a SERIAL held beside it";
    if (summary.empty()) summary = release.Served ? "same modules at new URLs" : "no modules";
    text += ", " + summary + "\n";
    for (const ModuleChange& change : release.Changes) {
      text += "  " + std::string(kWords[change.What]) + " " + change.Path + " (";
      if (change.What == ModuleChange::kChanged) {
        text += SizeText(change.OldSize) + " -> " + SizeText(change.NewSize);
      } else {
        text += SizeText(change.What == ModuleChange::kAdded ? change.NewSize : change.OldSize);
      }
      text += " bytes)\n";
    }
  }
  for (const auto& [name, served] : plan.Kept) text += name + ".repo: kept as it is\n";
  const std::size_t added = plan.NewBodies.size();
  text += "files/: " + std::to_string(added) + (added == 1 ? " new body (" : " new bodies (") +
          std::to_string(plan.NewBytes) + " bytes); " + std::to_string(plan.Retire.size()) +
          " named no more, kept for one more release; " + std::to_string(plan.Remove.size()) +
          " removed\n";
  return text;
}

}  // namespace kanade
