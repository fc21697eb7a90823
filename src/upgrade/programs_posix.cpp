#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "repos/sha256.h"
#include "upgrade/programs.h"
#include "util/page_buffer.h"
#include "util/path.h"
#include "util/reason.h"
#include "util/system_error.h"

extern char** environ;

namespace kanade {

namespace {

constexpr std::size_t kReadChunk = 1 << 20;

std::vector<std::string> SplitParameters(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

std::string DigestOfDescriptor(int fd) {
  Sha256Hasher hasher;
  PageBuffer chunk(kReadChunk);
  off_t offset = 0;
  while (true) {
    const ssize_t got = ::pread(fd, chunk.data(), kReadChunk, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return {};
    if (got == 0) break;
    if (!hasher.Update(chunk.data(), static_cast<std::size_t>(got))) return {};
    offset += got;
  }
  return hasher.Finish();
}

// Opens the program so that what is checked is what runs: no link is
// followed, only we (or root) may write the file, nobody else can change it
// through its mode, and the started process is exec'd from this very
// descriptor, whatever happens to the name meanwhile. A downloaded build
// arrives without execute permission; it gets the execute bits of its read
// bits, unless it has another name too, which may lie outside the folder.
int OpenProgram(const std::string& path, Reason* reason) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *reason = SystemReason("cannot open " + path);
    return -1;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    *reason = path + " is no regular file";
  } else if (info.st_uid != ::geteuid() && info.st_uid != 0) {
    *reason = path + " belongs to user " + std::to_string(info.st_uid);
  } else {
    mode_t mode = info.st_mode & 07777 & ~static_cast<mode_t>(S_IWGRP | S_IWOTH);
    if (mode & S_IRUSR) mode |= S_IXUSR;
    if (mode & S_IRGRP) mode |= S_IXGRP;
    if (mode & S_IROTH) mode |= S_IXOTH;
    if (mode == (info.st_mode & 07777)) return fd;
    if (info.st_nlink != 1) {
      *reason = path + " has other names and cannot be made executable";
    } else if (::fchmod(fd, mode) != 0) {
      *reason = SystemReason("cannot make " + path + " executable");
    } else {
      return fd;
    }
  }
  ::close(fd);
  return -1;
}

// The exit status of `child`, waited for however often a signal interrupts
// the wait; nothing when the wait itself fails.
std::optional<int> WaitForExit(pid_t child, Reason* reason) {
  int status = 0;
  while (::waitpid(child, &status, 0) != child) {
    if (errno == EINTR) continue;
    *reason = SystemReason("cannot wait for the starting process");
    return std::nullopt;
  }
  return status;
}

// The program that started this one, as it handed itself over: a pidfd
// that becomes readable when it ends, or only its id (kernels before 5.3).
struct StartingProgram {
  bool Known = false;
  pid_t Pid = 0;
  int Pidfd = -1;
};

bool IsPidfd(int fd) {
  char target[64] = {};
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t got = ::readlink(link.c_str(), target, sizeof target - 1);
  return got > 0 && std::strcmp(target, "anon_inode:[pidfd]") == 0;
}

// Read once; the pidfd is then kept from the programs this one starts.
const StartingProgram& Starter() {
  static const StartingProgram starter = [] {
    StartingProgram found;
    long long pid = 0;
    long long fd = -1;
    const char* text = std::getenv(kStartedByVariable);
    if (text == nullptr || !ParseStartedBy(text, &pid, &fd)) return found;
    found.Known = true;
    found.Pid = static_cast<pid_t>(pid);
    if (fd >= 0 && fd <= 65535 && IsPidfd(static_cast<int>(fd))) {
      found.Pidfd = static_cast<int>(fd);
      ::fcntl(found.Pidfd, F_SETFD, FD_CLOEXEC);
    }
    return found;
  }();
  return starter;
}

// The environment of a started program: this one's, naming this process as
// its starter instead of ours.
std::vector<std::string> EnvironmentNaming(int pidfd) {
  const std::string prefix = std::string(kStartedByVariable) + "=";
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0) entries.emplace_back(*entry);
  }
  entries.push_back(prefix + std::to_string(::getpid()) + ":" + std::to_string(pidfd));
  return entries;
}

