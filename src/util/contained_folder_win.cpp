#include <windows.h>
// Windows headers first: the ones below need their definitions.
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "util/contained_folder.h"
#include "util/file_owner.h"
#include "util/link_rule.h"
#include "util/utf.h"

namespace kanade {

struct NewFile::Impl {
  std::wstring path;
  std::string name;
  // Open from its creation until it is in place: the rename goes through
  // it, which spares opening the file again by its name.
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool finished = false;
  bool placed = false;

  ~Impl() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    if (!placed && !path.empty()) DeleteFileW(path.c_str());
  }
};

struct ContainedFolder::Impl {
  // Every folder from the root down stays open without delete sharing, so
  // none of them can be renamed or replaced by a link while we work below.
  std::vector<HANDLE> handles;
  std::string path;

  ~Impl() {
    for (HANDLE handle : handles) CloseHandle(handle);
  }
  std::wstring WidePathOf(std::string_view name) const {
    return Widen(path + "\\" + std::string(name));
  }
};

namespace {

constexpr DWORD kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE OpenFolder(const std::wstring& path, bool follow_links) {
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
  if (!follow_links) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  return CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
                     kFolderShare, nullptr, OPEN_EXISTING, flags, nullptr);
}

// Asked by class, not with GetFileInformationByHandle: that one also wants
// the volume's serial number, which Wine fetches from its mount manager in
// several round trips between processes, for every file a module touches.
DWORD AttributesOf(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
    return INVALID_FILE_ATTRIBUTES;
  }
  return tag.FileAttributes;
}

bool IsPlainFolder(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The folder that the reparse point held by `link`, in the folder held by
// `holder`, leads to, opened, when JudgeWindowsLink lets it be followed: a
// symbolic link or junction that a trusted owner made where only
// administrators may write, or one in a folder that others may write that
// leads where the player's own unelevated token may write anyway. The
// target is opened first and judged by its held handle, so no re-pointing
// between the look and the use changes what is written. INVALID_HANDLE_VALUE
// otherwise; `owner` then says who made it, and why that is not enough.
HANDLE OpenThroughTrustedLink(HANDLE holder, HANDLE link, const std::wstring& path,
                              std::string* owner) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(link, FileAttributeTagInfo, &tag, sizeof tag) ||
      (tag.ReparseTag != IO_REPARSE_TAG_SYMLINK && tag.ReparseTag != IO_REPARSE_TAG_MOUNT_POINT)) {
    return INVALID_HANDLE_VALUE;
  }
  HANDLE target = OpenFolder(path, true);
  if (target != INVALID_HANDLE_VALUE && !IsPlainFolder(AttributesOf(target))) {
    CloseHandle(target);
    return INVALID_HANDLE_VALUE;
  }
  if (target == INVALID_HANDLE_VALUE) return target;
  WindowsLinkFacts facts;
  facts.KeepsOwners = VolumeKeepsAccessLists(link);
  const std::optional<std::string> untrusted = UntrustedOwnerOf(link);
  facts.OwnerTrusted = !untrusted;
  facts.OthersMayChange = OtherChangerOf(holder).has_value() || OtherChangerOf(link).has_value();
  if (facts.OthersMayChange) facts.PlayerMayWriteTarget = PlayerMayWrite(target);
  const LinkVerdict verdict = JudgeWindowsLink(facts);
  if (verdict == LinkVerdict::kFollow) return target;
  CloseHandle(target);
  *owner = (untrusted ? *untrusted : OwnerTextOf(link)) + std::string(LinkVerdictText(verdict));
  return INVALID_HANDLE_VALUE;
}

