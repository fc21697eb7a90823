#include "tool_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include "util/utf.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "repos/repository_format.h"
#include "repos/repository_trust.h"
#include "served_tree.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

int Complain(const std::string& message, int status) {
  std::fprintf(stderr, "kanade-repo: %s\n", message.c_str());
  return status;
}

int ComplainOfEach(const std::vector<std::string>& problems, const std::string& outcome) {
  for (const std::string& problem : problems) Complain(problem, kUsageOrIoFailed);
  if (problems.size() > 1) {
    Complain(std::to_string(problems.size()) + " problems; " + outcome, kUsageOrIoFailed);
  }
  return kUsageOrIoFailed;
}

namespace {

// Key files are a few lines; anything larger is some other file.
constexpr std::size_t kMaxKeyFileSize = 8192;

// What the handle reads, when it is not a regular file.
std::string KindOf(unsigned mode) {
#ifdef _WIN32
  if ((mode & _S_IFMT) == _S_IFDIR) return "a folder";
  return "a device or pipe";
#else
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "no regular file";
#endif
}

struct KeyFileBytes {
  std::string Bytes;
  unsigned Mode = 0;  // the permission bits of the file that was read
};

// The bytes of the key file at `path`, at most kMaxKeyFileSize of them, or
// nothing with the reason in `problem`. A link is followed, but the opened
// handle decides: only a regular file is read, so that a device, a FIFO or
// an endless file is never read. The bytes are read into one buffer of
// fixed size, without stdio, so that the caller's copy is the only one of
// a secret left in memory.
std::optional<KeyFileBytes> ReadKeyFileBytes(const std::string& path, const char* what,
                                             std::string* problem) {
#ifdef _WIN32
  int fd = -1;
  if (_wsopen_s(&fd, Widen(path).c_str(), _O_RDONLY | _O_BINARY, _SH_DENYNO, 0) != 0) {
    *problem = std::string("cannot read the ") + what + " (" + std::strerror(errno) + ")";
    return std::nullopt;
  }
  struct _stat64 info {};
  const bool stat_ok = _fstat64(fd, &info) == 0;
  const bool regular = stat_ok && (info.st_mode & _S_IFMT) == _S_IFREG;
  const auto read_some = [fd](char* into, std::size_t size) -> long long {
    return _read(fd, into, static_cast<unsigned>(size));
  };
  const auto close_file = [fd] { _close(fd); };
#else
  // Non-blocking, so that opening a FIFO does not wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *problem = std::string("cannot read the ") + what + " (" + std::strerror(errno) + ")";
    return std::nullopt;
  }
  struct stat info {};
  const bool stat_ok = ::fstat(fd, &info) == 0;
  const bool regular = stat_ok && S_ISREG(info.st_mode);
  const auto read_some = [fd](char* into, std::size_t size) -> long long {
    return ::read(fd, into, size);
  };
  const auto close_file = [fd] { ::close(fd); };
#endif
  if (!stat_ok || !regular) {
    close_file();
    *problem = stat_ok ? "is " + KindOf(static_cast<unsigned>(info.st_mode)) +
                             ", not a key file; give the key file itself"
                       : std::string("cannot read the ") + what;
    return std::nullopt;
  }
  const auto too_large = [] {
    return "is larger than " + std::to_string(kMaxKeyFileSize) +
           " bytes, which no key file is; give the key file itself";
  };
  if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > kMaxKeyFileSize) {
    close_file();
    *problem = too_large();
    return std::nullopt;
  }
  // One byte more than allowed shows a file that grew since fstat.
  KeyFileBytes read;
  read.Mode = static_cast<unsigned>(info.st_mode) & 07777;
  read.Bytes.assign(kMaxKeyFileSize + 1, '\0');
  std::size_t used = 0;
  long long got = 0;
  while (used < read.Bytes.size() &&
         (got = read_some(read.Bytes.data() + used, read.Bytes.size() - used)) > 0) {
    used += static_cast<std::size_t>(got);
  }
  close_file();
  if (got < 0 || used > kMaxKeyFileSize) {
    WipeText(read.Bytes);
    *problem = got < 0 ? std::string("cannot read the ") + what : too_large();
    return std::nullopt;
  }
  read.Bytes.resize(used);  // shrinking keeps the buffer in place
  return read;
}

// Why a secret key with permission bits `mode` at `path` must not be used:
// anyone else who may read it may sign releases. Windows has no such bits.
std::string SecretKeyModeProblem([[maybe_unused]] const std::string& path,
                                 [[maybe_unused]] unsigned mode) {
#ifdef _WIN32
  return {};
#else
  if ((mode & 077) == 0) return {};
  char octal[16];
  std::snprintf(octal, sizeof octal, "%04o", mode);
  return std::string("permissions ") + octal +
         " are too open; a secret key must be readable by its owner only (chmod 600 " + path + ")";
#endif
}

// The file at `path` parsed by `parse`, or a complaint that names `what`.
// A secret's text is wiped after parsing, and the secret refused when others
// may read or write it.
template <typename Parse>
auto ReadKeyFile(const std::string& path, const char* what, bool secret, Parse parse, int* status)
    -> decltype(parse(std::string_view(), nullptr)) {
  std::string problem;
  auto read = ReadKeyFileBytes(path, what, &problem);
  if (!read) {
    *status = Complain(path + ": " + problem, kUsageOrIoFailed);
    return std::nullopt;
  }
  auto parsed = parse(read->Bytes, &problem);
  WipeText(read->Bytes);
  // Parsed first, so that a public key given as --key is named as such.
  if (parsed && secret) problem = SecretKeyModeProblem(path, read->Mode);
  if (!parsed || !problem.empty()) {
    *status = Complain(path + ": " + problem, kUsageOrIoFailed);
    return std::nullopt;
  }
  return parsed;
}

}  // namespace

std::optional<SecretKey> ReadSecretKey(const std::string& path, int* status) {
  return ReadKeyFile(path, "secret key", true, ParseSecretKeyFile, status);
}

std::optional<std::vector<PublicKey>> ReadPublicKeys(const std::string& path, int* status) {
  return ReadKeyFile(path, "public keys", false, ParsePublicKeyFile, status);
}

bool WritePrivateFile(const std::string& path, std::string_view text) {
#ifdef _WIN32
  int fd = -1;
  if (_wsopen_s(&fd, Widen(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYRW,
                _S_IREAD | _S_IWRITE) != 0) {
    return false;
  }
  bool ok =
      _write(fd, text.data(), static_cast<unsigned>(text.size())) == static_cast<int>(text.size());
  ok = _commit(fd) == 0 && ok;
  ok = _close(fd) == 0 && ok;
#else
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // The umask may only take bits away; make sure nothing else was kept.
  bool ok = ::fchmod(fd, 0600) == 0;
  ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ok;
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
#endif
  if (!ok) RemoveFile(path);
  return ok;
}

std::optional<std::int64_t> SerialLineOf(std::string_view text) {
  for (const std::string& raw : SplitLines(text)) {
    const RepositoryLine line = SplitRepositoryLine(raw);
    if (line.Key == kSerialKey) return ParseSerial(line.Value);
  }
  return std::nullopt;
}

std::int64_t NextSerialOf(const std::string& path) {
  std::int64_t highest = 0;
  if (const auto text = ReadSmallFile(path)) highest = SerialLineOf(*text).value_or(0);
  if (const auto copy = DecodedGzipFile(path + ".gz")) {
    highest = std::max(highest, SerialLineOf(*copy).value_or(0));
  }
  return highest < std::numeric_limits<std::int64_t>::max() ? highest + 1 : 1;
}

}  // namespace kanade
