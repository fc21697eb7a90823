#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "util/run_lock.h"
#include "util/utf.h"

namespace kanade {

namespace {

HANDLE held = nullptr;  // a mutex owned by the thread that took it

// A name for the folder: the mutex lives in the session's namespace, which
// takes no backslash and no unbounded length.
std::wstring MutexNameOf(std::string_view folder) {
  std::wstring path = Widen(folder);
  while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  if (!path.empty()) ::CharLowerBuffW(path.data(), static_cast<DWORD>(path.size()));
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const wchar_t c : path) {
    hash ^= static_cast<std::uint16_t>(c == L'/' ? L'\\' : c);
    hash *= 1099511628211ull;
  }
  wchar_t name[64];
  std::swprintf(name, 64, L"Local\\KanadePatcherRun-%016llx",
                static_cast<unsigned long long>(hash));
  return name;
}

}  // namespace

bool TakeRunLock(std::string_view folder) {
  if (held != nullptr) return true;
  const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, MutexNameOf(folder).c_str());
  if (mutex == nullptr) return true;
  // A copy that ended without letting go leaves the mutex abandoned: ours.
  const DWORD waited = ::WaitForSingleObject(mutex, 0);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    held = mutex;
    return true;
  }
  ::CloseHandle(mutex);
  return waited != WAIT_TIMEOUT;
}

void ReleaseRunLock() {
  if (held == nullptr) return;
  ::ReleaseMutex(held);
  ::CloseHandle(held);
  held = nullptr;
}

}  // namespace kanade
