#include "publish_command.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "release_plan.h"
#include "release_sources.h"
#include "release_writer.h"
#include "served_tree.h"
#include "tool_support.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

int Report(const PublishError& error) {
  return Complain(error.Text, error.Mismatch ? kContentFailed : kUsageOrIoFailed);
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

bool IsMode(const std::string& name) {
  for (const char* mode : kPublishModes) {
    if (name == mode) return true;
  }
  return false;
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
               ": give the URL that serves the folder, such as https://example.org (no spaces, "
               "no \";\")";
    return std::nullopt;
  }
  return url;
}

// The trees and builds that the command line names, read and checked; or
// nothing, with the complaint printed and the exit status in `status`.
std::optional<PublishRequest> ReadRequest(const std::vector<std::string>& operands,
                                          const std::map<std::string, std::string>& options,
                                          const std::string& www, const std::string& base_url,
                                          int* status) {
  const auto refuse = [status](const std::string& complaint) {
    *status = Complain(complaint, kUsageOrIoFailed);
    return std::optional<PublishRequest>();
  };
  const auto report = [status](const PublishError& error) {
    *status = Report(error);
    return std::optional<PublishRequest>();
  };
  PublishRequest request;
  request.Www = www;
  request.BaseUrl = base_url;
  PublishError error;
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
    if (request.Repositories.count(mode) > 0) {
      return refuse(mode + " is given twice");
    }
    if (Contains(folder, www)) {
      return refuse(folder + ": holds " + www + ", which would publish itself");
    }
    auto files = ReadTranslationTree(folder, &error);
    if (!files) return report(error);
    request.Repositories[mode] = std::move(*files);
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
    const auto build = ReadProgramBuild(*file, program.Kind, &error);
    if (!build) return report(error);
    if (program.Kind == ProgramKind::kWindows && !build->Authenticode) {
      std::fprintf(stderr,
                   "kanade-repo: warning: %s carries no Authenticode signature; Windows "
                   "SmartScreen and virus scanners may flag it (scripts/sign-windows.sh)\n",
                   file->c_str());
    }
    request.Repositories[program.Repository] = {build->File};
  }
  if (request.Repositories.empty()) {
    return refuse("nothing to publish: give MODE=FOLDER, --windows or --linux");
  }

  return request;
}

}  // namespace

int Publish(const std::vector<std::string>& operands,
            const std::map<std::string, std::string>& options) {
  int status = kOk;
  for (const char* required : {"--key", "--out", "--base-url"}) {
    if (options.count(required) == 0) {
      return Complain(std::string("publish needs ") + required, kUsageOrIoFailed);
    }
  }
  std::string problem;
  const auto base_url = BaseUrlOf(options.at("--base-url"), &problem);
  if (!base_url) return Complain(problem, kUsageOrIoFailed);
  const std::string www = StripTrailingSeparators(options.at("--out"));
  if (www.empty()) return Complain("--out needs a folder", kUsageOrIoFailed);
  if (IsFile(www)) return Complain(www + ": is no folder", kUsageOrIoFailed);

  const auto key = ReadSecretKey(options.at("--key"), &status);
  if (!key) return status;
  std::vector<PublicKey> keys = {key->Public()};
  if (const auto keys_file = Option(options, "--keys")) {
    const auto loaded = ReadPublicKeys(*keys_file, &status);
    if (!loaded) return status;
    keys = *loaded;
    if (std::find(keys.begin(), keys.end(), key->Public()) == keys.end()) {
      return Complain(options.at("--key") + ": its public key " + KeyIdOf(key->Public()) +
                          " is not in " + *keys_file + ", so those builds would refuse the release",
                      kUsageOrIoFailed);
    }
  }

  auto request = ReadRequest(operands, options, www, *base_url, &status);
  if (!request) return status;

  // Held from the plan on: a second publish must not work from the same state.
  std::unique_ptr<PublishLock> lock;
  const bool dry_run = options.count("--dry-run") > 0;
  PublishError error;
  if (!dry_run) {
    lock = PublishLock::Take(www, &error);
    if (!lock) return Report(error);
    RemoveLeftovers(www);
  }
  const auto plan = PlanRelease(*request, *key, keys, &error);
  if (!plan) return Report(error);
  std::fputs(DescribePlan(*plan).c_str(), stdout);
  if (dry_run) {
    std::puts("dry run: nothing written");
    return kOk;
  }

  std::vector<std::string> notes;
  const auto good = WriteBodies(*plan, www, &notes, &error);
  for (const std::string& note : notes) std::printf("%s\n", note.c_str());
  if (!good) return Report(error);
  // Nothing reaches clients before the whole release holds together.
  if (!CheckServedTree(www, *base_url, plan->ServedTexts(), keys, *good, &error)) {
    return Report(error);
  }
  notes.clear();
  const bool written = WriteRepositories(*plan, www, &notes, &error);
  for (const std::string& note : notes) std::printf("%s\n", note.c_str());
  if (!written || (plan->Changed() && !RetireBodies(*plan, www, &error))) return Report(error);
  const auto served = ReadServedRepositories(www, &error);
  if (!served || !CheckServedTree(www, *base_url, *served, keys, {}, &error) ||
      !CheckRepositoryCopies(www, *served, &error)) {
    return Report(error);
  }
  std::string published;
  for (const RepositoryRelease& release : plan->Repositories) {
    if (release.Changed) {
      published +=
          " " + release.Name + ".repo (SERIAL " + std::to_string(release.OldSerial + 1) + ")";
    }
  }
  std::printf("%s\n", published.empty() ? "published nothing new: every repository is as given"
                                        : ("published" + published).c_str());
  std::printf("checked %zu repositories and every body they list\n", served->size());
  // A report that never reached its reader is no report: say so.
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "kanade-repo: publish: cannot write the report to standard output\n");
    return kUsageOrIoFailed;
  }
  return kOk;
}

}  // namespace kanade
