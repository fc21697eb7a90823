#include "ui/log_file.h"

#include "state/patcher_state.h"
#include "util/path.h"

#ifdef _WIN32
#include <windows.h>

#include "util/utf.h"
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kanade {

std::string LogFilePath() {
  return ProgramFolder + std::string(PathSeparator) + "kanade.log";
}

void WriteLogLine(std::string_view text) {
  std::string line = LogLinePrefix;
  line.append(text);
  line.append("\r\n");
  const std::string path = LogFilePath();
#ifdef _WIN32
  HANDLE file = CreateFileW(Widen(path).c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
#else
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
#endif
}

}  // namespace kanade
