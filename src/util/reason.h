// Why something did not work, as it travels from where it happened up to the
// log and the publisher's stderr: what was being done and, when the system or
// libcurl said no, its code and its own words. Written out as one line.
#pragma once

#include <ostream>
#include <string>
#include <utility>

namespace kanade {

struct Reason {
  enum class Source { kNone, kErrno, kWindows, kCurl };

  std::string What;  // what was being done, or the whole reason in our words
  Source From = Source::kNone;
  long Code = 0;      // errno, GetLastError() or a CURLcode, by From
  std::string Text;   // the system's or libcurl's words for Code
  std::string After;  // what followed, "; " + ... (a retry given up, a copy used)

  Reason() = default;
  // Our own words alone.
  Reason(std::string what) : What(std::move(what)) {}  // NOLINT(google-explicit-constructor)
  Reason(const char* what) : What(what) {}             // NOLINT(google-explicit-constructor)

  bool Empty() const { return What.empty() && Text.empty() && After.empty(); }
  /// Appends "; " + `more`, as what followed.
  Reason& Then(const std::string& more);
  /// The same reason with `context` put before its first words.
  Reason Within(const std::string& context) const;
  /// "what: words (errno N)", "what: words (error N)", "what: words
  /// (curl N)" or "what", then what followed.
  std::string Line() const;
  bool operator==(const Reason&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Reason& reason) {
  return out << reason.Line();
}

/// `what` with the operating system's last error: errno, or on Windows
/// GetLastError when it is set.
Reason SystemReason(std::string what);

}  // namespace kanade
