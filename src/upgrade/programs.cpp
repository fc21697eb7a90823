#include "upgrade/programs.h"

#include <charconv>
#include <memory>
#include <system_error>

#include "repos/sha256.h"
#include "util/contained_folder.h"
#include "util/path.h"
#include "util/reason.h"
#include "util/system_error.h"

namespace kanade {

namespace {

ProgramLauncher* current_launcher = nullptr;

std::string FolderOf(std::string_view path) {
  const auto last = path.find_last_of("\\/");
  return last == std::string_view::npos ? std::string(".") : std::string(path.substr(0, last));
}

std::string NameOf(std::string_view path) {
  const auto last = path.find_last_of("\\/");
  return std::string(last == std::string_view::npos ? path : path.substr(last + 1));
}

// The rename is made durable too. Best effort: the new file is already on
// disk, and a rename lost to a power cut leaves the old program whole.
ProgramOutcome Placed(const ContainedFolder& folder) {
  folder.Sync();
  return ProgramDone();
}

}  // namespace

ProgramLauncher& Launcher() {
  return current_launcher != nullptr ? *current_launcher : PlatformLauncher();
}

void SetLauncher(ProgramLauncher* launcher) {
  current_launcher = launcher;
}

bool ParseStartedBy(std::string_view text, long long* pid, long long* handle) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  const auto number = [](std::string_view digits, long long* value) {
    if (!digits.empty() && digits[0] == '-') {
      digits.remove_prefix(1);
      if (digits != "1") return false;
      *value = -1;
      return true;
    }
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), *value);
    return error == std::errc() && end == digits.data() + digits.size() && !digits.empty();
  };
  return number(text.substr(0, colon), pid) && *pid > 0 && number(text.substr(colon + 1), handle);
}

std::FILE* RunningProgramBody(std::string_view digest, std::optional<std::uint64_t> size) {
  // Asked for every module that starts: the size and digest are taken once,
  // and the program is opened again only for the body it holds. A running
  // program's file cannot be written to, and the copy is hashed anyway.
  static std::optional<std::uint64_t> running_size;
  static std::optional<std::string> running_digest;
  if (running_size && size && *size != *running_size) return nullptr;
  if (running_digest && *running_digest != digest) return nullptr;
  std::uint64_t opened_size = 0;
  UniqueFile file(OpenRunningProgram(&opened_size));
  if (!file) return nullptr;
  running_size = opened_size;
  if (size && *size != opened_size) return nullptr;
  if (!running_digest) {
    running_digest = Sha256OfStream(file.get());
    std::rewind(file.get());
  }
  return *running_digest == digest ? file.release() : nullptr;
}

ProgramOutcome CopyVerifiedProgram(std::string_view from, std::string_view to,
                                   std::string_view expected_digest, unsigned mode) {
  const auto source_folder = ContainedFolder::Open(FolderOf(from), {}, false);
  const auto target_folder = ContainedFolder::Open(FolderOf(to), {}, false);
  if (!source_folder || !target_folder) {
    return ProgramFailed(
        SystemReason("cannot open the folder of " + std::string(source_folder ? to : from)));
  }
  const std::string name = NameOf(to);
  const UniqueFile source(source_folder->OpenForReading(NameOf(from)));
  if (!source) {
    return ProgramFailed(SystemReason("cannot read " + std::string(from) + " as a regular file"));
  }
  auto copy = target_folder->CreateTemporary(name);
  if (!copy) {
    return ProgramFailed(SystemReason("cannot create a temporary file beside " + std::string(to)));
  }
  std::string digest;
  std::uint64_t size = 0;
  const auto write = [&copy](const char* data, std::size_t n) { return copy->Write(data, n); };
  if (!CopyHashing(source.get(), write, &digest, &size)) {
    return ProgramFailed(
        SystemReason("cannot copy " + std::string(from) + " beside " + std::string(to)));
  }
  if (!expected_digest.empty() && digest != expected_digest) {
    return ProgramFailed(std::string(from) + " has the digest " + digest + ", expected " +
                         std::string(expected_digest));
  }
  // Flushed before the rename: a power cut must never leave an empty program.
  if (!copy->SetMode(mode) || !copy->Finish(true)) {
    return ProgramFailed(
        SystemReason("cannot write the copy of " + std::string(from) + " to disk"));
  }
  if (target_folder->MoveIntoPlace(*copy, name)) return Placed(*target_folder);
  // Windows refuses to replace a running program but lets it be renamed:
  // set it aside (removed on the next start) and try once more. Never copy
  // into it in place.
  const std::string refused = LastSystemError();
  const std::string suffix = RandomHex(8);
  if (suffix.empty()) return ProgramFailed("no random name to set " + std::string(to) + " aside");
  const std::string aside = name + std::string(kSetAsideFileMarker) + suffix;
  if (!target_folder->Rename(name, aside)) {
    return ProgramFailed(
        SystemReason("cannot replace " + std::string(to) + " (" + refused + ") nor set it aside"));
  }
  if (target_folder->MoveIntoPlace(*copy, name)) return Placed(*target_folder);
  Reason why = SystemReason("cannot put the copy in place as " + std::string(to));
  // The program must not stay under its set-aside name: that is a leftover
  // the next start deletes.
  if (!target_folder->Rename(aside, name)) {
    why.Then(SystemReason("cannot put " + aside + " back as " + name).Line());
  }
  return ProgramFailed(why);
}

}  // namespace kanade
