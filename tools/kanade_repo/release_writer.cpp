#include "release_writer.h"

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include "util/utf.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include "gzip_file.h"
#include "interruption.h"
#include "repos/sha256.h"
#include "served_tree.h"
#include "util/contained_folder.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {

namespace {

namespace fs = std::filesystem;

constexpr const char* kLockName = ".kanade-publish.lock";

bool Fail(PublishError* error, std::string text, bool mismatch = false) {
  if (error != nullptr) *error = {std::move(text), mismatch};
  return false;
}

fs::file_type KindOf(const fs::path& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type();
}

// A folder below the served folder, made when missing (with `create`);
// never a link.
bool EnsureFolder(const fs::path& folder, bool create, PublishError* error) {
  const fs::file_type kind = KindOf(folder);
  if (kind == fs::file_type::directory || (kind == fs::file_type::not_found && !create)) {
    return true;
  }
  std::error_code ec;
  if (kind == fs::file_type::not_found && fs::create_directory(folder, ec) && !ec) return true;
  return Fail(error, Utf8Path(folder) + (kind == fs::file_type::not_found
                                             ? ": cannot make the folder"
                                             : ": is no folder (a link or a file); remove it"));
}

// Makes the renames in `folder` last through a power cut before the next
// step depends on them; a folder that cannot be flushed stops the release.
bool SyncFolder(const fs::path& folder, PublishError* error) {
#ifndef _WIN32
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool synced = fd >= 0 && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  if (!synced) return Fail(error, Utf8Path(folder) + ": cannot flush the folder to disk");
#else
  (void)folder;
  (void)error;
#endif
  return true;
}

// A new file beside `target`, written under a temporary name inside its
// folder (never through a link) and moved over `target` by Commit; removed
// when it goes uncommitted.
class PendingFile {
 public:
  explicit PendingFile(const fs::path& target)
      : target_(Utf8Path(target)),
        name_(Utf8Path(target.filename())),
        folder_(ContainedFolder::Open(Utf8Path(target.parent_path()), {}, false)) {
    if (folder_) file_ = folder_->CreateTemporary(name_);
  }

  /// Null when the file could not be made.
  NewFile* get() { return file_ ? &*file_ : nullptr; }
  const std::string& target() const { return target_; }

  /// Flushes the bytes to disk and closes the file.
  bool Finish() { return file_ && file_->Finish(true); }
  /// Renames the finished file over the target.
  bool Commit() { return file_ && folder_->MoveIntoPlace(*file_, name_); }

