#include "publish_command.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "interruption.h"
#include "release_plan.h"
#include "release_sources.h"
#include "release_writer.h"
#include "repos/repository_server.h"
#include "secret_key.h"
#include "served_serials.h"
#include "served_tree.h"
#include "tool_support.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

int Report(const PublishError& error) {
  return Complain(error.Text.Line(), error.Mismatch ? kContentFailed : kUsageOrIoFailed);
}

std::optional<std::string> Option(const std::map<std::string, std::string>& options,
                                  const std::string& name) {
  const auto it = options.find(name);
  return it == options.end() ? std::nullopt : std::optional(it->second);
}

// Whether `inner` is `outer` or lies below it.
bool Contains(const std::string& outer, const std::string& inner) {
  std::error_code ec;
  const auto a = std::filesystem::weakly_canonical(FsPath(outer), ec);
  const auto b = std::filesystem::weakly_canonical(FsPath(inner), ec);
  if (ec) return false;
  const auto [end, ignored] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  return end == a.end();
}

// A translation tree is published as a localisation mode or as the Lua
// module ("kanade-lua").
bool IsMode(const std::string& name) {
  return IsLocalisationMode(name) || RepositoryNameOfMode(name) == kLuaRepositoryName;
}

// The host of an http(s) URL, lower case, without port, user or final ".".
std::string HostOf(std::string_view url) {
  std::string_view rest = url.substr(url.find("://") + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const auto at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
  if (!StartsWith(rest, "[")) rest = rest.substr(0, rest.find(':'));
  std::string host = ToLowerAscii(rest);
  while (!host.empty() && host.back() == '.') host.pop_back();
  return host;
}

// The part of `host` that names it as documentation's example, which no
// player can reach; empty for a usable name.
std::string DocumentationName(const std::string& host) {
  for (const char* reserved : {"example.org", "example.com", "example.net", "example", "invalid"}) {
    if (host == reserved || EndsWith(host, std::string(".") + reserved)) return reserved;
  }
  return {};
}

// The base URL without trailing "/", or a complaint in `problem`.
std::optional<std::string> BaseUrlOf(std::string url, std::string* problem) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  const std::string lower = ToLowerAscii(url);
  const bool scheme = (StartsWith(lower, "https://") && url.size() > 8) ||
                      (StartsWith(lower, "http://") && url.size() > 7);
  bool plain = true;
  for (const char c : url) {
    if (static_cast<unsigned char>(c) <= ' ' || c == ';' || c == 0x7F) plain = false;
  }
  if (!scheme || !plain) {
    *problem = "--base-url " + url +
               ": give the URL that serves the folder, such as https://127.0.0.1:8443 (no "
               "spaces, no \";\")";
    return std::nullopt;
  }
  // Copied from an example, it would be fixed as the folder's URL.
  if (const std::string reserved = DocumentationName(HostOf(url)); !reserved.empty()) {
    *problem = "--base-url " + url + ": " + reserved +
               " is a name reserved for examples, which no player can reach; give the host "
               "that serves the folder";
    return std::nullopt;
  }
  return url;
}

std::string KeyIds(const std::vector<PublicKey>& keys) {
  std::string ids;
  for (const PublicKey& key : keys) ids += (ids.empty() ? "" : ", ") + KeyIdOf(key);
  return ids;
}

