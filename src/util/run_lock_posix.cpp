#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "util/contained_folder.h"
#include "util/run_lock.h"

namespace kanade {

namespace {

int held = -1;  // the lock file, open with its lock

// Only the running user may open it: nobody else can hold its lock.
bool IsPrivate(const struct stat& info) {
  return S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0 &&
         info.st_nlink == 1;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

enum class Replaced { kYes, kNoOwners, kFailed };

// Puts a new lock file of our own in place of whatever lies at the name. A
// file system that keeps no owners or modes (FAT, exFAT) makes even ours
// open to all: the file there is then taken as it is.
Replaced ReplaceLockFile(int folder) {
  const std::string suffix = RandomHex(8);
  if (suffix.empty()) return Replaced::kFailed;
  const std::string temporary = std::string(kRunLockName) + std::string(kTemporaryMarker) + suffix;
  const int fd = ::openat(folder, temporary.c_str(),
                          O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return Replaced::kFailed;
  struct stat info {};
  const bool keeps_owners = ::fstat(fd, &info) == 0 && IsPrivate(info);
  ::close(fd);
  if (keeps_owners &&
      ::renameat(folder, temporary.c_str(), folder, std::string(kRunLockName).c_str()) == 0) {
    return Replaced::kYes;
  }
  ::unlinkat(folder, temporary.c_str(), 0);
  return keeps_owners ? Replaced::kFailed : Replaced::kNoOwners;
}

}  // namespace

bool TakeRunLock(std::string_view folder_path) {
  if (held >= 0) return true;
  const int folder = ::open(std::string(folder_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return true;
  const std::string name(kRunLockName);
  bool no_owners = false;
  bool taken = true;
  // Another copy may replace the file between our open and our lock: the
  // lock counts only on the file that still lies at the name.
  for (int attempt = 0; attempt < 4; ++attempt) {
    const int fd = ::openat(folder, name.c_str(),
                            O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 ||
        !(IsPrivate(info) || (no_owners && S_ISREG(info.st_mode)))) {
      if (fd >= 0) ::close(fd);
      // Someone else's file, a link, or one that others may open: never
      // waited for. A folder we cannot write gives no lock at all.
      const Replaced replaced = ReplaceLockFile(folder);
      if (replaced == Replaced::kFailed) break;
      no_owners = replaced == Replaced::kNoOwners;
      continue;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      taken = errno != EWOULDBLOCK;
      ::close(fd);
      break;
    }
    struct stat named {};
    if (::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(named, info)) {
      held = fd;
      break;
    }
    ::close(fd);
  }
  ::close(folder);
  return taken;
}

void ReleaseRunLock() {
  if (held < 0) return;
  ::close(held);
  held = -1;
}

}  // namespace kanade
