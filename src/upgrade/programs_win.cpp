#include <windows.h>
// Windows headers first: the ones below need their definitions.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <memory>
#include <string>

#include "repos/sha256.h"
#include "upgrade/programs.h"
#include "util/page_buffer.h"
#include "util/reason.h"
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

  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  bool IsPlainFile() const {
    BY_HANDLE_FILE_INFORMATION info{};
    return handle_ != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle_, &info) &&
           !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
  }

  std::string Digest() const {
    Sha256Hasher hasher;
    PageBuffer chunk(kReadChunk);
    while (true) {
      DWORD got = 0;
      if (!ReadFile(handle_, chunk.data(), kReadChunk, &got, nullptr)) return {};
      if (got == 0) break;
      if (!hasher.Update(chunk.data(), got)) return {};
    }
    return hasher.Finish();
  }

 private:
  HANDLE handle_;
};

// The program that started this one, as it handed itself over: an
// inherited handle to its process, or one opened by its id.
struct StartingProgram {
  bool Known = false;
  HANDLE Process = nullptr;  // null: it had ended before anyone looked
};

// Read once; the handle is then kept from the programs this one starts.
const StartingProgram& Starter() {
  static const StartingProgram starter = [] {
    StartingProgram found;
    wchar_t text[64] = {};
    const DWORD size = GetEnvironmentVariableW(Widen(kStartedByVariable).c_str(), text, 64);
    long long pid = 0;
    long long handle = -1;
    if (size == 0 || size >= 64 || !ParseStartedBy(Narrow(text), &pid, &handle)) return found;
    found.Known = true;
    const auto inherited = reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
    if (handle > 0 && GetProcessId(inherited) == static_cast<DWORD>(pid)) {
      SetHandleInformation(inherited, HANDLE_FLAG_INHERIT, 0);
      found.Process = inherited;
      return found;
    }
    found.Process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (found.Process == nullptr && GetLastError() != ERROR_INVALID_PARAMETER) found.Known = false;
    return found;
  }();
  return starter;
}

// Lets exactly `handle` be inherited by a process started with it; empty
// when the system cannot limit inheritance so.
class InheritedHandleList {
 public:
  explicit InheritedHandleList(HANDLE handle) : handle_(handle) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_ = std::make_unique<char[]>(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &handle_,
                                   sizeof handle_, nullptr, nullptr)) {
      DeleteProcThreadAttributeList(list);
      return;
    }
    list_ = list;
  }
  ~InheritedHandleList() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
  }
  InheritedHandleList(const InheritedHandleList&) = delete;
  InheritedHandleList& operator=(const InheritedHandleList&) = delete;

  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  HANDLE handle_;
  std::unique_ptr<char[]> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

class WindowsLauncher : public ProgramLauncher {
 public:
  ProgramOutcome StartProgram(std::string_view program, std::string_view parameters,
                              std::string_view folder, std::string_view expected_digest) override {
    const std::wstring path = Widen(program);
    const HeldProgram held(path);
    if (!held.IsOpen()) {
      return ProgramFailed(SystemReason("cannot open " + std::string(program)));
    }
    if (!held.IsPlainFile()) return ProgramFailed(std::string(program) + " is no regular file");
    if (!expected_digest.empty() && held.Digest() != expected_digest) {
      return ProgramFailed(std::string(program) + " does not have the digest " +
                           std::string(expected_digest));
    }
    std::wstring command = L"\"" + path + L"\"";
    if (!parameters.empty()) command += L" " + Widen(parameters);
    const std::wstring dir = Widen(folder);

    // The started program can wait for this one to end, not for a time: it
    // inherits a handle to this process, and nothing else.
    Starter();
    HANDLE self = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self,
                         SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE, 0)) {
      self = nullptr;
    }
    const InheritedHandleList inherited(self);
    const bool hand_over = self != nullptr && inherited.get() != nullptr;
    const std::wstring variable = Widen(kStartedByVariable);
    const std::string value = std::to_string(GetCurrentProcessId()) + ":" +
                              (hand_over ? std::to_string(reinterpret_cast<intptr_t>(self)) : "-1");
    SetEnvironmentVariableW(variable.c_str(), Widen(value).c_str());

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.lpAttributeList = hand_over ? inherited.get() : nullptr;
    PROCESS_INFORMATION process{};
    const BOOL started =
        CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, hand_over ? TRUE : FALSE,
                       hand_over ? EXTENDED_STARTUPINFO_PRESENT : 0, nullptr,
                       dir.empty() ? nullptr : dir.c_str(), &startup.StartupInfo, &process);
    const Reason refused =
        started ? Reason() : SystemReason("cannot start " + std::string(program));
    SetEnvironmentVariableW(variable.c_str(), nullptr);
    if (self != nullptr) CloseHandle(self);
    if (!started) return ProgramFailed(refused);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ProgramDone();
  }

  ProgramOutcome CopyFileOver(std::string_view from, std::string_view to,
                              std::string_view expected_digest) override {
    return CopyVerifiedProgram(from, to, expected_digest, 0);
  }
};

}  // namespace

bool StartingProgramEnded() {
  const StartingProgram& starter = Starter();
  if (!starter.Known) return false;
  return starter.Process == nullptr || WaitForSingleObject(starter.Process, 0) == WAIT_OBJECT_0;
}

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
