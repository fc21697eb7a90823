// Whether kanade.exe follows a link (a junction or symbolic link) on the way
// to where it writes. It always runs elevated, and a link in a folder that
// programs without elevation may write could have been made or re-pointed
// by any of them: following it blindly lets them aim an administrator's
// writes anywhere. Players move game data with such links, though, in Steam
// libraries that grant Users full control, so a link there is followed
// where the player's own unelevated token may write anyway.
#pragma once

#include <string_view>

namespace kanade {

/// What is known of one link, asked of held handles.
struct WindowsLinkFacts {
  bool KeepsOwners = true;       // the volume keeps access lists (not FAT or exFAT)
  bool OwnerTrusted = true;      // the player, Administrators, SYSTEM or TrustedInstaller made it
  bool OthersMayChange = false;  // anybody else may write its folder or re-point it
  bool PlayerMayWriteTarget = true;  // the player's unelevated token may write where it leads
};

enum class LinkVerdict {
  kFollow,
  kRefuseOwner,   // another user made it
  kRefuseTarget,  // it leads where the player could not write without elevation
};

LinkVerdict JudgeWindowsLink(const WindowsLinkFacts& facts);

/// The reason the log gives for a refusal, after who made the link.
std::string_view LinkVerdictText(LinkVerdict verdict);

}  // namespace kanade
