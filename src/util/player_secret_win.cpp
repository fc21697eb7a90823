#include <windows.h>
// Windows headers first: the ones below need their definitions.
#include <sddl.h>
#include <shlobj.h>

#include <memory>

#include "util/contained_folder.h"
#include "util/file_owner.h"
#include "util/player_secret.h"
#include "util/utf.h"

namespace kanade {

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// A new secret under a temporary name, created with the player's own access
// list and renamed in without replacing: two copies starting at once end up
// with the same one.
bool MakeSecret(const std::wstring& path, std::size_t size) {
  std::string bytes(size, '\0');
  if (!FillRandomBytes(bytes.data(), bytes.size())) return false;
  const std::wstring access = PlayerOnlyAccessList();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (access.empty() || !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                            access.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    return false;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  const std::wstring temporary = path + Widen(std::string(kTemporaryMarker) + RandomHex(8));
  HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  LocalFree(descriptor);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size() && FlushFileBuffers(file);
  CloseHandle(file);
  const bool placed = ok && (MoveFileExW(temporary.c_str(), path.c_str(), 0) ||
                             GetLastError() == ERROR_ALREADY_EXISTS);
  DeleteFileW(temporary.c_str());
  return placed;
}

}  // namespace

std::string PlayerSecretFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer)) ||
      buffer[0] == L'\0') {
    return {};
  }
  return Narrow(buffer) + "\\Kanade Patcher";
}

std::optional<std::string> PlayerSecret(std::string_view name, std::size_t size, Reason* why) {
  const std::string folder = PlayerSecretFolder();
  if (folder.empty()) {
    *why = Reason("the local application data folder cannot be told");
    return std::nullopt;
  }
  if (!CreateDirectoryW(Widen(folder).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    *why = SystemReason("cannot make " + folder);
    return std::nullopt;
  }
  const std::string path = folder + "\\" + std::string(name);
  const std::wstring wide = Widen(path);
  const auto open = [&] {
    return UniqueHandle(CreateFileW(wide.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  };
  UniqueHandle file = open();
  if (file.get() == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
    if (!MakeSecret(wide, size)) {
      *why = SystemReason("cannot write " + path);
      return std::nullopt;
    }
    file = open();
  }
  if (file.get() == INVALID_HANDLE_VALUE) {
    *why = SystemReason("cannot open " + path);
    return std::nullopt;
  }
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag, sizeof tag) ||
      (tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    *why = Reason(path + " is no plain file; not used");
    return std::nullopt;
  }
  if (const auto other = OtherReaderOrWriterOf(file.get())) {
    *why = Reason(path + " may be read or changed by " + *other + "; not used");
    return std::nullopt;
  }
  std::string bytes(size + 1, '\0');
  DWORD read = 0;
  if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
    *why = SystemReason("cannot read " + path);
    return std::nullopt;
  }
  if (read != size) {
    *why = Reason(path + " holds " + std::to_string(read) + " bytes, not " + std::to_string(size) +
                  "; not used");
    return std::nullopt;
  }
  bytes.resize(size);
  return bytes;
}

}  // namespace kanade
