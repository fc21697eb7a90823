#include "util/link_rule.h"

namespace kanade {

LinkVerdict JudgeWindowsLink(const WindowsLinkFacts& facts) {
  // Without access lists anybody could have made it, and nobody can be asked.
  if (!facts.KeepsOwners) return LinkVerdict::kFollow;
  if (!facts.OwnerTrusted) return LinkVerdict::kRefuseOwner;
  // Only administrators could have made or changed it.
  if (!facts.OthersMayChange) return LinkVerdict::kFollow;
  return facts.PlayerMayWriteTarget ? LinkVerdict::kFollow : LinkVerdict::kRefuseTarget;
}

std::string_view LinkVerdictText(LinkVerdict verdict) {
  switch (verdict) {
    case LinkVerdict::kFollow:
      return {};
    case LinkVerdict::kRefuseOwner:
      return "";
    case LinkVerdict::kRefuseTarget:
      return ", in a folder others can write, leading where the player cannot write without "
             "administrator rights";
  }
  return {};
}

}  // namespace kanade
