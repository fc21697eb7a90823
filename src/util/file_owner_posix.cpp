#include <fcntl.h>
#include <pwd.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
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

// The file system type of the mount whose device is `device`, as
// /proc/self/mountinfo names it ("ext4", "fuseblk"); empty when unknown.
std::string MountTypeOf(dev_t device) {
  std::ifstream mounts("/proc/self/mountinfo");
  const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string id, parent, numbers;
    fields >> id >> parent >> numbers;
    if (numbers != wanted) continue;
    // The optional fields end with a lone "-"; the type follows it.
    const std::size_t separator = line.find(" - ");
    if (separator == std::string::npos) return {};
    std::istringstream rest(line.substr(separator + 3));
    std::string type;
    rest >> type;
    return type;
  }
  return {};
}

}  // namespace

bool KeepsNoOwners(const struct stat& info) {
  static std::mutex lock;
  static std::map<dev_t, bool> known;
  const std::lock_guard<std::mutex> held(lock);
  const auto found = known.find(info.st_dev);
  if (found != known.end()) return found->second;
  const std::string type = MountTypeOf(info.st_dev);
  // fuseblk: the FUSE drivers of block devices, exfat-fuse and ntfs-3g.
  const bool none = type == "vfat" || type == "msdos" || type == "exfat" || type == "ntfs" ||
                    type == "ntfs3" || type == "fuseblk" || type.rfind("fuseblk.", 0) == 0;
  known.emplace(info.st_dev, none);
  return none;
}

std::optional<std::string> UntrustedOwnerOf(const struct stat& info) {
  if (IsTrustedUid(info.st_uid) || KeepsNoOwners(info)) return std::nullopt;
  return OwnerText(info.st_uid);
}

std::optional<std::string> LinkRefusal(uid_t self, const struct stat& link,
                                       const struct stat& folder) {
  if (self != 0) {
    if (link.st_uid == self || link.st_uid == folder.st_uid || link.st_uid == 0) {
      return std::nullopt;
    }
    return OwnerText(link.st_uid);
  }
  // Root follows no link that another user could have made or swapped.
  if (link.st_uid != 0) return OwnerText(link.st_uid);
  if (folder.st_uid != 0 || (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return OwnerText(link.st_uid) + ", in a folder others can write";
  }
  return std::nullopt;
}

std::optional<std::string> TrustedLinkText(int folder, const std::string& name,
                                           std::string* refusal) {
  refusal->clear();
  // The link itself, held: a link cannot be changed, only replaced, so what
  // is read through this descriptor is what was judged.
  const int link = ::openat(folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (link < 0) return std::nullopt;
  struct stat info {};
  struct stat holder {};
  std::optional<std::string> text;
  if (::fstat(link, &info) == 0 && S_ISLNK(info.st_mode) && ::fstat(folder, &holder) == 0) {
    if (auto why = LinkRefusal(::geteuid(), info, holder)) {
      *refusal = std::move(*why);
    } else {
      std::string target(PATH_MAX, '\0');
      const ssize_t size = ::readlinkat(link, "", target.data(), target.size());
      if (size > 0 && static_cast<std::size_t>(size) < target.size()) {
        target.resize(static_cast<std::size_t>(size));
        text = std::move(target);
      }
    }
  }
  ::close(link);
  return text;
}

}  // namespace kanade
