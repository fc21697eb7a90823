// Puts a planned release into the served folder in the order that keeps
// every client whole: bodies first, flushed to disk, then each repository
// renamed into place, then the bodies named no more go.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "release_plan.h"

namespace kanade {

/// The served folder held by one publish at a time; released when it goes
/// out of scope (or the process ends).
class PublishLock {
 public:
  /// Creates `www`, repos/ and files/ as needed (`www`'s parent must exist)
  /// and takes the lock; nothing when another publish holds it, or a folder
  /// is a link or cannot be made. Without `create` (a dry run) nothing is
  /// made: the same checks, and the lock only when its file exists.
  static std::unique_ptr<PublishLock> Take(const std::string& www, bool create,
                                           PublishError* error);
  ~PublishLock();
  PublishLock(const PublishLock&) = delete;
  PublishLock& operator=(const PublishLock&) = delete;

 private:
  explicit PublishLock(int handle) : handle_(handle) {}
  int handle_;
};

struct BodyWork {
  std::set<std::string> Good;      // relative paths of the bodies known good (or to be written)
  std::vector<std::string> Notes;  // a line for each body that held other bytes
  std::size_t Written = 0;         // bodies written
};

/// Writes each body of `plan` that is missing or wrong below files/ (the
/// .gz copy first, where it saves at least 10 %), flushed, and checks the
/// others; without `write` (a dry run) only checks. False when a body's
/// place holds something else or writing fails, or on an interruption.
bool WriteBodies(const ReleasePlan& plan, const std::string& www, bool write, BodyWork* work,
                 PublishError* error);

/// Whether every repository's .gz copy below `www` is a regular file or
/// missing, so that WriteRepositories may replace it; the first that is not
/// in `error`.
bool RepositoryCopiesCanBeWritten(const ReleasePlan& plan, const std::string& www,
                                  PublishError* error);

/// The repositories of `plan` that keep their file but whose .gz copy below
/// `www` is missing or stale, each with why: the copies that
/// WriteRepositories writes again.
std::map<std::string, std::string> StaleRepositoryCopies(const ReleasePlan& plan,
                                                         const std::string& www);

/// Writes each changed repository and its .gz copy to temporary files, then
/// renames them into repos/ one by one, the copy before the plain file. The
/// .gz copy of an unchanged repository is written too when it is missing or
/// stale (`notes` gets a line for it). A copy that is a link or a folder is
/// refused before anything is written.
bool WriteRepositories(const ReleasePlan& plan, const std::string& www,
                       std::vector<std::string>* notes, PublishError* error);

/// Deletes the bodies of plan.Remove and records plan.Retire for the next
/// release. Only regular files named by a digest below files/ are deleted.
bool RetireBodies(const ReleasePlan& plan, const std::string& www, PublishError* error);

/// Removes the temporary files that a killed publish left in the served
/// folder; call with the lock held.
void RemoveLeftovers(const std::string& www);

/// Records `base_url` as the URL that serves `www`.
bool WriteBaseUrlRecord(const std::string& www, const std::string& base_url, PublishError* error);

}  // namespace kanade
