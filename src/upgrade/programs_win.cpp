#include <windows.h>
// Windows headers first: the ones below need their definitions.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <memory>
#include <string>

#include "repos/sha256.h"
#include "upgrade/programs.h"
#include "util/utf.h"

namespace kanade {

namespace {

constexpr DWORD kReadChunk = 1 << 20;

// Read through a handle that shares reading only: while it is open nobody
// can write, rename or delete the program, and starting it is still allowed.
class HeldProgram {
 public:
  explicit HeldProgram(const std::wstring& path)
      : handle_(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) {}
  ~HeldProgram() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  HeldProgram(const HeldProgram&) = delete;
  HeldProgram& operator=(const HeldProgram&) = delete;

  bool IsPlainFile() const {
    BY_HANDLE_FILE_INFORMATION info{};
    return handle_ != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle_, &info) &&
           !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
  }

  std::string Digest() const {
    Sha256Hasher hasher;
    const auto chunk = std::make_unique_for_overwrite<char[]>(kReadChunk);
    while (true) {
      DWORD got = 0;
      if (!ReadFile(handle_, chunk.get(), kReadChunk, &got, nullptr)) return {};
      if (got == 0) break;
      hasher.Update(chunk.get(), got);
    }
    return hasher.Finish();
  }

 private:
  HANDLE handle_;
};

class WindowsLauncher : public ProgramLauncher {
 public:
  bool StartProgram(std::string_view program, std::string_view parameters, std::string_view folder,
                    std::string_view expected_digest) override {
    const std::wstring path = Widen(program);
    const HeldProgram held(path);
    if (!held.IsPlainFile()) return false;
    if (!expected_digest.empty() && held.Digest() != expected_digest) return false;
    std::wstring command = L"\"" + path + L"\"";
    if (!parameters.empty()) command += L" " + Widen(parameters);
    const std::wstring dir = Widen(folder);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL started =
        CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       dir.empty() ? nullptr : dir.c_str(), &startup, &process);
    if (!started) return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
  }

  bool CopyFileOver(std::string_view from, std::string_view to,
                    std::string_view expected_digest) override {
    return CopyVerifiedProgram(from, to, expected_digest, 0);
  }
};

}  // namespace

std::FILE* OpenRunningProgram(std::uint64_t* size) {
  std::wstring path(MAX_PATH, L'\0');
  while (true) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return nullptr;
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  // Shared for reading only: nobody can change the file while it is read.
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info{};
  int fd = -1;
  if (GetFileInformationByHandle(handle, &info) &&
      !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  }
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "rb");
  if (file == nullptr) {
    _close(fd);
    return nullptr;
  }
  *size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return file;
}

ProgramLauncher& PlatformLauncher() {
  static WindowsLauncher launcher;
  return launcher;
}

}  // namespace kanade
