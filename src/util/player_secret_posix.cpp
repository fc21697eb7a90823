#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "util/contained_folder.h"
#include "util/path.h"
#include "util/player_secret.h"

namespace kanade {

namespace {

constexpr const char* kFolderName = "kanade-patcher";

// The permission bits as ssh and kanade-repo print them: "0644".
std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Why `info` is not the running user's alone, or nothing.
std::optional<std::string> NotPrivate(const struct stat& info, mode_t forbidden) {
  if (info.st_uid != ::geteuid()) return "belongs to uid " + std::to_string(info.st_uid);
  if ((info.st_mode & forbidden) != 0) {
    return "has permissions " + ModeText(info.st_mode) + ", which let others in";
  }
  return std::nullopt;
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Writes a new secret under a temporary name and links it in, so that two
// copies starting at once end up with the same one: a link fails where the
// other copy's already lies.
bool MakeSecret(int folder, const std::string& name, std::size_t size) {
  std::string bytes(size, '\0');
  if (!FillRandomBytes(bytes.data(), bytes.size())) return false;
  const std::string temporary = name + std::string(kTemporaryMarker) + RandomHex(8);
  Fd file{::openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   0600)};
  if (file.fd < 0) return false;
  const bool written =
      ::fchmod(file.fd, 0600) == 0 &&
      ::write(file.fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
      ::fsync(file.fd) == 0;
  const bool linked =
      written &&
      (::linkat(folder, temporary.c_str(), folder, name.c_str(), 0) == 0 || errno == EEXIST);
  ::unlinkat(folder, temporary.c_str(), 0);
  return linked;
}

}  // namespace

std::string PlayerSecretFolder() {
  // The base directory specification: only an absolute path counts.
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/" + kFolderName;
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') return {};
  return std::string(home) + "/.local/state/" + kFolderName;
}

std::optional<std::string> PlayerSecret(std::string_view name, std::size_t size, Reason* why) {
  const std::string folder_path = PlayerSecretFolder();
  if (folder_path.empty()) {
    *why = Reason("no home folder is set (HOME) to keep the player's key in");
    return std::nullopt;
  }
  const std::string parent = Utf8Path(FsPath(folder_path).parent_path());
  if (!EnsureDirectoryTree(parent, "/")) {
    *why = SystemReason("cannot make " + parent);
    return std::nullopt;
  }
  if (::mkdir(folder_path.c_str(), 0700) != 0 && errno != EEXIST) {
    *why = SystemReason("cannot make " + folder_path);
    return std::nullopt;
  }
  Fd folder{::open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
  struct stat info {};
  if (folder.fd < 0 || ::fstat(folder.fd, &info) != 0) {
    *why = SystemReason("cannot open " + folder_path);
    return std::nullopt;
  }
  // Whoever may write the folder may put a key of their own in it.
  if (const auto problem = NotPrivate(info, S_IWGRP | S_IWOTH)) {
    *why = Reason(folder_path + " " + *problem + "; the key there is not used");
    return std::nullopt;
  }
  const std::string file_name(name);
  const std::string path = folder_path + "/" + file_name;
  Fd file{::openat(folder.fd, file_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)};
  if (file.fd < 0 && errno == ENOENT) {
    if (!MakeSecret(folder.fd, file_name, size)) {
      *why = SystemReason("cannot write " + path);
      return std::nullopt;
    }
    file.fd = ::openat(folder.fd, file_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  }
  if (file.fd < 0 || ::fstat(file.fd, &info) != 0) {
    *why = SystemReason("cannot open " + path);
    return std::nullopt;
  }
  if (!S_ISREG(info.st_mode)) {
    *why = Reason(path + " is no plain file; not used");
    return std::nullopt;
  }
  if (const auto problem = NotPrivate(info, S_IRWXG | S_IRWXO)) {
    *why = Reason(path + " " + *problem + "; not used");
    return std::nullopt;
  }
  std::string bytes(size + 1, '\0');
  const ssize_t read = ::read(file.fd, bytes.data(), bytes.size());
  if (read != static_cast<ssize_t>(size)) {
    *why = read < 0 ? SystemReason("cannot read " + path)
                    : Reason(path + " holds " + std::to_string(read) + " bytes, not " +
                             std::to_string(size) + "; not used");
    return std::nullopt;
  }
  bytes.resize(size);
  return bytes;
}

}  // namespace kanade
