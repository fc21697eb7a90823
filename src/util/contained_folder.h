// Writing and deleting below a folder without ever going through someone
// else's link. A folder below the root is opened segment by segment,
// following only the links that the player or an administrator made, and
// stays open (on Windows, locked against renaming) while files are created,
// renamed and deleted inside it, so a link planted meanwhile changes
// nothing. The root itself may be a link: Steam libraries on other drives
// often are.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kanade {

/// What a name in a folder is, links not followed.
enum class EntryKind { kMissing, kFile, kFolder, kLink, kOther };

/// The temporary files of this program: the target name, ".kanade-tmp-" and
/// a random suffix.
inline constexpr std::string_view kTemporaryMarker = ".kanade-tmp-";
/// A program set aside by an upgrade while it still ran (Windows).
inline constexpr std::string_view kSetAsideFileMarker = ".kanade-old-";
/// True for a name that this program leaves behind only when it is stopped:
/// its temporary files (also the older "<name>.kanade-tmp-<pid>-<n>" form)
/// and the program copies that an upgrade set aside.
bool IsLeftoverName(std::string_view name);

/// A file being written under a temporary name inside a ContainedFolder. It
/// is removed when it goes out of scope unless it was moved into place.
class NewFile {
 public:
  NewFile(NewFile&&) noexcept;
  NewFile& operator=(NewFile&&) noexcept;
  ~NewFile();

  const std::string& Name() const;
  bool Write(const void* data, std::size_t size);
  /// Ends the writing, after flushing its bytes to the disk (fsync,
  /// FlushFileBuffers) when `durable`. A rename alone already survives a
  /// killed process; only a power loss needs the flush. (On Windows the
  /// file stays open, unshared, until MoveIntoPlace renames it through its
  /// handle.)
  bool Finish(bool durable);
  /// Sets the permission bits (POSIX; ignored on Windows).
  bool SetMode(unsigned mode);
  /// Empties the file and starts writing at its beginning again.
  bool Truncate();

  struct Impl;
  explicit NewFile(std::unique_ptr<Impl> impl);

 private:
  friend class ContainedFolder;
  std::unique_ptr<Impl> impl_;
};

/// A regular file opened by ContainedFolder::OpenToAppend; closed when it
/// goes out of scope.
class AppendingFile {
 public:
  AppendingFile(AppendingFile&&) noexcept;
  AppendingFile& operator=(AppendingFile&&) noexcept;
  ~AppendingFile();

  /// Appends `bytes` at the file's end in one write, whatever others
  /// appended meanwhile.
  bool Append(std::string_view bytes);