// The trees and builds that the command line names, read and checked; or
// nothing, with every complaint printed and the exit status in `status`.
std::optional<PublishRequest> ReadRequest(const std::vector<std::string>& operands,
                                          const std::map<std::string, std::string>& options,
                                          const std::string& www, const std::string& base_url,
                                          int* status) {
  const auto refuse = [status](const std::string& complaint) {
    *status = Complain(complaint, kUsageOrIoFailed);
    return std::optional<PublishRequest>();
  };
  PublishRequest request;
  request.Www = www;
  request.BaseUrl = base_url;
  std::vector<std::pair<std::string, std::string>> trees;  // mode, folder
  for (const std::string& operand : operands) {
    const std::string mode = TextBefore(operand, "=");
    const std::string folder = TextAfter(operand, "=");
    if (operand.find('=') == std::string::npos || folder.empty()) {
      return refuse(operand + ": give MODE=FOLDER");
    }
    if (!IsMode(mode)) {
      return refuse(mode +
                    ": no mode; give kanade-conv-test, kanade-test, kanade-prefixed or "
                    "kanade-lua");
    }
    for (const auto& [given, ignored] : trees) {
      if (given == mode) return refuse(mode + " is given twice");
    }
    if (Contains(folder, www)) {
      return refuse(folder + ": holds " + www + ", which would publish itself");
    }
    trees.emplace_back(mode, folder);
  }
  // Every problem of every tree and build in one run, not one per run.
  std::vector<std::string> problems;
  for (const auto& [mode, folder] : trees) {
    auto files = ReadTranslationTree(folder, &problems);
    if (files) request.Repositories[mode] = std::move(*files);
  }
  struct ProgramOption {
    const char* Option;
    ProgramKind Kind;
    const char* Repository;
  };
  for (const ProgramOption& program :
       {ProgramOption{"--windows", ProgramKind::kWindows, "kanade-patcher-win"},
        ProgramOption{"--linux", ProgramKind::kLinux, "kanade-patcher-linux"}}) {
    const auto file = Option(options, program.Option);
    if (!file) continue;
    PublishError error;
    const auto build = ReadProgramBuild(*file, program.Kind, &error);
    if (!build) {
      problems.push_back(error.Text.Line());
      continue;
    }
    if (program.Kind == ProgramKind::kWindows && !build->Authenticode) {
      std::fprintf(stderr,
                   "kanade-repo: warning: %s carries no Authenticode signature; Windows "
                   "SmartScreen and virus scanners may flag it (scripts/sign-windows.sh)\n",
                   file->c_str());
    }
    request.Repositories[program.Repository] = {build->File};
  }
  if (Interrupted()) return std::nullopt;  // the caller says so
  if (!problems.empty()) {
    *status = ComplainOfEach(problems, "nothing was published");
    return std::nullopt;
  }
  if (request.Repositories.empty()) {
    return refuse("nothing to publish: give MODE=FOLDER, --windows or --linux");
  }
  return request;
}

// How a repository is given on the command line.
std::string HowToGive(const std::string& name) {
  if (name == "kanade-patcher-win") return "--windows FILE";
  if (name == "kanade-patcher-linux") return "--linux FILE";
  return IsMode(name) ? name + "=FOLDER" : name + ".repo";
}

// The served folder keeps its URL: every repository in it lists URLs below
// that URL, so a new one must replace all of them at once. The recorded URL
// decides; a folder published before the record is judged by its URLs.
int CheckBaseUrl(const PublishRequest& request, bool move,
                 const std::map<std::string, std::string>& served) {
  const auto recorded = ReadBaseUrlRecord(request.Www);
  std::string served_at = recorded.value_or("");
  if (!recorded) {
    for (const auto& [name, text] : served) {
      for (const ServedModule& module : ServedModulesOf(text)) {
        if (!ServedPathOfUrl(module.Url, request.BaseUrl)) served_at = "URLs such as " + module.Url;
      }
    }
  }
  if (served_at.empty() || served_at == request.BaseUrl) return kOk;
  if (!move) {
    return Complain(request.Www + " is served at " + served_at + ", not " + request.BaseUrl +
                        "; to move it there, give --move-base-url and every repository it serves",
                    kUsageOrIoFailed);
  }
  std::string missing;
  for (const auto& [name, text] : served) {
    if (request.Repositories.count(name) == 0) {
      missing += (missing.empty() ? "" : ", ") + HowToGive(name);
    }
  }
  if (!missing.empty()) {
    return Complain("--move-base-url changes the URL of every repository in " + request.Www +
                        ", so give each of them; missing: " + missing,
                    kUsageOrIoFailed);
  }
  return kOk;
}

// The keys that the players' builds trust: by default those built into
// this program, from the same KANADE_PUBLISHER_KEYS as the patcher. Nothing,
// with the complaint printed, when they cannot be read or `key` is not
// among them, since players would refuse everything it signs.
std::optional<std::vector<PublicKey>> PlayersKeys(const std::map<std::string, std::string>& options,
                                                  const SecretKey& key, int* status) {
  std::vector<PublicKey> keys = CompiledPublisherKeys();
  std::string trusted_by = "the keys built into kanade-repo";
  if (const auto keys_file = Option(options, "--keys")) {
    const auto loaded = ReadPublicKeys(*keys_file, status);
    if (!loaded) return std::nullopt;
    keys = *loaded;
    trusted_by = "the keys in " + *keys_file;
  }
  if (std::find(keys.begin(), keys.end(), key.Public()) == keys.end()) {
    *status = Complain(options.at("--key") + " is key " + KeyIdOf(key.Public()) +
                           ", but players trust " + KeyIds(keys) + " (" + trusted_by +
                           "), so they would refuse the release; publish with a key they trust, "
                           "or build the patcher and kanade-repo with this one "
                           "(KANADE_PUBLISHER_KEYS)",
                       kUsageOrIoFailed);
    return std::nullopt;
  }
  return keys;
}