// The regular file at `path` with no other name, opened without following
// a reparse point; INVALID_HANDLE_VALUE when it is anything else.
HANDLE OpenSoleFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                    DWORD flags) {
  HANDLE handle =
      CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, share, nullptr, disposition,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return handle;
  const DWORD attributes = AttributesOf(handle);
  FILE_STANDARD_INFO standard{};
  if (GetFileType(handle) != FILE_TYPE_DISK || attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
      !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
      standard.Directory || standard.NumberOfLinks != 1) {
    CloseHandle(handle);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

bool WriteAll(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

}  // namespace

struct AppendingFile::Impl {
  HANDLE handle;
  explicit Impl(HANDLE opened) : handle(opened) {}
  ~Impl() { CloseHandle(handle); }
};

AppendingFile::AppendingFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AppendingFile::AppendingFile(AppendingFile&&) noexcept = default;
AppendingFile& AppendingFile::operator=(AppendingFile&&) noexcept = default;
AppendingFile::~AppendingFile() = default;

bool AppendingFile::Append(std::string_view bytes) {
  return WriteAll(impl_->handle, bytes);
}

NewFile::NewFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
NewFile::NewFile(NewFile&&) noexcept = default;
NewFile& NewFile::operator=(NewFile&&) noexcept = default;
NewFile::~NewFile() = default;

const std::string& NewFile::Name() const {
  return impl_->name;
}

bool NewFile::Write(const void* data, std::size_t size) {
  if (impl_->finished) return false;
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(impl_->handle, bytes, chunk, &written, nullptr) || written == 0) return false;
    bytes += written;
    size -= written;
  }
  return true;
}

bool NewFile::Finish(bool durable) {
  if (impl_->handle == INVALID_HANDLE_VALUE || impl_->finished) return false;
  impl_->finished = true;
  return !durable || FlushFileBuffers(impl_->handle) != 0;
}

bool NewFile::SetMode(unsigned) {
  return true;
}

bool NewFile::Truncate() {
  LARGE_INTEGER start{};
  return impl_->handle != INVALID_HANDLE_VALUE && !impl_->finished &&
         SetFilePointerEx(impl_->handle, start, nullptr, FILE_BEGIN) && SetEndOfFile(impl_->handle);
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
  HANDLE handle = OpenFolder(Widen(impl->path), true);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  impl->handles.push_back(handle);
  const auto refuse_link = [&](std::string owner) {
    if (crossed_link != nullptr) *crossed_link = true;
    if (link_owner != nullptr) *link_owner = std::move(owner);
    return std::nullopt;
  };
  for (const std::string& segment : segments) {
    const std::wstring path = impl->WidePathOf(segment);
    handle = OpenFolder(path, false);
    if (handle == INVALID_HANDLE_VALUE && create && GetLastError() == ERROR_FILE_NOT_FOUND) {
      const bool made = CreateDirectoryW(path.c_str(), nullptr) != 0;
      handle = OpenFolder(path, false);
      if (made && handle != INVALID_HANDLE_VALUE && created != nullptr) ++*created;
    }
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD attributes = GetFileAttributesW(path.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return refuse_link({});
      }
      return std::nullopt;
    }
    impl->handles.push_back(handle);
    const DWORD attributes = AttributesOf(handle);
    if (attributes == INVALID_FILE_ATTRIBUTES) return std::nullopt;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      // The handle holds the link itself; the folder it leads to is held too.
      std::string owner;
      const HANDLE holder = impl->handles[impl->handles.size() - 2];
      const HANDLE target = OpenThroughTrustedLink(holder, handle, path, &owner);
      if (target == INVALID_HANDLE_VALUE) return refuse_link(std::move(owner));
      impl->handles.push_back(target);
    } else if (const DWORD named = GetFileAttributesW(path.c_str());
               named != INVALID_FILE_ATTRIBUTES && (named & FILE_ATTRIBUTE_REPARSE_POINT)) {
      // Wine shows a Unix link to a folder as a reparse point by name only,
      // and its handle is already the target's: whoever made the link
      // cannot be read, so it is not followed. The held handle keeps the
      // name from being replaced meanwhile.
      return refuse_link({});
    } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return std::nullopt;
    }
    impl->path += "\\" + segment;
  }
  return ContainedFolder(std::move(impl));
}

const std::string& ContainedFolder::Path() const {
  return impl_->path;
}

std::string ContainedFolder::PathOf(std::string_view name) const {
  return impl_->path + "\\" + std::string(name);
}

