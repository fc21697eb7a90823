#include "tool_support.h"

#include <algorithm>
#include <cstdio>
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
#include "util/path.h"
#include "util/text.h"

namespace kanade {

int Complain(const std::string& message, int status) {
  std::fprintf(stderr, "kanade-repo: %s\n", message.c_str());
  return status;
}

namespace {

// The bytes of the file at `path`, read without a stdio or stack buffer and
// with every outgrown buffer wiped, so that the caller's copy is the only
// one of a secret left in memory.
std::optional<std::string> ReadWithoutCopies(const std::string& path) {
  if (!IsFile(path)) return std::nullopt;
#ifdef _WIN32
  int fd = -1;
  if (_wsopen_s(&fd, Widen(path).c_str(), _O_RDONLY | _O_BINARY, _SH_DENYNO, 0) != 0) {
    return std::nullopt;
  }
  const auto read_some = [fd](char* into, std::size_t size) -> long long {
    return _read(fd, into, static_cast<unsigned>(std::min<std::size_t>(size, 1 << 20)));
  };
#else
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  const auto read_some = [fd](char* into, std::size_t size) -> long long {
    return ::read(fd, into, size);
  };
#endif
  std::string bytes(4096, '\0');
  std::size_t used = 0;
  long long got = 0;
  while (true) {
    if (used == bytes.size()) {
      std::string larger(bytes.size() * 2, '\0');
      std::copy(bytes.begin(), bytes.end(), larger.begin());
      WipeText(bytes);
      bytes.swap(larger);
    }
    got = read_some(bytes.data() + used, bytes.size() - used);
    if (got <= 0) break;
    used += static_cast<std::size_t>(got);
  }
#ifdef _WIN32
  _close(fd);
#else
  ::close(fd);
#endif
  if (got < 0) {
    WipeText(bytes);
    return std::nullopt;
  }
  bytes.resize(used);  // shrinking keeps the buffer in place
  return bytes;
}

// The file at `path` parsed by `parse`, or a complaint that names `what`.
// A secret's text is read without copies and wiped afterwards.
template <typename Parse>
auto ReadKeyFile(const std::string& path, const char* what, bool secret, Parse parse, int* status)
    -> decltype(parse(std::string_view(), nullptr)) {
  auto text = secret ? ReadWithoutCopies(path) : ReadFileBytes(path);
  if (!text) {
    *status = Complain(path + ": cannot read the " + what, kUsageOrIoFailed);
    return std::nullopt;
  }
  std::string problem;
  auto parsed = parse(*text, &problem);
  if (secret) WipeText(*text);
  if (!parsed) *status = Complain(path + ": " + problem, kUsageOrIoFailed);
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

std::int64_t NextSerialOf(const std::string& path) {
  const auto text = ReadFileBytes(path);
  if (!text) return 1;
  for (const std::string& raw : SplitLines(*text)) {
    const RepositoryLine line = SplitRepositoryLine(raw);
    if (line.Key != kSerialKey) continue;
    const auto serial = ParseSerial(line.Value);
    if (serial && *serial < std::numeric_limits<std::int64_t>::max()) return *serial + 1;
  }
  return 1;
}

}  // namespace kanade