// A mistyped --out must not start a second served folder at SERIAL 1, and
// --new must not land on one that serves a release. An existing folder
// without repos/ (its parent, an empty one) is as new as a missing one.
int CheckServedFolder(const std::string& www, bool is_new) {
  if (!IsDirectory(www)) {
    if (is_new) return kOk;
    return Complain(www + ": no such folder; give --new to start a new served folder there",
                    kUsageOrIoFailed);
  }
  const bool holds_release = IsDirectory(Utf8Path(FsPath(www) / "repos")) || ReadBaseUrlRecord(www);
  if (!is_new) {
    if (holds_release) return kOk;
    return Complain(www +
                        ": holds no repos/ of a served folder; give --new to start a new served "
                        "folder there",
                    kUsageOrIoFailed);
  }
  PublishError error;
  const auto served = ReadServedRepositories(www, &error);
  if (!served) return Report(error);
  if (!served->empty() || ReadBaseUrlRecord(www)) {
    return Complain(www + ": already holds a release; leave out --new", kUsageOrIoFailed);
  }
  return kOk;
}

}  // namespace

namespace {

// The options that need no file to check.
struct PublishOptions {
  std::string Www;      // the served folder, without trailing separators
  std::string BaseUrl;  // without trailing "/"
  bool DryRun = false;
};

// Nothing, after a complaint (`status`), when an option is missing or wrong.
std::optional<PublishOptions> CheckPublishOptions(const std::map<std::string, std::string>& options,
                                                  int* status) {
  const auto refuse = [status](const std::string& complaint) {
    *status = Complain(complaint, kUsageOrIoFailed);
    return std::nullopt;
  };
  for (const char* required : {"--key", "--out", "--base-url"}) {
    if (options.count(required) == 0) return refuse(std::string("publish needs ") + required);
  }
  std::string problem;
  const auto base_url = BaseUrlOf(options.at("--base-url"), &problem);
  if (!base_url) return refuse(problem);
  PublishOptions checked{StripTrailingSeparators(options.at("--out")), *base_url,
                         options.count("--dry-run") > 0};
  if (checked.Www.empty()) return refuse("--out needs a folder");
  if (IsFile(checked.Www)) return refuse(checked.Www + ": is no folder");
  return checked;
}

// Ends the process as interrupted when an interruption arrived while
// `guard` lived; until a repository is renamed, the last release stays
// served, and `written` bodies are kept for the next publish.
void StopIfInterrupted(InterruptionGuard* guard, const std::string& www, std::size_t written) {
  if (guard == nullptr || !Interrupted()) return;
  std::string bodies = "no body was written";
  if (written == 1) bodies = "1 new body was written below files/ (the next publish uses it)";
  if (written > 1) {
    bodies = std::to_string(written) +
             " new bodies were written below files/ (the next publish uses them)";
  }
  Complain("interrupted: no repository changed, so " + www +
               " serves the release it served before; " + bodies +
               ", and no temporary file is left",
           kUsageOrIoFailed);
  guard->EndAsInterrupted();
}

// The release transaction: under the publish lock, plan the release, write
// and check the bodies, and only then rename the repositories into place
// and check what is served.
int PublishRelease(const PublishOptions& checked, const PublishRequest& request,
                   const SecretKey& key, const std::vector<PublicKey>& keys, bool move_base_url,
                   InterruptionGuard* guard) {
  const std::string& www = checked.Www;
  const std::string& base_url = checked.BaseUrl;
  const bool dry_run = checked.DryRun;
  // Held from the plan on: a second publish must not work from the same
  // state. A dry run only makes sure that no publish holds it.
  PublishError error;
  const auto lock = PublishLock::Take(www, !dry_run, &error);
  if (!lock) return Report(error);
  if (!dry_run) RemoveLeftovers(www);
  const auto served = ReadServedRepositories(www, &error);
  if (!served) return Report(error);
  if (const int refused = CheckBaseUrl(request, move_base_url, *served); refused != kOk) {
    return refused;
  }
  const auto plan = PlanRelease(request, key, keys, &error);
  if (!plan) return Report(error);
  // The first release fixes the URL for good: say which, before it is.
  if (!ReadBaseUrlRecord(www)) {
    std::printf("%s: base URL %s, fixed from this release on (another needs --move-base-url)\n",
                www.c_str(), base_url.c_str());
  }
  for (const std::string& warning : plan->Warnings) {
    std::fprintf(stderr, "kanade-repo: warning: %s\n", warning.c_str());
  }
  std::fputs(DescribePlan(*plan).c_str(), stdout);

  // The dry run checks the bodies that the real run would keep, and counts
  // those it would write as good.
  BodyWork work;
  const bool bodies = WriteBodies(*plan, www, !dry_run, &work, &error);
  for (const std::string& note : work.Notes) std::printf("%s\n", note.c_str());
  StopIfInterrupted(guard, www, work.Written);
  if (!bodies) return Report(error);
  // Nothing reaches clients before the whole release holds together.
  if (!CheckServedTree(www, base_url, plan->ServedTexts(), keys, work.Good, &error)) {
    StopIfInterrupted(guard, www, work.Written);
    return Report(error);
  }
  if (!RepositoryCopiesCanBeWritten(*plan, www, &error)) return Report(error);
  if (dry_run) {
    for (const auto& [name, problem] : StaleRepositoryCopies(*plan, www)) {
      std::printf("%s: %s; would be written again\n", RepositoryCopyPathOf(www, name).c_str(),
                  problem.c_str());
    }
    std::puts("dry run: nothing written");
    return kOk;
  }
  StopIfInterrupted(guard, www, work.Written);
  // The renames are quick; an interruption meanwhile waits for the check.
  // Unchanged repositories are passed too, so that a missing or stale .gz
  // copy of one is mended.
  // Recorded before any rename: whatever stops this publish, the next one
  // rises above the SERIALs that it may have put out.
  if (!RaiseSerialRecord(www, plan->ServedTexts(), &error)) return Report(error);
  std::vector<std::string> notes;
  const bool written = WriteRepositories(*plan, www, &notes, &error);
  for (const std::string& note : notes) std::printf("%s\n", note.c_str());
  if (!written || (plan->Changed() && !RetireBodies(*plan, www, &error))) return Report(error);
  if (!WriteBaseUrlRecord(www, base_url, &error)) return Report(error);
  std::string published;
  for (const RepositoryRelease& release : plan->Repositories) {
    if (release.Changed) {
      published += " " + release.Name + ".repo (SERIAL " + std::to_string(release.NewSerial) + ")";
    }
  }
  const auto served_now = ReadServedRepositories(www, &error);
  if (!served_now || !CheckServedTree(www, base_url, *served_now, keys, {}, &error) ||
      !CheckRepositoryCopies(www, *served_now, &error)) {
    if (Interrupted()) {
      Complain("interrupted while checking: " + www + " serves the new release" +
                   (published.empty() ? std::string(" (nothing new)") : ":" + published) +
                   "; publish the same again to check it",
               kUsageOrIoFailed);
      guard->EndAsInterrupted();
    }
    return Report(error);
  }
  std::printf("%s\n", published.empty() ? "published nothing new: every repository is as given"
                                        : ("published" + published).c_str());
  std::printf("checked %zu repositories and every body they list\n", served_now->size());
  if (Interrupted()) {
    Complain("interrupted once the release was in place; it was finished and checked",
             kUsageOrIoFailed);
    guard->EndAsInterrupted();
  }
  // A report that never reached its reader is no report: say so.
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "kanade-repo: publish: cannot write the report to standard output\n");
    return kUsageOrIoFailed;
  }
  return kOk;
}

}  // namespace

int Publish(const std::vector<std::string>& operands,
            const std::map<std::string, std::string>& options) {
  int status = kOk;
  const auto checked = CheckPublishOptions(options, &status);
  if (!checked) return status;

  // A dry run writes nothing, so an interruption may end it at once. Until
  // a repository is renamed, an interruption leaves the last release served.
  std::optional<InterruptionGuard> guard;
  if (!checked->DryRun) guard.emplace();
  InterruptionGuard* const guarding = guard ? &*guard : nullptr;

  const auto key = ReadSecretKey(options.at("--key"), &status);
  if (!key) return status;
  const auto keys = PlayersKeys(options, *key, &status);
  if (!keys) return status;
  if (const int refused = CheckServedFolder(checked->Www, options.count("--new") > 0);
      refused != kOk) {
    return refused;
  }
  const auto request = ReadRequest(operands, options, checked->Www, checked->BaseUrl, &status);
  StopIfInterrupted(guarding, checked->Www, 0);
  if (!request) return status;
  return PublishRelease(*checked, *request, *key, *keys, options.count("--move-base-url") > 0,
                        guarding);
}

}  // namespace kanade