class PosixLauncher : public ProgramLauncher {
 public:
  ProgramOutcome StartProgram(std::string_view program, std::string_view parameters,
                              std::string_view folder, std::string_view expected_digest) override {
    const std::string path(program);
    const std::string dir(folder);
    Reason reason;
    const int fd = OpenProgram(path, &reason);
    if (fd < 0) return ProgramFailed(reason);
    if (!expected_digest.empty() && DigestOfDescriptor(fd) != expected_digest) {
      ::close(fd);
      return ProgramFailed(path + " does not have the digest " + std::string(expected_digest));
    }
    std::vector<std::string> args = SplitParameters(parameters);
    args.insert(args.begin(), path);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The started program can wait for this one to end, not for a time.
    Starter();
    const int self = static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0));
    std::vector<std::string> environment = EnvironmentNaming(self);
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    const auto close_self = [self] {
      if (self >= 0) ::close(self);
    };

    // The grandchild reports a failed exec through this pipe; a successful
    // exec closes it silently.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
      reason = SystemReason("cannot start " + path);
      ::close(fd);
      close_self();
      return ProgramFailed(reason);
    }
    const pid_t child = ::fork();
    if (child < 0) {
      reason = SystemReason("cannot start " + path);
      ::close(fd);
      close_self();
      ::close(report[0]);
      ::close(report[1]);
      return ProgramFailed(reason);
    }
    if (child == 0) {
      // Double fork: the program is adopted by init and outlives us without
      // ever becoming our zombie.
      ::setsid();
      const pid_t grandchild = ::fork();
      if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
      int error = 0;
      if (!dir.empty() && ::chdir(dir.c_str()) != 0) {
        error = errno;
      } else {
        // A script's interpreter reads it through /dev/fd, so the descriptor
        // must survive the exec.
        ::fcntl(fd, F_SETFD, 0);
        if (self >= 0) ::fcntl(self, F_SETFD, 0);
        ::fexecve(fd, argv.data(), envp.data());
        error = errno;
      }
      (void)!::write(report[1], &error, sizeof error);
      ::_exit(127);
    }
    ::close(fd);
    close_self();
    ::close(report[1]);
    const std::optional<int> status = WaitForExit(child, &reason);
    int error = 0;
    ssize_t got = 0;
    do {
      got = ::read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    const int read_error = got < 0 ? errno : 0;
    ::close(report[0]);
    if (!status) return ProgramFailed(reason);
    if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
      return ProgramFailed("cannot start " + path + ": its process could not be made");
    }
    if (got == static_cast<ssize_t>(sizeof error)) {
      errno = error;
      return ProgramFailed(SystemReason("cannot start " + path));
    }
    if (got != 0) {
      errno = read_error;
      return ProgramFailed("cannot tell whether " + path + " started: " +
                           (got < 0 ? LastSystemError() : std::string("a short report")));
    }
    return ProgramDone();
  }

  ProgramOutcome CopyFileOver(std::string_view from, std::string_view to,
                              std::string_view expected_digest) override {
    struct stat info {};
    if (::lstat(std::string(from).c_str(), &info) != 0) {
      return ProgramFailed(SystemReason("cannot find " + std::string(from)));
    }
    return CopyVerifiedProgram(from, to, expected_digest,
                               info.st_mode & 0777 & ~static_cast<mode_t>(S_IWGRP | S_IWOTH));
  }
};

}  // namespace

bool StartingProgramEnded() {
  const StartingProgram& starter = Starter();
  if (!starter.Known) return false;
  if (starter.Pidfd >= 0) {
    pollfd ended{starter.Pidfd, POLLIN, 0};
    return ::poll(&ended, 1, 0) > 0 && (ended.revents & POLLIN) != 0;
  }
  return ::kill(starter.Pid, 0) != 0 && errno == ESRCH;
}

std::FILE* OpenRunningProgram(std::uint64_t* size) {
  // The very file this process was started from, whatever its name is now.
  const int fd = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  std::FILE* file = nullptr;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    ::close(fd);
    return nullptr;
  }
  *size = static_cast<std::uint64_t>(info.st_size);
  return file;
}

ProgramLauncher& PlatformLauncher() {
  static PosixLauncher launcher;
  return launcher;
}

}  // namespace kanade
