// Windows: the process list (Toolhelp) and each process's image; for a file
// in use, the Restart Manager where the system has it (Vista and later; a
// stub under Wine), else the programs running from the file's folder.
#include <windows.h>
// Windows headers first: the ones below need their definitions.
#include <restartmanager.h>
#include <tlhelp32.h>

#include <optional>
#include <tuple>

#include "discovery/game_location.h"
#include "discovery/game_process.h"
#include "util/path.h"
#include "util/text.h"
#include "util/utf.h"

namespace kanade {

namespace {

struct Process {
  DWORD id = 0;
  std::string name;
};

std::vector<Process> Processes() {
  std::vector<Process> found;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID != GetCurrentProcessId()) {
      found.push_back({entry.th32ProcessID, Narrow(entry.szExeFile)});
    }
  }
  CloseHandle(snapshot);
  return found;
}

// The process's executable as a Win32 path; empty when it cannot be asked.
std::wstring ImagePath(DWORD id) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (process == nullptr) return {};
  std::wstring path(32768, L'\0');
  auto size = static_cast<DWORD>(path.size());
  const bool known = QueryFullProcessImageNameW(process, 0, path.data(), &size) != FALSE;
  CloseHandle(process);
  path.resize(known ? size : 0);
  return path;
}

// What names one file whatever the path's spelling (case, short names,
// links): its volume and index.
using FileId = std::tuple<DWORD, DWORD, DWORD>;
std::optional<FileId> IdOf(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = GetFileInformationByHandle(file, &info) != FALSE;
  CloseHandle(file);
  if (!known) return std::nullopt;
  return FileId{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

std::string Listed(const std::vector<Process>& programs) {
  std::string text;
  for (const Process& program : programs) {
    text +=
        (text.empty() ? "" : ", ") + program.name + " (process " + std::to_string(program.id) + ")";
  }
  return text;
}

// Those that the Restart Manager finds holding `path`; nothing when it
// cannot be asked.
std::optional<std::vector<Process>> RestartManagerHolders(const std::wstring& path) {
  using Start = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
  using Register = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*);
  using List = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, DWORD*);
  using End = DWORD(WINAPI*)(DWORD);
  HMODULE library = LoadLibraryExW(L"rstrtmgr.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library == nullptr) return std::nullopt;
  const auto find = [library](auto* type, const char* name) {
    return reinterpret_cast<decltype(type)>(reinterpret_cast<void*>(GetProcAddress(library, name)));
  };
  const auto start = find(Start{}, "RmStartSession");
  const auto add = find(Register{}, "RmRegisterResources");
  const auto list = find(List{}, "RmGetList");
  const auto end = find(End{}, "RmEndSession");
  std::optional<std::vector<Process>> holders;
  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  if (start != nullptr && add != nullptr && list != nullptr && end != nullptr &&
      start(&session, 0, key) == ERROR_SUCCESS) {
    LPCWSTR files[] = {path.c_str()};
    UINT needed = 0;
    UINT count = 0;
    DWORD reasons = 0;
    std::vector<RM_PROCESS_INFO> info;
    DWORD result = add(session, 1, files, 0, nullptr, 0, nullptr);
    // The holders may change between the two calls.
    for (int attempt = 0; result == ERROR_SUCCESS && attempt < 3; ++attempt) {
      count = static_cast<UINT>(info.size());
      result = list(session, &needed, &count, info.empty() ? nullptr : info.data(), &reasons);
      if (result != ERROR_MORE_DATA) break;
      info.resize(needed);
      result = ERROR_SUCCESS;
    }
    if (result == ERROR_SUCCESS) {
      holders.emplace();
      for (UINT i = 0; i < count && i < info.size(); ++i) {
        holders->push_back({info[i].Process.dwProcessId, Narrow(info[i].strAppName)});
      }
    }
    end(session);
  }
  FreeLibrary(library);
  return holders;
}

// Whether another handle keeps `path` open against its deletion. A rename
// onto such a file fails as access denied, as for one the user may not
// write; asking for delete access tells the two apart.
bool HeldOpen(const std::wstring& path) {
  HANDLE file =
      CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(file);
  return false;
}

// Keeps the last error of the failure being explained.
class KeptError {
 public:
  KeptError() : code_(GetLastError()) {}
  ~KeptError() { SetLastError(code_); }
  DWORD Code() const { return code_; }

 private:
  DWORD code_;
};

}  // namespace

std::vector<RunningProgram> RunningGamePrograms(std::string_view game_folder) {
  if (game_folder.empty()) return {};
  const std::optional<FileId> game =
      IdOf(Widen(StripTrailingSeparators(game_folder) + "\\" + std::string(kGameExecutableName)));
  if (!game) return {};
  std::vector<RunningProgram> found;
  for (const Process& process : Processes()) {
    if (!EqualsIgnoreCaseAscii(process.name, kGameExecutableName)) continue;
    // One whose image cannot be asked counts: better a wait the player
    // sees than a translation that fails.
    const std::wstring image = ImagePath(process.id);
    if (!image.empty() && IdOf(image) != game) continue;
    found.push_back({process.id, process.name});
  }
  return found;
}

std::string FileHolders(std::string_view path, std::string_view folder) {
  const KeptError failure;
  const DWORD code = failure.Code();
  const std::wstring wide = Widen(path);
  if (code != ERROR_SHARING_VIOLATION && code != ERROR_LOCK_VIOLATION &&
      code != ERROR_USER_MAPPED_FILE && !(code == ERROR_ACCESS_DENIED && HeldOpen(wide))) {
    return {};
  }
  if (const auto holders = RestartManagerHolders(wide); holders && !holders->empty()) {
    // The executables' own names, as the process list has them.
    const std::vector<Process> processes = Processes();
    std::vector<Process> named;
    for (const Process& holder : *holders) {
      std::string name = holder.name;
      for (const Process& process : processes) {
        if (process.id == holder.id) name = process.name;
      }
      named.push_back({holder.id, name});
    }
    return "in use by " + Listed(named);
  }
  // Without a Restart Manager that knows, those running from the folder
  // are the likely holders: a launcher or crash handler the game left.
  const std::string prefix = ToLowerAscii(StripTrailingSeparators(folder) + "\\");
  std::vector<Process> running;
  for (const Process& process : Processes()) {
    const std::string image = ToLowerAscii(Narrow(ImagePath(process.id)));
    if (StartsWith(image, prefix)) running.push_back(process);
  }
  if (running.empty()) return {};
  return "in use; running from " + std::string(StripTrailingSeparators(folder)) + ": " +
         Listed(running);
}

}  // namespace kanade
