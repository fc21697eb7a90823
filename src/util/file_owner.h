// Who owns a file, and whether that is enough to trust what lies there: the
// running user, an administrator (SYSTEM, TrustedInstaller) or root. Only
// ContainedFolder's platform files and the player's secrets use this.
#pragma once

#include <optional>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace kanade {

#ifdef _WIN32
/// Nothing when the object behind `handle` (opened with READ_CONTROL)
/// belongs to a trusted owner, or lies on a volume without access lists;
/// else its owner as text ("DOMAIN\name (SID)").
std::optional<std::string> UntrustedOwnerOf(HANDLE handle);
/// Nothing when only the running user, administrators, SYSTEM and
/// TrustedInstaller may read or change the object behind `handle` (opened
/// with READ_CONTROL); else the first other who may.
std::optional<std::string> OtherReaderOrWriterOf(HANDLE handle);
/// Whether the volume of `handle` keeps access lists (NTFS, ReFS; not FAT
/// or exFAT).
bool VolumeKeepsAccessLists(HANDLE handle);
/// Nothing when only the trusted owners may write the object behind
/// `handle` (opened with READ_CONTROL), or add to or delete from it; else
/// the first other who may.
std::optional<std::string> OtherChangerOf(HANDLE handle);
/// The owner of the object behind `handle` as text ("DOMAIN\name (SID)").
std::string OwnerTextOf(HANDLE handle);
/// Whether the player's own token without elevation (the linked token of an
/// elevated process) may write to the object behind `handle` (opened with
/// READ_CONTROL): add a file, when it is a folder.
bool PlayerMayWrite(HANDLE handle);
/// An access list, in SDDL, that lets the running user and SYSTEM alone in;
/// empty when the user cannot be told.
std::wstring PlayerOnlyAccessList();
#else
/// Nothing when `info` belongs to the running user or root, or lies on a
/// file system that keeps no owners; else its owner as text ("name (uid
/// N)", or "uid N" when the name is unknown).
std::optional<std::string> UntrustedOwnerOf(const struct stat& info);
/// Why `self` may not follow a link that `link` describes in a folder that
/// `folder` describes; nothing when it may. The kernel's own rule for links
/// (fs.protected_symlinks) is the model: a link that the running user, the
/// folder's owner or root made, whatever the group bits or the umask. Run as
/// root, only root's link in a folder that root alone may write.
std::optional<std::string> LinkRefusal(uid_t self, const struct stat& link,
                                       const struct stat& folder);
/// The text of the link `name` in `folder` when it may be followed
/// (LinkRefusal). The link is held open while it is judged and read, so
/// the text read is the text of the link judged. Nothing otherwise;
/// `refusal` then says who made it and why that is not enough, or stays
/// empty when it is no link or cannot be read.
std::optional<std::string> TrustedLinkText(int folder, const std::string& name,
                                           std::string* refusal);
/// Whether the file system of `info` keeps no owners of its own (FAT,
/// exFAT, NTFS mounted from Linux): every entry shows the owner the mount
/// was given.
bool KeepsNoOwners(const struct stat& info);
#endif

}  // namespace kanade