  struct Impl;
  explicit AppendingFile(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

class ContainedFolder {
 public:
  /// Opens `root` (following links) and then each of `segments` below it,
  /// each of which must be a folder. A link on the way is followed as the
  /// kernel's own rule for links would (POSIX: the running user, the
  /// folder's owner or root made it; run as root, only root's link where
  /// root alone may write), or on Windows as JudgeWindowsLink decides:
  /// players move game data to another drive. Below its target every
  /// segment is checked the same way. With
  /// `create`, missing folders are made; `created` then tells how many of
  /// the last segments this call made. Nothing when that fails;
  /// `crossed_link` then says whether a refused link was the reason, and
  /// `link_owner` who made it (and why that is not enough), when known.
  static std::optional<ContainedFolder> Open(std::string_view root,
                                             const std::vector<std::string>& segments, bool create,
                                             bool* crossed_link = nullptr,
                                             std::size_t* created = nullptr,
                                             std::string* link_owner = nullptr);

  ContainedFolder(ContainedFolder&&) noexcept;
  ContainedFolder& operator=(ContainedFolder&&) noexcept;
  ~ContainedFolder();

  /// The folder's path as text (root + separator + segments).
  const std::string& Path() const;
  std::string PathOf(std::string_view name) const;

  EntryKind KindOf(std::string_view name) const;
  /// Nothing when the entry `name` (not followed; "." or empty: the folder
  /// itself) is missing or belongs to the running user, an administrator,
  /// SYSTEM, TrustedInstaller or root; else its owner as text ("nobody (uid
  /// 65534)", "DOMAIN\name (SID)"). What another user's file says is not
  /// taken in a folder where the program keeps its own files.
  std::optional<std::string> ForeignOwner(std::string_view name) const;
  /// Whether the folder's file system keeps no owners (FAT, exFAT; vfat,
  /// exfat and ntfs mounts on Linux): owners then decide nothing here.
  bool KeepsNoOwners() const;
  /// Where the link `name` leads, as a path, when Open would follow it (see
  /// there); nothing otherwise, `link_owner` then says who made it when
  /// that is why.
  std::optional<std::string> TrustedLinkTarget(std::string_view name,
                                               std::string* link_owner = nullptr) const;
  /// A read-only file (the Windows attribute, or no write bit at all).
  bool IsReadOnly(std::string_view name) const;
  /// The regular file `name` opened for reading without following a link;
  /// null when it is no regular file or cannot be opened.
  std::FILE* OpenForReading(std::string_view name) const;
  /// The whole of the regular file `name`, read as OpenForReading opens it;
  /// nothing when it holds more than `limit` bytes (`too_large` then says
  /// so), since someone else may have put an endless file there.
  std::optional<std::string> ReadWhole(std::string_view name, std::size_t limit,
                                       bool* too_large = nullptr) const;
  /// True when `name` is a regular file that is no link and has no other
  /// name (link count 1): only such a file may be written where it lies.
  bool IsSoleFile(std::string_view name) const;

  /// `name` opened to append to, created when it is missing; shared so that
  /// others may read, write and delete it meanwhile. Nothing when `name` is
  /// a link, a hard link or anything but a regular file.
  std::optional<AppendingFile> OpenToAppend(std::string_view name) const;
  /// Cuts the existing file `name` to nothing and writes `bytes` where it
  /// lies, for when it cannot be replaced by a rename; refused as AppendTo
  /// refuses.
  bool OverwriteInPlace(std::string_view name, std::string_view bytes) const;

  /// A new, empty file beside `name` under an unpredictable temporary name,
  /// created exclusively (never through an existing name or link).
  std::optional<NewFile> CreateTemporary(std::string_view name) const;
  /// Moves `file` (finished) over `name` in one step; a link at `name` is
  /// replaced itself, never what it points to.
  bool MoveIntoPlace(NewFile& file, std::string_view name) const;
  /// Removes the entry `name` itself (a link, not its target).
  bool Remove(std::string_view name) const;
  /// Removes the folder `name` when it is empty (never through a link).
  bool RemoveEmptyFolder(std::string_view name) const;

  struct Space {
    std::uint64_t Free = 0;   // bytes this process may still write
    std::uint64_t Total = 0;  // the file system's size
  };
  /// The free and total bytes of the file system that holds the folder.
  std::optional<Space> FreeSpace() const;
  /// Flushes the folder's entries to disk, so that a rename made in it
  /// survives a power cut (fsync, FlushFileBuffers); false when the system
  /// would not.
  bool Sync() const;
  /// Renames the entry `from` to `to`, only when nothing is called `to` yet.
  bool Rename(std::string_view from, std::string_view to) const;
  /// Removes files of this program's temporary naming left by a run that
  /// was killed; returns how many went.
  int RemoveLeftoverTemporaries() const;

  struct Impl;

 private:
  explicit ContainedFolder(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

/// Removes this program's leftover temporary and set-aside files in
/// `folder` (opened as ContainedFolder::Open does); how many went.
int RemoveLeftoverTemporariesIn(std::string_view folder);

/// Bytes from the system's random source (getrandom, BCryptGenRandom);
/// false when it gave none.
bool FillRandomBytes(void* data, std::size_t size);
/// `bytes` random bytes as lower-case hexadecimal text; empty when the
/// random source failed, so that no caller ever uses a predictable name.
std::string RandomHex(std::size_t bytes);

}  // namespace kanade
