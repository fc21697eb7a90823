#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "util/run_lock.h"

namespace kanade {

namespace {

int held = -1;  // the folder, open with its lock

}  // namespace

bool TakeRunLock(std::string_view folder) {
  if (held >= 0) return true;
  // The folder itself carries the lock: no file of its own for others who
  // may write there to replace with a link.
  const int fd = ::open(std::string(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    held = fd;
    return true;
  }
  const int error = errno;
  ::close(fd);
  return error != EWOULDBLOCK;
}

void ReleaseRunLock() {
  if (held < 0) return;
  ::close(held);
  held = -1;
}

}  // namespace kanade
