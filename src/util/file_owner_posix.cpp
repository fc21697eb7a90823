#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "util/file_owner.h"

namespace kanade {

namespace {

bool IsTrustedUid(uid_t uid) {
  return uid == ::geteuid() || uid == 0;
}

std::string OwnerText(uid_t uid) {
  const std::string id = "uid " + std::to_string(uid);
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return id;
  }
  return std::string(found->pw_name) + " (" + id + ")";
}

}  // namespace

std::optional<std::string> UntrustedOwnerOf(const struct stat& info) {
  if (IsTrustedUid(info.st_uid)) return std::nullopt;
  return OwnerText(info.st_uid);
}

std::optional<std::string> UntrustedLinkIn(int folder, const std::string& name) {
  struct stat link {};
  if (::fstatat(folder, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode)) {
    return "an owner that cannot be read";
  }
  if (!IsTrustedUid(link.st_uid)) return OwnerText(link.st_uid);
  // Whoever may write the folder may swap the link for one of their own
  // between the check and the open. The group bits count even for our own
  // group: they also carry the mask of an ACL that lets another user write.
  struct stat holder {};
  if (::fstat(folder, &holder) != 0 || !IsTrustedUid(holder.st_uid) ||
      (holder.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return OwnerText(link.st_uid) + ", in a folder others can write";
  }
  return std::nullopt;
}

}  // namespace kanade
