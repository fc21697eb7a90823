#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "util/contained_folder.h"
#include "util/file_owner.h"

namespace kanade {

struct NewFile::Impl {
  int folder = -1;  // borrowed from the ContainedFolder
  int fd = -1;
  std::string name;
  bool placed = false;

  ~Impl() {
    if (fd >= 0) ::close(fd);
    if (!placed && folder >= 0) ::unlinkat(folder, name.c_str(), 0);
  }
};

struct ContainedFolder::Impl {
  int fd = -1;
  std::string path;

  ~Impl() {
    if (fd >= 0) ::close(fd);
  }
};

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// A link in the way that was not followed, and who made it.
struct RefusedLink {
  bool crossed = false;
  std::string owner;
};

// Below the root a link is followed only when LinkRefusal allows it, and
// then by the text of the very link that was judged (TrustedLinkText);
// O_NOFOLLOW fails on any link (ELOOP), O_DIRECTORY on anything that is not
// a folder.
int OpenSegment(int parent, const std::string& name, bool create, bool* made,
                RefusedLink* refusal) {
  int fd = ::openat(parent, name.c_str(), kDirectoryFlags | O_NOFOLLOW);
  if (fd < 0 && errno == ENOENT && create) {
    const bool made_here = ::mkdirat(parent, name.c_str(), 0777) == 0;
    if (made_here || errno == EEXIST) {
      fd = ::openat(parent, name.c_str(), kDirectoryFlags | O_NOFOLLOW);
      *made = made_here && fd >= 0;
    }
  }
  if (fd < 0) {
    struct stat info {};
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
      std::string owner;
      const auto target = TrustedLinkText(parent, name, &owner);
      if (!target) {
        refusal->crossed = true;
        refusal->owner = owner.empty() ? "an owner that cannot be read" : std::move(owner);
        return -1;
      }
      fd = ::openat(parent, target->c_str(), kDirectoryFlags);
    }
  }
  return fd;
}