EntryKind ContainedFolder::KindOf(std::string_view name) const {
  const DWORD attributes = GetFileAttributesW(impl_->WidePathOf(name).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? EntryKind::kMissing
                                                                          : EntryKind::kOther;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::kLink;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::kFolder;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return EntryKind::kOther;
  return EntryKind::kFile;
}

std::optional<std::string> ContainedFolder::ForeignOwner(std::string_view name) const {
  if (name.empty() || name == ".") return UntrustedOwnerOf(impl_->handles.back());
  HANDLE handle =
      CreateFileW(impl_->WidePathOf(name).c_str(), READ_CONTROL,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  auto owner = UntrustedOwnerOf(handle);
  CloseHandle(handle);
  return owner;
}

bool ContainedFolder::KeepsNoOwners() const {
  return !VolumeKeepsAccessLists(impl_->handles.back());
}

std::optional<std::string> ContainedFolder::TrustedLinkTarget(std::string_view name,
                                                              std::string* link_owner) const {
  if (link_owner != nullptr) link_owner->clear();
  const std::wstring path = impl_->WidePathOf(name);
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE link =
      CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, kShare, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (link == INVALID_HANDLE_VALUE) return std::nullopt;
  // Held without delete sharing while the path it leads to is read.
  std::optional<std::string> target;
  FILE_ATTRIBUTE_TAG_INFO tag{};
  std::optional<std::string> owner;
  if (GetFileInformationByHandleEx(link, FileAttributeTagInfo, &tag, sizeof tag) &&
      (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      (tag.ReparseTag == IO_REPARSE_TAG_SYMLINK || tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT)) {
    // Judged as Open judges a link on the way, by the held target.
    HANDLE followed = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, kShare,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (followed != INVALID_HANDLE_VALUE) {
      WindowsLinkFacts facts;
      facts.KeepsOwners = VolumeKeepsAccessLists(link);
      const std::optional<std::string> untrusted = UntrustedOwnerOf(link);
      facts.OwnerTrusted = !untrusted;
      facts.OthersMayChange =
          OtherChangerOf(impl_->handles.back()).has_value() || OtherChangerOf(link).has_value();
      if (facts.OthersMayChange) facts.PlayerMayWriteTarget = PlayerMayWrite(followed);
      const LinkVerdict verdict = JudgeWindowsLink(facts);
      if (verdict != LinkVerdict::kFollow) {
        owner =
            (untrusted ? *untrusted : OwnerTextOf(link)) + std::string(LinkVerdictText(verdict));
        CloseHandle(followed);
        followed = INVALID_HANDLE_VALUE;
      }
    }
    if (followed != INVALID_HANDLE_VALUE) {
      std::wstring resolved(32768, L'\0');
      const DWORD size = GetFinalPathNameByHandleW(followed, resolved.data(),
                                                   static_cast<DWORD>(resolved.size()), 0);
      if (size > 0 && size < resolved.size()) {
        resolved.resize(size);
        // "\\?\C:\x" and "\\?\UNC\server\x" as the paths that players know.
        if (resolved.rfind(L"\\\\?\\UNC\\", 0) == 0) {
          resolved = L"\\\\" + resolved.substr(8);
        } else if (resolved.rfind(L"\\\\?\\", 0) == 0) {
          resolved = resolved.substr(4);
        }
        target = Narrow(resolved);
      }
      CloseHandle(followed);
    }
  }
  CloseHandle(link);
  if (owner && link_owner != nullptr) *link_owner = std::move(*owner);
  return target;
}

bool ContainedFolder::IsReadOnly(std::string_view name) const {
  const DWORD attributes = GetFileAttributesW(impl_->WidePathOf(name).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         (attributes & FILE_ATTRIBUTE_READONLY);
}

std::FILE* ContainedFolder::OpenForReading(std::string_view name) const {
  HANDLE handle =
      CreateFileW(impl_->WidePathOf(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  const DWORD attributes = AttributesOf(handle);
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
      GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "rb");
  if (file == nullptr) _close(fd);
  return file;
}

bool ContainedFolder::IsSoleFile(std::string_view name) const {
  HANDLE handle = OpenSoleFile(impl_->WidePathOf(name), 0,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (handle == INVALID_HANDLE_VALUE) return false;
  CloseHandle(handle);
  return true;
}

std::optional<AppendingFile> ContainedFolder::OpenToAppend(std::string_view name) const {
  // No write-through: a disk flush for every line of the log cost each
  // module several milliseconds, and what others read comes from the cache.
  HANDLE handle =
      OpenSoleFile(impl_->WidePathOf(name), FILE_APPEND_DATA,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_ALWAYS, 0);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  return AppendingFile(std::make_unique<AppendingFile::Impl>(handle));
}

bool ContainedFolder::OverwriteInPlace(std::string_view name, std::string_view bytes) const {
  HANDLE handle = OpenSoleFile(impl_->WidePathOf(name), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool written = SetEndOfFile(handle) && WriteAll(handle, bytes) && FlushFileBuffers(handle);
  return CloseHandle(handle) != 0 && written;
}

std::optional<NewFile> ContainedFolder::CreateTemporary(std::string_view name) const {
  for (int attempt = 0; attempt < 4; ++attempt) {
    auto file = std::make_unique<NewFile::Impl>();
    const std::string suffix = RandomHex(8);
    if (suffix.empty()) return std::nullopt;
    file->name = std::string(name) + std::string(kTemporaryMarker) + suffix;
    const std::wstring path = impl_->WidePathOf(file->name);
    // CREATE_NEW fails on any existing name, a link included.
    file->handle = CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file->handle != INVALID_HANDLE_VALUE) {
      file->path = path;
      return NewFile(std::move(file));
    }
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return std::nullopt;
}

bool ContainedFolder::MoveIntoPlace(NewFile& file, std::string_view name) const {
  NewFile::Impl& impl = *file.impl_;
  if (!impl.finished || impl.placed) return false;
  // A rename replaces the entry itself, also when it is a link. The system
  // makes the full path its own, as MoveFileExW would.
  const std::wstring target = impl_->WidePathOf(name);
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::copy(target.begin(), target.end(), rename->FileName);
  if (!SetFileInformationByHandle(impl.handle, FileRenameInfo, rename,
                                  static_cast<DWORD>(buffer.size()))) {
    return false;
  }
  impl.placed = true;
  CloseHandle(impl.handle);
  impl.handle = INVALID_HANDLE_VALUE;
  return true;
}

bool ContainedFolder::Remove(std::string_view name) const {
  const std::wstring path = impl_->WidePathOf(name);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
  // A junction or folder link goes as a folder entry, never its contents.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return RemoveDirectoryW(path.c_str()) != 0;
  }
  return DeleteFileW(path.c_str()) != 0;
}

bool ContainedFolder::RemoveEmptyFolder(std::string_view name) const {
  const std::wstring path = impl_->WidePathOf(name);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  // A junction is removed by RemoveDirectoryW too: leave anything but a plain folder.
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  return RemoveDirectoryW(path.c_str()) != 0;
}

std::optional<ContainedFolder::Space> ContainedFolder::FreeSpace() const {
  ULARGE_INTEGER available{};
  ULARGE_INTEGER total{};
  if (!GetDiskFreeSpaceExW(Widen(impl_->path + "\\").c_str(), &available, &total, nullptr)) {
    return std::nullopt;
  }
  return Space{available.QuadPart, total.QuadPart};
}

bool ContainedFolder::Sync() const {
  // Flushing a folder takes a handle with write access, which Windows may
  // refuse without administrator rights; the renames themselves were made
  // with MOVEFILE_WRITE_THROUGH, so this is only the last step.
  HANDLE handle = CreateFileW(Widen(impl_->path).c_str(), GENERIC_WRITE, kFolderShare, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool flushed = FlushFileBuffers(handle) != 0;
  CloseHandle(handle);
  return flushed;
}

bool ContainedFolder::Rename(std::string_view from, std::string_view to) const {
  return MoveFileExW(impl_->WidePathOf(from).c_str(), impl_->WidePathOf(to).c_str(),
                     MOVEFILE_WRITE_THROUGH) != 0;
}

int ContainedFolder::RemoveLeftoverTemporaries() const {
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(impl_->WidePathOf("*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  std::vector<std::string> leftovers;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::string name = Narrow(found.cFileName);
    if (IsLeftoverName(name)) leftovers.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  int removed = 0;
  for (const std::string& name : leftovers) {
    if (Remove(name)) ++removed;
  }
  return removed;
}

bool FillRandomBytes(void* data, std::size_t size) {
  return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, static_cast<PUCHAR>(data),
                                        static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

}  // namespace kanade
