// The one place that turns the work's events and outcomes into console
// lines, their colours and the log's reason lines. The console texts are
// the program's own, byte for byte; a reason follows every red line in the
// log, marked "! " so that it is never taken for a console line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "repos/outcomes.h"

namespace kanade {

/// "レポジトリを取得中: " + url, white; returns its line.
int ReportFetchStarted(std::string_view url);
/// The fetch line's result word (" 成功", " 失敗", " 不一致") and colour.
void ReportFetchEnded(int line, std::string_view url, const FetchOutcome& outcome);

/// The summary line of an apply ("INST") or uninstall, white; its line.
int ReportRepositoryStarted(std::string_view repository_name, bool install);
void ReportRepositoryEnded(int line, std::string_view repository_name, bool install,
                           const RepositoryOutcome& outcome);

/// One module's console line, rewritten as its work goes on.
class ModuleReport {
 public:
  /// Adds "- 更新: " (install) or "- 削除: " + path, white.
  ModuleReport(bool install, std::string_view full_path);
  /// "- 更新中: " + path + " " + bytes so far.
  void Downloading(std::uint64_t bytes) const;
  /// Notes each earlier attempt that was given up, in the log.
  void Retried(const std::vector<std::string>& reasons) const;
  /// "- 更新: " + path + " " + size: the body holds, before it is put in place.
  void Verified(std::uint64_t size) const;
  /// The result word and colour, and the reason of a red line.
  void End(const ModuleOutcome& outcome) const;

 private:
  std::string text_;
  int line_ = 0;
  // The count last shown: a body that stalls writes no more log lines.
  mutable std::optional<std::uint64_t> shown_bytes_;
};

/// A module path refused before anything was done, as one red line.
void ReportRefusedModule(bool install, std::string_view full_path, std::string_view reason);

/// The FIFO clean-up line, white; its line.
int ReportFifoCleanupStarted();
/// " 完了", or " 失敗" in red with its reason.
void ReportFifoCleanupEnded(int line, bool success, std::string_view reason);

/// The line of a run that waits for another copy's run in its folder,
/// white; its line.
int ReportOtherCopyWaitStarted();
/// " 完了" when the other run ended, " タイムアウト" when this one goes on
/// without waiting longer; white either way.
void ReportOtherCopyWaitEnded(int line, bool ended);

enum class RunEnd {
  kReady,       // green: the game can start
  kNotApplied,  // red: the translation could not be applied
  kRemoved,     // the uninstall run removed the translation
  kNotRemoved,  // red: something could not be removed
};

/// An empty line, then the run's closing line in its colour; a red one is
/// followed by `reason` in the log.
void ReportRunEnd(RunEnd end, std::string_view reason);

}  // namespace kanade