// The regular file `name` with no other name, opened without following a
// link; O_NONBLOCK keeps a planted FIFO from holding the open up. -1 when it
// is anything else.
int OpenSoleFile(int folder, std::string_view name, int flags) {
  const int fd = ::openat(folder, std::string(name).c_str(),
                          flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return -1;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

struct AppendingFile::Impl {
  int fd;
  explicit Impl(int opened) : fd(opened) {}
  ~Impl() { ::close(fd); }
};

AppendingFile::AppendingFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AppendingFile::AppendingFile(AppendingFile&&) noexcept = default;
AppendingFile& AppendingFile::operator=(AppendingFile&&) noexcept = default;
AppendingFile::~AppendingFile() = default;

bool AppendingFile::Append(std::string_view bytes) {
  return WriteAll(impl_->fd, bytes);
}

NewFile::NewFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
NewFile::NewFile(NewFile&&) noexcept = default;
NewFile& NewFile::operator=(NewFile&&) noexcept = default;
NewFile::~NewFile() = default;

const std::string& NewFile::Name() const {
  return impl_->name;
}

bool NewFile::Write(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(impl_->fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool NewFile::Finish(bool durable) {
  if (impl_->fd < 0) return false;
  const bool synced = !durable || ::fsync(impl_->fd) == 0;
  const bool closed = ::close(impl_->fd) == 0;
  impl_->fd = -1;
  return synced && closed;
}

bool NewFile::SetMode(unsigned mode) {
  return impl_->fd >= 0 && ::fchmod(impl_->fd, static_cast<mode_t>(mode & 07777)) == 0;
}

bool NewFile::Truncate() {
  return impl_->fd >= 0 && ::ftruncate(impl_->fd, 0) == 0 && ::lseek(impl_->fd, 0, SEEK_SET) == 0;
}

ContainedFolder::ContainedFolder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ContainedFolder::ContainedFolder(ContainedFolder&&) noexcept = default;
ContainedFolder& ContainedFolder::operator=(ContainedFolder&&) noexcept = default;
ContainedFolder::~ContainedFolder() = default;

std::optional<ContainedFolder> ContainedFolder::Open(std::string_view root,
                                                     const std::vector<std::string>& segments,
                                                     bool create, bool* crossed_link,
                                                     std::size_t* created,
                                                     std::string* link_owner) {
  if (crossed_link != nullptr) *crossed_link = false;
  if (created != nullptr) *created = 0;
  if (link_owner != nullptr) link_owner->clear();
  if (root.empty()) return std::nullopt;
  auto impl = std::make_unique<Impl>();
  impl->path = std::string(root);
  impl->fd = ::open(impl->path.c_str(), kDirectoryFlags);
  if (impl->fd < 0) return std::nullopt;
  for (const std::string& segment : segments) {
    bool made = false;
    RefusedLink refusal;
    const int next = OpenSegment(impl->fd, segment, create, &made, &refusal);
    if (made && created != nullptr) ++*created;
    if (next < 0) {
      if (crossed_link != nullptr) *crossed_link = refusal.crossed;
      if (link_owner != nullptr) *link_owner = std::move(refusal.owner);
      return std::nullopt;
    }
    ::close(impl->fd);
    impl->fd = next;
    impl->path += "/" + segment;
  }
  return ContainedFolder(std::move(impl));
}

const std::string& ContainedFolder::Path() const {
  return impl_->path;
}

std::string ContainedFolder::PathOf(std::string_view name) const {
  return impl_->path + "/" + std::string(name);
}

EntryKind ContainedFolder::KindOf(std::string_view name) const {
  struct stat info {};
  if (::fstatat(impl_->fd, std::string(name).c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? EntryKind::kMissing : EntryKind::kOther;
  }
  if (S_ISLNK(info.st_mode)) return EntryKind::kLink;
  if (S_ISREG(info.st_mode)) return EntryKind::kFile;
  if (S_ISDIR(info.st_mode)) return EntryKind::kFolder;
  return EntryKind::kOther;
}

std::optional<std::string> ContainedFolder::ForeignOwner(std::string_view name) const {
  struct stat info {};
  const std::string entry = name.empty() ? std::string(".") : std::string(name);
  if (::fstatat(impl_->fd, entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return UntrustedOwnerOf(info);
}

bool ContainedFolder::KeepsNoOwners() const {
  struct stat info {};
  return ::fstat(impl_->fd, &info) == 0 && kanade::KeepsNoOwners(info);
}

std::optional<std::string> ContainedFolder::TrustedLinkTarget(std::string_view name,
                                                              std::string* link_owner) const {
  if (link_owner != nullptr) link_owner->clear();
  std::string owner;
  const auto target = TrustedLinkText(impl_->fd, std::string(name), &owner);
  if (!target) {
    if (link_owner != nullptr) *link_owner = std::move(owner);
    return std::nullopt;
  }
  return target->front() == '/' ? *target : impl_->path + "/" + *target;
}

bool ContainedFolder::IsReadOnly(std::string_view name) const {
  struct stat info {};
  if (::fstatat(impl_->fd, std::string(name).c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;
  }
  return S_ISREG(info.st_mode) && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

std::FILE* ContainedFolder::OpenForReading(std::string_view name) const {
  const int fd = ::openat(impl_->fd, std::string(name).c_str(),
                          O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) ::close(fd);
  return file;
}

bool ContainedFolder::IsSoleFile(std::string_view name) const {
  struct stat info {};
  return ::fstatat(impl_->fd, std::string(name).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(info.st_mode) && info.st_nlink == 1;
}

std::optional<AppendingFile> ContainedFolder::OpenToAppend(std::string_view name) const {
  const int fd = OpenSoleFile(impl_->fd, name, O_WRONLY | O_APPEND | O_CREAT);
  if (fd < 0) return std::nullopt;
  return AppendingFile(std::make_unique<AppendingFile::Impl>(fd));
}

bool ContainedFolder::OverwriteInPlace(std::string_view name, std::string_view bytes) const {
  const int fd = OpenSoleFile(impl_->fd, name, O_WRONLY);
  if (fd < 0) return false;
  const bool written = ::ftruncate(fd, 0) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
  return ::close(fd) == 0 && written;
}

std::optional<NewFile> ContainedFolder::CreateTemporary(std::string_view name) const {
  for (int attempt = 0; attempt < 4; ++attempt) {
    auto file = std::make_unique<NewFile::Impl>();
    const std::string suffix = RandomHex(8);
    if (suffix.empty()) return std::nullopt;
    file->name = std::string(name) + std::string(kTemporaryMarker) + suffix;
    file->fd = ::openat(impl_->fd, file->name.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (file->fd >= 0) {
      file->folder = impl_->fd;
      return NewFile(std::move(file));
    }
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

bool ContainedFolder::MoveIntoPlace(NewFile& file, std::string_view name) const {
  NewFile::Impl& impl = *file.impl_;
  if (impl.fd >= 0 || impl.placed) return false;
  // rename() replaces the entry itself, also when it is a link.
  if (::renameat(impl_->fd, impl.name.c_str(), impl_->fd, std::string(name).c_str()) != 0) {
    return false;
  }
  impl.placed = true;
  return true;
}

bool ContainedFolder::Remove(std::string_view name) const {
  return ::unlinkat(impl_->fd, std::string(name).c_str(), 0) == 0 || errno == ENOENT;
}

bool ContainedFolder::RemoveEmptyFolder(std::string_view name) const {
  // AT_REMOVEDIR never follows a link and fails on a folder with entries.
  return ::unlinkat(impl_->fd, std::string(name).c_str(), AT_REMOVEDIR) == 0;
}

std::optional<ContainedFolder::Space> ContainedFolder::FreeSpace() const {
  struct statvfs info {};
  if (::fstatvfs(impl_->fd, &info) != 0) return std::nullopt;
  const std::uint64_t unit = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
  return Space{static_cast<std::uint64_t>(info.f_bavail) * unit,
               static_cast<std::uint64_t>(info.f_blocks) * unit};
}

bool ContainedFolder::Sync() const {
  return ::fsync(impl_->fd) == 0;
}

bool ContainedFolder::Rename(std::string_view from, std::string_view to) const {
  // No RENAME_NOREPLACE everywhere: a check first is enough for our own names.
  if (KindOf(to) != EntryKind::kMissing) return false;
  return ::renameat(impl_->fd, std::string(from).c_str(), impl_->fd, std::string(to).c_str()) == 0;
}

int ContainedFolder::RemoveLeftoverTemporaries() const {
  const int listing = ::openat(impl_->fd, ".", kDirectoryFlags);
  if (listing < 0) return 0;
  DIR* dir = ::fdopendir(listing);
  if (dir == nullptr) {
    ::close(listing);
    return 0;
  }
  std::vector<std::string> leftovers;
  while (const dirent* entry = ::readdir(dir)) {
    if (IsLeftoverName(entry->d_name)) leftovers.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  int removed = 0;
  for (const std::string& name : leftovers) {
    const EntryKind kind = KindOf(name);
    if ((kind == EntryKind::kFile || kind == EntryKind::kLink) && Remove(name)) ++removed;
  }
  return removed;
}

bool FillRandomBytes(void* data, std::size_t size) {
  auto* bytes = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::getrandom(bytes, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace kanade
