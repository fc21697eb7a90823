// The lock is the lock file itself, open without sharing: a second open
// for its contents fails with a sharing violation while a run holds it.
#include <windows.h>
// After windows.h: the security calls need its definitions.
#include <aclapi.h>

#include <string>
#include <vector>

#include "util/contained_folder.h"
#include "util/run_lock.h"
#include "util/utf.h"

namespace kanade {

namespace {

HANDLE held = INVALID_HANDLE_VALUE;

// The running user's SID, or empty when the token cannot tell.
std::vector<BYTE> UserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  std::vector<BYTE> sid;
  if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    const auto* bytes = static_cast<const BYTE*>(user);
    sid.assign(bytes, bytes + GetLengthSid(user));
  }
  CloseHandle(token);
  return sid;
}

// Owned by the user, who alone may open it: one allowing entry, not
// inherited from the folder.
class PrivateAccess {
 public:
  explicit PrivateAccess(PSID user) {
    const DWORD size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(user);
    acl_.resize(size);
    auto* acl = reinterpret_cast<PACL>(acl_.data());
    valid_ = InitializeAcl(acl, size, ACL_REVISION) &&
             AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, user) &&
             InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
             SetSecurityDescriptorOwner(&descriptor_, user, FALSE) &&
             SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
             SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;  // never passed to a started program
  }
  SECURITY_ATTRIBUTES* Attributes() { return valid_ ? &attributes_ : nullptr; }

 private:
  std::vector<BYTE> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
  bool valid_ = false;
};

// The system itself (LocalSystem), which may open anything anyway; Wine
// names it in every file's access list.
bool IsSystem(PSID sid) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID system = nullptr;
  if (!AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system)) {
    return false;
  }
  const bool same = EqualSid(sid, system);
  FreeSid(system);
  return same;
}

// A plain file of one name, which `user` owns and nobody else may open.
bool IsPrivate(HANDLE file, PSID user) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info) || info.nNumberOfLinks != 1 ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    return false;
  }
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  // No access list at all lets everyone in.
  bool alone = owner != nullptr && EqualSid(owner, user) && dacl != nullptr;
  for (DWORD i = 0; alone && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) {
      alone = false;
    } else if (static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      PSID allowed = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
      alone = EqualSid(allowed, user) || IsSystem(allowed);
    } else {
      alone = static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_DENIED_ACE_TYPE;
    }
  }
  LocalFree(descriptor);
  return alone;
}

HANDLE OpenLockFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                    SECURITY_ATTRIBUTES* attributes) {
  return CreateFileW(path.c_str(), access, share, attributes, disposition,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

enum class Replaced { kYes, kNoOwners, kFailed };

// Puts a new lock file of our own in place of what lies at `path`. A file
// system without access lists (FAT, exFAT) cannot make even ours private:
// the file there is then taken as it is.
Replaced ReplaceLockFile(const std::wstring& path, PSID user, PrivateAccess& access) {
  const std::string suffix = RandomHex(8);
  if (suffix.empty()) return Replaced::kFailed;
  const std::wstring temporary = path + Widen(std::string(kTemporaryMarker) + suffix);
  const HANDLE file = OpenLockFile(temporary, READ_CONTROL, 0, CREATE_NEW, access.Attributes());
  if (file == INVALID_HANDLE_VALUE) return Replaced::kFailed;
  const bool keeps_owners = IsPrivate(file, user);
  CloseHandle(file);
  if (keeps_owners && MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return Replaced::kYes;
  }
  DeleteFileW(temporary.c_str());
  return keeps_owners ? Replaced::kFailed : Replaced::kNoOwners;
}

}  // namespace

bool TakeRunLock(std::string_view folder) {
  if (held != INVALID_HANDLE_VALUE) return true;
  std::vector<BYTE> sid = UserSid();
  if (sid.empty()) return true;
  const PSID user = sid.data();
  PrivateAccess access(user);
  if (access.Attributes() == nullptr) return true;
  const std::wstring path = Widen(std::string(folder) + "\\" + std::string(kRunLockName));
  bool no_owners = false;
  for (int attempt = 0; attempt < 4; ++attempt) {
    const HANDLE file =
        OpenLockFile(path, GENERIC_READ | READ_CONTROL, 0, OPEN_ALWAYS, access.Attributes());
    if (file == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_SHARING_VIOLATION) {
        // Held. Another copy of ours can be waited for; anyone else who
        // could open the file is never waited for.
        const HANDLE look = OpenLockFile(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         OPEN_EXISTING, nullptr);
        const bool ours = look != INVALID_HANDLE_VALUE && IsPrivate(look, user);
        if (look != INVALID_HANDLE_VALUE) CloseHandle(look);
        // Without access lists any holder may be another copy.
        return !(ours || no_owners || ReplaceLockFile(path, user, access) == Replaced::kNoOwners);
      }
    } else if (IsPrivate(file, user) || no_owners) {
      held = file;
      return true;
    } else {
      CloseHandle(file);
    }
    // Someone else's file, or one that others may open.
    const Replaced replaced = ReplaceLockFile(path, user, access);
    if (replaced == Replaced::kFailed) return true;
    no_owners = replaced == Replaced::kNoOwners;
  }
  return true;
}

void ReleaseRunLock() {
  if (held == INVALID_HANDLE_VALUE) return;
  CloseHandle(held);
  held = INVALID_HANDLE_VALUE;
}

}  // namespace kanade
