// The Windows registry behind the provider interface.
#include <windows.h>

#include <cwchar>
#include <new>

#include "discovery/registry.h"
#include "util/utf.h"

namespace kanade {

namespace {

HKEY RootHandle(RootKey root) {
  return root == RootKey::kLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

// Closes the key whenever a handle was obtained, whichever way we leave.
class KeyCloser {
 public:
  explicit KeyCloser(HKEY& key) : key_(key) {}
  ~KeyCloser() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  KeyCloser(const KeyCloser&) = delete;
  KeyCloser& operator=(const KeyCloser&) = delete;

 private:
  HKEY& key_;
};

class WindowsRegistryProvider final : public RegistryProvider {
 public:
  std::optional<RegistryValue> QueryValue(RootKey root, std::string_view key_path,
                                          std::string_view value_name) override {
    try {
      HKEY key = nullptr;
      KeyCloser closer(key);
      const std::wstring path = Widen(key_path);
      if (RegOpenKeyExW(RootHandle(root), path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return std::nullopt;
      }
      const std::wstring name = Widen(value_name);
      DWORD type = 0;
      DWORD size = 0;
      if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
      }
      RegistryValue value;
      value.type = type;
      if (size == 0) return value;
      value.data.assign(size, '\0');
      DWORD got = size;
      if (RegQueryValueExW(key, name.c_str(), nullptr, &type,
                           reinterpret_cast<BYTE*>(value.data.data()), &got) != ERROR_SUCCESS) {
        return std::nullopt;
      }
      value.type = type;
      if (got < size) value.data.resize(got);
      return value;
    } catch (const std::bad_alloc&) {
      return std::nullopt;
    }
  }
};

}  // namespace

RegistryProvider& PlatformRegistryProvider() {
  static WindowsRegistryProvider provider;
  return provider;
}

std::string ExpandEnvironmentText(std::string_view text) {
  try {
    const std::wstring source = Widen(text);
    DWORD needed = ExpandEnvironmentStringsW(source.c_str(), nullptr, 0);
    // The environment may change between the two calls; ask again then.
    for (int attempt = 0; attempt < 3 && needed >= 1; ++attempt) {
      std::wstring buffer(needed, L'\0');
      const DWORD written = ExpandEnvironmentStringsW(source.c_str(), buffer.data(), needed);
      if (written == 0) return {};
      if (written <= needed) {
        buffer.resize(std::wcslen(buffer.c_str()));
        return Narrow(buffer);
      }
      needed = written;
    }
    return {};
  } catch (const std::bad_alloc&) {
    return {};
  }
}

}  // namespace kanade
