#include <windows.h>
// Windows headers first: the ones below need their definitions.
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <vector>

#include "util/file_owner.h"
#include "util/utf.h"

namespace kanade {

namespace {

// What lets someone change a link's target (the reparse data is written
// with write-data or write-attributes access), or delete, retake or
// re-permit it.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                      FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER |
                                      GENERIC_WRITE | GENERIC_ALL;

struct LocalDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalDeleter>;

std::vector<BYTE> TokenUserSid() {
  std::vector<BYTE> user;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return user;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    user.assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
  }
  CloseHandle(token);
  return user;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return IsWellKnownSid(sid, type) != FALSE;
}

bool IsTrustedSid(PSID sid) {
  static const std::vector<BYTE> user = TokenUserSid();
  if (!user.empty() && EqualSid(sid, const_cast<BYTE*>(user.data()))) return true;
  if (IsWellKnown(sid, WinBuiltinAdministratorsSid) || IsWellKnown(sid, WinLocalSystemSid)) {
    return true;
  }
  static const LocalMemory installer = [] {
    PSID parsed = nullptr;
    ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                           &parsed);
    return LocalMemory(parsed);
  }();
  return installer && EqualSid(sid, installer.get());
}

std::string SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return "an unreadable SID";
  const LocalMemory owned(text);
  const std::string id = Narrow(text);
  wchar_t name[256];
  wchar_t domain[256];
  DWORD name_size = 256;
  DWORD domain_size = 256;
  SID_NAME_USE use{};
  if (!LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use)) return id;
  const std::string account =
      domain[0] != L'\0' ? Narrow(domain) + "\\" + Narrow(name) : Narrow(name);
  return account + " (" + id + ")";
}

// What lets someone read an object's content.
constexpr ACCESS_MASK kReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;

// The first one besides the trusted owners whom the list grants any of
// `rights`; "everyone" for no list at all. Deny entries are not weighed:
// only a grant that is absent counts.
std::optional<std::string> OtherGrantee(PACL dacl, ACCESS_MASK rights) {
  if (dacl == nullptr) return "everyone";
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, index, reinterpret_cast<void**>(&header))) return "an unreadable entry";
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE ||
        header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
      const auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
      const PSID sid = const_cast<DWORD*>(&ace->SidStart);
      if ((ace->Mask & rights) && !IsTrustedSid(sid) &&
          !IsWellKnown(sid, WinCreatorOwnerRightsSid)) {
        return SidText(sid);
      }
    } else if (header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
               header->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE) {
      if (reinterpret_cast<ACCESS_ALLOWED_OBJECT_ACE*>(header)->Mask & rights) {
        return "an entry of another kind";
      }
    }
  }
  return std::nullopt;
}

// The owner of the object behind `handle`, as text, and whether it is one
// of the trusted owners.
struct Owner {
  std::string text;
  bool trusted = false;
};
Owner OwnerOf(HANDLE handle) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return {"an owner that cannot be read"};
  }
  const LocalMemory owned(descriptor);
  if (owner == nullptr) return {"no owner"};
  return {SidText(owner), IsTrustedSid(owner)};
}

// OtherGrantee of the access list of the object behind `handle`.
std::optional<std::string> OtherGranteeOf(HANDLE handle, ACCESS_MASK rights) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return "an access list that cannot be read";
  }
  const LocalMemory owned(descriptor);
  return OtherGrantee(dacl, rights);
}

}  // namespace

bool VolumeKeepsAccessLists(HANDLE handle) {
  DWORD flags = 0;
  if (!GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
    return true;  // unknown: judged as if it kept them
  }
  return (flags & FILE_PERSISTENT_ACLS) != 0;
}

std::optional<std::string> UntrustedOwnerOf(HANDLE handle) {
  // FAT and exFAT keep no owners: every file would count as nobody's.
  if (!VolumeKeepsAccessLists(handle)) return std::nullopt;
  Owner owner = OwnerOf(handle);
  if (owner.trusted) return std::nullopt;
  return std::move(owner.text);
}

std::optional<std::string> OtherReaderOrWriterOf(HANDLE handle) {
  return OtherGranteeOf(handle, kChangeRights | kReadRights);
}

std::optional<std::string> OtherChangerOf(HANDLE handle) {
  // In a folder, adding or deleting an entry is a change too.
  return OtherGranteeOf(handle, kChangeRights | FILE_DELETE_CHILD);
}

std::string OwnerTextOf(HANDLE handle) {
  return OwnerOf(handle).text;
}

bool PlayerMayWrite(HANDLE handle) {
  HANDLE process = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &process)) return false;
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  GetTokenInformation(process, TokenElevationType, &type, sizeof type, &size);
  HANDLE player = nullptr;
  if (type == TokenElevationTypeFull) {
    // The token the player's programs get without elevation.
    TOKEN_LINKED_TOKEN linked{};
    if (GetTokenInformation(process, TokenLinkedToken, &linked, sizeof linked, &size)) {
      player = linked.LinkedToken;
    }
  } else {
    // No split token (UAC off, or not elevated): the player's programs run
    // with this one.
    DuplicateToken(process, SecurityIdentification, &player);
  }
  CloseHandle(process);
  if (player == nullptr) return false;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  bool allowed = false;
  if (GetSecurityInfo(
          handle, SE_FILE_OBJECT,
          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          nullptr, nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS) {
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                            FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges{};
    DWORD privileges_size = sizeof privileges;
    DWORD granted = 0;
    BOOL status = FALSE;
    // FILE_WRITE_DATA is FILE_ADD_FILE for a folder.
    allowed = AccessCheck(descriptor, player, FILE_WRITE_DATA, &mapping, &privileges,
                          &privileges_size, &granted, &status) &&
              status;
    LocalFree(descriptor);
  }
  CloseHandle(player);
  return allowed;
}

std::wstring PlayerOnlyAccessList() {
  static const std::vector<BYTE> user = TokenUserSid();
  LPWSTR text = nullptr;
  if (user.empty() || !ConvertSidToStringSidW(const_cast<BYTE*>(user.data()), &text)) return {};
  const LocalMemory owned(text);
  // Protected: nothing is inherited from the folder above.
  return std::wstring(L"D:P(A;;FA;;;SY)(A;;FA;;;") + text + L")";
}

}  // namespace kanade
