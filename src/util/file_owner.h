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
/// belongs to a trusted owner and, with `sole_writer`, nobody else may
/// change it either; else its owner as text ("DOMAIN\name (SID)"), and
/// who else may change it.
std::optional<std::string> UntrustedOwnerOf(HANDLE handle, bool sole_writer);
/// Nothing when only the running user, administrators, SYSTEM and
/// TrustedInstaller may read or change the object behind `handle` (opened
/// with READ_CONTROL); else the first other who may.
std::optional<std::string> OtherReaderOrWriterOf(HANDLE handle);
/// An access list, in SDDL, that lets the running user and SYSTEM alone in;
/// empty when the user cannot be told.
std::wstring PlayerOnlyAccessList();
#else
/// Nothing when `info` belongs to the running user or root; else its owner
/// as text ("name (uid N)", or "uid N" when the name is unknown).
std::optional<std::string> UntrustedOwnerOf(const struct stat& info);
/// Nothing when the link `name` in `folder` may be followed: the running
/// user or root made it in a folder that nobody else can write. Else who
/// made it, and why that is not enough.
std::optional<std::string> UntrustedLinkIn(int folder, const std::string& name);
#endif

}  // namespace kanade
