// The one place that turns the run's events and outcomes into console
// lines, their colours and the log's reason lines. The console texts are
// the program's own, byte for byte; a reason follows every red line in the
// log, marked "! " so that it is never taken for a console line.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/system_proxy.h"
#include "repos/engine_sink.h"
#include "repos/outcomes.h"
#include "upgrade/self_upgrade.h"

namespace kanade {

enum class RunEnd {
  kReady,       // green: the game can start
  kNotApplied,  // red: the translation could not be applied
  kRemoved,     // the uninstall run removed the translation
  kNotRemoved,  // red: something could not be removed
};

class RunReporter : public EngineSink, public UpgradeSink {
 public:
  // The engine's events.
  void FetchStarted(std::string_view url) override;
  /// The fetch line's result word (" 成功", " 失敗", " 不一致") and colour.
  void FetchEnded(std::string_view url, const FetchOutcome& outcome) override;
  void RepositoryStarted(std::string_view name, PatchAction action) override;
  void RepositoryEnded(std::string_view name, PatchAction action,
                       const RepositoryOutcome& outcome) override;
  std::unique_ptr<ModuleEvents> ModuleStarted(PatchAction action,
                                              std::string_view full_path) override;
  void ModuleRefused(PatchAction action, std::string_view full_path,
                     std::string_view reason) override;
  void KeepAlive() override;
  /// "ダウンロード中: 0.6 / 1.2 MB (16 KB/s, 残り約 40 秒)" under the
  /// other lines, rewritten as the downloads go; in the log when it first
  /// shows and every ten seconds after.
  void DownloadsUnderWay(const DownloadTotals& totals) override;
  void DownloadsEnded() override;

  // The self-upgrade's.
  void UpgradeStarting(std::string_view upgrade) override;
  void UpgradeReplacing(std::string_view upgrade, std::string_view program) override;
  void UpgradeHandOver();
  /// A red line of its own that the program could not update itself (a
  /// virus scanner suspected when the new build vanished once in place),
  /// and "self-upgrade: " with the reason in the log.
  void UpgradeNotDone(const UpgradeOutcome& outcome);

  // The run's own.
  /// "-waitfor: アップグレード待機中: 10.0 秒": the countdown's line
  /// (WaitLineIndex), then its rewrites.
  void WaitStarted(double remaining_ms);
  void WaitCountdown(double remaining_ms);
  void OtherCopyWaitStarted();
  /// " 完了" when the other run ended, " タイムアウト" when this one goes on
  /// without waiting longer; white either way.
  void OtherCopyWaitEnded(bool ended);
  /// "ゲームが起動中です: NAMES — 終了を待っています...", white, for the
  /// game's programs still running; " 完了" once they have ended.
  void GameWaitStarted(const std::vector<std::string>& names);
  void GameWaitEnded();
  /// The proxy of the run's requests (or none) and where it came from, in
  /// the log.
  void ProxyInUse(const ProxyChoice& choice);
  /// The program folder belongs to another user: a red line that says to
  /// start the program as its owner, and why in the log. Nothing is done.
  void ForeignProgramFolder(std::string_view folder, std::string_view owner, bool elevated);
  /// In the log, once: `folder`'s file system keeps no owners.
  void OwnersNotKept(std::string_view folder);
  void FifoCleanupStarted();
  /// " 完了", or " 失敗" in red with its reason.
  void FifoCleanupEnded(std::string_view reason);
  /// An empty line, then the run's closing line in its colour; a red one is
  /// followed by `reason` in the log.
  void RunEnded(RunEnd end, std::string_view reason);

 private:
  int fetch_line_ = 0;
  int repository_line_ = 0;
  int other_copy_line_ = 0;
  int game_line_ = 0;
  std::string game_text_;
  int fifo_line_ = 0;
  std::optional<double> downloads_logged_ms_;
};

/// "-waitfor: アップグレード待機中: 10.0 秒" for `remaining_ms`.
std::string WaitLineText(double remaining_ms);

/// "ダウンロード中: 0.6 / 1.2 MB (16 KB/s, 残り約 40 秒)": sizes in KB below
/// a megabyte, the speed once known, the time left once settled.
std::string DownloadLineText(const DownloadTotals& totals);

}  // namespace kanade