 private:
  std::string target_;
  std::string name_;
  std::optional<ContainedFolder> folder_;
  std::optional<NewFile> file_;
};

std::string ChangedMeanwhile(const SourceFile& source) {
  return source.File + ": changed while it was published; publish again";
}

// The body of `source` at `target`: its .gz copy first when that saves at
// least 10 %, so that a body in place always has its copy decided.
bool WriteBody(const SourceFile& source, const std::string& target, PublishError* error) {
  UniqueFile in(OpenFile(source.File, "rb"));
  if (!in) return Fail(error, source.File + ": cannot read the file");
  const std::string gz_path = target + ".gz";
  {
    PendingFile gz(FsPath(gz_path));
    if (gz.get() == nullptr) return Fail(error, gz_path + ": cannot write the file");
    const std::uint64_t limit = source.Size / 10 * 9 + source.Size % 10 * 9 / 10;
    std::string digest;
    std::uint64_t size = 0;
    bool failed = false;
    const bool saves = GzipStream(in.get(), *gz.get(), limit, &digest, &size, &failed);
    if (Interrupted()) return Fail(error, "interrupted");
    if (failed) return Fail(error, gz_path + ": cannot compress " + source.File);
    if (saves) {
      if (digest != source.Digest || size != source.Size)
        return Fail(error, ChangedMeanwhile(source));
      if (!gz.Finish() || !gz.Commit()) return Fail(error, gz_path + ": cannot write the file");
    } else if (KindOf(FsPath(gz_path)) == fs::file_type::regular && !RemoveFile(gz_path)) {
      return Fail(error, gz_path + ": cannot remove the stale copy");
    }
  }
  std::rewind(in.get());
  PendingFile body{FsPath(target)};
  std::string digest;
  std::uint64_t size = 0;
  const auto write = [&body](const char* data, std::size_t n) {
    return !Interrupted() && body.get()->Write(data, n);
  };
  if (body.get() == nullptr || !CopyHashing(in.get(), write, &digest, &size)) {
    return Fail(error,
                Interrupted() ? "interrupted" : target + ": cannot copy " + source.File + " there");
  }
  if (digest != source.Digest || size != source.Size) return Fail(error, ChangedMeanwhile(source));
  if (!body.Finish() || !body.Commit()) return Fail(error, target + ": cannot write the file");
  return true;
}

// Web servers name a file's version by its modification time in seconds and
// its size (nginx's ETag and Last-Modified). A repository renewed within the
// second of the file it replaces, at the same size, would look unchanged to
// clients that ask whether it changed, so the renames wait for that second
// to pass; the new files then carry a later time than the ones they replace.
void WaitForNewSecond(const std::vector<fs::path>& replaced) {
  using std::chrono::floor;
  using std::chrono::seconds;
  for (;;) {
    // The kernel stamps files from a coarser clock that may lag a few
    // milliseconds behind this one: wait until both have passed the second.
    // A file may be stamped in a second that the lagging time has not
    // reached yet; one stamped far ahead (a clock set wrong) is not waited
    // for.
    const auto now = fs::file_time_type::clock::now() - std::chrono::milliseconds(50);
    bool waiting = false;
    for (const fs::path& path : replaced) {
      std::error_code ec;
      const auto written = fs::last_write_time(path, ec);
      if (!ec && floor<seconds>(written) >= floor<seconds>(now) && written < now + seconds(2)) {
        waiting = true;
      }
    }
    if (!waiting) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Temporary files of a publish that was killed, in `folder` and, with
// `descend`, in the folders right below it.
void RemoveLeftoversIn(const fs::path& folder, bool descend) {
  RemoveLeftoverTemporariesIn(Utf8Path(folder));
  if (!descend) return;
  std::error_code ec;
  for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    std::error_code kind_error;
    if (it->symlink_status(kind_error).type() == fs::file_type::directory) {
      RemoveLeftoversIn(it->path(), false);
    }
  }
}

}  // namespace

std::unique_ptr<PublishLock> PublishLock::Take(const std::string& www, bool create,
                                               PublishError* error) {
  const fs::path root = FsPath(www);
  if (KindOf(root) == fs::file_type::not_found) {
    std::error_code ec;
    fs::path parent = root.parent_path();
    const bool made = create ? fs::create_directory(root, ec) && !ec
                             : IsDirectory(Utf8Path(parent.empty() ? fs::path(".") : parent));
    if (!made) {
      Fail(error, www + ": cannot make the folder");
      return nullptr;
    }
  } else if (!IsDirectory(www)) {
    Fail(error, www + ": is no folder");
    return nullptr;
  }
  if (!EnsureFolder(root / "repos", create, error) ||
      !EnsureFolder(root / "files", create, error)) {
    return nullptr;
  }
  const std::string lock = Utf8Path(root / kLockName);
  // A dry run needs no lock of its own, only to know that nobody holds it.
  if (!create && KindOf(FsPath(lock)) == fs::file_type::not_found) {
    return std::unique_ptr<PublishLock>(new PublishLock(-1));
  }
#ifdef _WIN32
  // Open without sharing: a second publish cannot open it until this one ends.
  int fd = -1;
  if (_wsopen_s(&fd, Widen(lock).c_str(), _O_RDWR | (create ? _O_CREAT : 0) | _O_BINARY, _SH_DENYRW,
                _S_IREAD | _S_IWRITE) != 0) {
    fd = -1;
  }
  const bool held = fd >= 0;
#else
  const int fd =
      ::open(lock.c_str(), O_RDWR | (create ? O_CREAT : 0) | O_NOFOLLOW | O_CLOEXEC, 0644);
  const bool held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (fd >= 0 && !held) ::close(fd);
#endif
  if (!held) {
    Fail(error, www + ": another kanade-repo publish is working on it (" + lock + ")");
    return nullptr;
  }
  return std::unique_ptr<PublishLock>(new PublishLock(fd));
}

PublishLock::~PublishLock() {
  if (handle_ < 0) return;
#ifdef _WIN32
  _close(handle_);
#else
  ::close(handle_);
#endif
}

bool WriteBodies(const ReleasePlan& plan, const std::string& www, bool write, BodyWork* work,
                 PublishError* error) {
  const fs::path root = FsPath(www);
  std::set<fs::path> written_in;
  for (const auto& [digest, source] : plan.Bodies) {
    if (Interrupted()) return Fail(error, "interrupted");
    const std::string relative = BodyPathOf(digest);
    const fs::path target = root / FsPath(relative);
    if (!EnsureFolder(target.parent_path(), write, error)) return false;
    const std::string path = Utf8Path(target);
    const fs::file_type kind = KindOf(target);
    if (kind == fs::file_type::regular) {
      const std::string problem = BodyProblem(path, digest, source.Size);
      if (problem.empty()) {
        work->Good.insert(relative);
        continue;
      }
      work->Notes.push_back(path + ": " + problem +
                            (write ? "; written again" : "; would be written again"));
    } else if (kind != fs::file_type::not_found) {
      return Fail(error, path + ": is no regular file (a link or a folder); remove it", true);
    }
    if (write) {
      if (!WriteBody(source, path, error)) return false;
      ++work->Written;
      written_in.insert(target.parent_path());
    }
    work->Good.insert(relative);
  }
  for (const fs::path& folder : written_in) {
    if (!SyncFolder(folder, error)) return false;
  }
  return !write || SyncFolder(root / "files", error);
}

bool RepositoryCopiesCanBeWritten(const ReleasePlan& plan, const std::string& www,
                                  PublishError* error) {
  for (const auto& [name, text] : plan.ServedTexts()) {
    const std::string gz_path = RepositoryCopyPathOf(www, name);
    const fs::file_type kind = KindOf(FsPath(gz_path));
    if (kind != fs::file_type::regular && kind != fs::file_type::not_found) {
      return Fail(error, gz_path + ": is no regular file (a link or a folder); remove it", true);
    }
  }
  return true;
}

std::map<std::string, std::string> StaleRepositoryCopies(const ReleasePlan& plan,
                                                         const std::string& www) {
  std::set<std::string> changed;
  for (const RepositoryRelease& release : plan.Repositories) {
    if (release.Changed) changed.insert(release.Name);
  }
  std::map<std::string, std::string> stale;
  for (const auto& [name, text] : plan.ServedTexts()) {
    if (changed.count(name) > 0) continue;
    std::string problem = RepositoryCopyProblem(www, name, text);
    if (!problem.empty()) stale.emplace(name, std::move(problem));
  }
  return stale;
}

bool WriteRepositories(const ReleasePlan& plan, const std::string& www,
                       std::vector<std::string>* notes, PublishError* error) {
  if (!RepositoryCopiesCanBeWritten(plan, www, error)) return false;
  const fs::path repos = FsPath(www) / "repos";
  std::set<std::string> changed;
  for (const RepositoryRelease& release : plan.Repositories) {
    if (release.Changed) changed.insert(release.Name);
  }
  struct Work {
    std::string Name;
    const std::string* Text;
    bool Renewed;  // the plain file too, not only the .gz copy
  };
  std::vector<Work> work;
  std::vector<fs::path> replaced;
  const std::map<std::string, std::string> texts = plan.ServedTexts();
  // An unchanged repository keeps its file; its copy is mended when it is
  // missing or stale (a plain file uploaded alone, an older publish).
  const std::map<std::string, std::string> stale = StaleRepositoryCopies(plan, www);
  for (const auto& [name, text] : texts) {
    const std::string gz_path = RepositoryCopyPathOf(www, name);
    const auto mended = stale.find(name);
    const bool renewed = changed.count(name) > 0;
    if (!renewed && mended == stale.end()) continue;
    if (!renewed) notes->push_back(gz_path + ": " + mended->second + "; written again");
    work.push_back({name, &text, renewed});
    replaced.push_back(FsPath(gz_path));
    if (renewed) replaced.push_back(repos / FsPath(name + ".repo"));
  }
  if (work.empty()) return true;
  WaitForNewSecond(replaced);

  // Per repository: its .gz copy, then the plain file when it changed.
  std::vector<std::pair<std::unique_ptr<PendingFile>, std::unique_ptr<PendingFile>>> pending;
  for (const Work& item : work) {
    auto gz = std::make_unique<PendingFile>(FsPath(RepositoryCopyPathOf(www, item.Name)));
    if (gz->get() == nullptr || !GzipBytes(*item.Text, *gz->get()) || !gz->Finish()) {
      return Fail(error, gz->target() + ": cannot write the file");
    }
    std::unique_ptr<PendingFile> plain;
    if (item.Renewed) {
      plain = std::make_unique<PendingFile>(repos / FsPath(item.Name + ".repo"));
      if (plain->get() == nullptr || !plain->get()->Write(item.Text->data(), item.Text->size()) ||
          !plain->Finish()) {
        return Fail(error, plain->target() + ": cannot write the repository");
      }
    }
    pending.emplace_back(std::move(gz), std::move(plain));
  }
  // Each rename puts one whole file in place. The .gz copy goes first: the
  // server sends it instead of the plain file to every client that accepts
  // gzip (the patcher does), and the plain file is what this tool and the
  // upload treat as the release, so a plain file in place must never stand
  // beside an older copy that hides it from most players. A stop between
  // the two renames leaves the other mismatch, a new copy beside the old
  // plain file: players may then hold the copy's SERIAL, so the next publish
  // reads the copies' SERIALs, and the record written before these renames,
  // and rises above them all (served_serials.h).
  for (const auto& [gz, plain] : pending) {
    if (!gz->Commit()) return Fail(error, gz->target() + ": cannot write the file");
    if (plain && !plain->Commit()) {
      return Fail(error, plain->target() + ": cannot write the repository");
    }
  }
  return SyncFolder(repos, error);
}

bool RetireBodies(const ReleasePlan& plan, const std::string& www, PublishError* error) {
  const fs::path root = FsPath(www);
  for (const std::string& digest : plan.Remove) {
    const fs::path body = root / FsPath(BodyPathOf(digest));
    for (const fs::path& path : {body, fs::path(body).concat(".gz")}) {
      std::error_code ec;
      if (KindOf(path) == fs::file_type::regular && (!fs::remove(path, ec) || ec)) {
        return Fail(error, Utf8Path(path) + ": cannot remove the file");
      }
    }
    std::error_code ec;
    // Only an empty folder goes.
    if (KindOf(body.parent_path()) == fs::file_type::directory) fs::remove(body.parent_path(), ec);
  }
  std::string text =
      "# Bodies that no repository named at the last release. kanade-repo publish\n"
      "# removes those that the next release does not name either.\n";
  for (const std::string& digest : plan.Retire) text += digest + "\n";
  if (!WriteFileAtomically(Utf8Path(root / kRetiredListName), text)) {
    return Fail(error, Utf8Path(root / kRetiredListName) + ": cannot write the file");
  }
  return true;
}

bool WriteBaseUrlRecord(const std::string& www, const std::string& base_url, PublishError* error) {
  const std::string path = Utf8Path(FsPath(www) / kBaseUrlRecordName);
  const std::string text =
      "# The URL that serves this folder, as kanade-repo publish last published it.\n" + base_url +
      "\n";
  if (ReadSmallFile(path) == text) return true;
  if (!WriteFileAtomically(path, text)) return Fail(error, path + ": cannot write the file");
  return true;
}

void RemoveLeftovers(const std::string& www) {
  const fs::path root = FsPath(www);
  RemoveLeftoversIn(root, false);
  RemoveLeftoversIn(root / "repos", false);
  if (KindOf(root / "files") == fs::file_type::directory) RemoveLeftoversIn(root / "files", true);
}

}  // namespace kanade
