#include "app/run_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "state/patcher_state.h"
#include "ui/console.h"
#include "ui/responsiveness.h"
#include "util/clock.h"

namespace kanade {

namespace {

constexpr std::string_view kFetchHead = "レポジトリを取得中: ";

std::string_view ModuleHead(bool install) {
  return install ? "- 更新: " : "- 削除: ";
}

std::string_view FailureWord(ModuleFailure failure) {
  switch (failure) {
    case ModuleFailure::kWrite:
      return " 書込失敗";
    case ModuleFailure::kDownload:
      return " ダウンロード失敗";
    case ModuleFailure::kAborted:
      return " ダウンロード中止";
    case ModuleFailure::kDigest:
      return " ハッシュ不一致";
    case ModuleFailure::kRemove:
    case ModuleFailure::kNone:
      break;
  }
  return " 失敗";
}

constexpr std::string_view kOtherCopyWait = "他の Kanade Patcher の処理を待機中...";

// The progress line goes to the log when it first shows and this often.
constexpr double kDownloadsLogEveryMs = 10'000;

std::string Printed(const char* format, double value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string Speed(double bytes_per_second) {
  if (bytes_per_second < 1000) return Printed("%.0f B/s", bytes_per_second);
  if (bytes_per_second < 1e6) return Printed("%.0f KB/s", bytes_per_second / 1000);
  return Printed("%.1f MB/s", bytes_per_second / 1e6);
}

// "40 秒", "3 分", "2 時間": rounded as a person would say it.
std::string TimeLeft(double seconds) {
  if (seconds < 9.5) return Printed("%.0f 秒", std::max(1.0, std::ceil(seconds)));
  const double fives = std::round(seconds / 5) * 5;
  if (fives < 60) return Printed("%.0f 秒", fives);
  const double minutes = std::max(1.0, std::round(seconds / 60));
  if (minutes < 60) return Printed("%.0f 分", minutes);
  return Printed("%.0f 時間", std::round(seconds / 3600));
}

std::string_view HeadOf(PatchAction action) {
  return ModuleHead(action == PatchAction::kInstall);
}

// One module's console line, rewritten as its work goes on.
class ModuleLine : public ModuleEvents {
 public:
  ModuleLine(PatchAction action, std::string_view full_path)
      : text_(std::string(HeadOf(action)) + std::string(full_path)),
        line_(AddConsoleLine(text_, kWhite)) {}

  void Downloading(std::uint64_t bytes) override {
    if (shown_bytes_ == bytes) return;
    shown_bytes_ = bytes;
    // "- 更新中: " replaces the head "- 更新: " while bytes arrive.
    SetConsoleLineText("- 更新中: " + Path() + " " + std::to_string(bytes), line_);
  }

  void Retried(const std::vector<Reason>& reasons) override {
    for (std::size_t i = 0; i < reasons.size(); ++i) {
      LogReason("retry " + std::to_string(i + 1) + " of " + Path() + ": " + reasons[i].Line());
    }
  }

  void Verified(std::uint64_t size) override {
    SetConsoleLineText(text_ + " " + std::to_string(size), line_);
  }

  void Ended(const ModuleOutcome& outcome) override {
    switch (outcome.Result) {
      case ModuleResult::kCurrent:
        return;
      case ModuleResult::kWritten:
      case ModuleResult::kRemoved:
        SetConsoleLineText(text_ + " 成功", line_);
        SetConsoleLineColour(kGreen, line_);
        return;
      case ModuleResult::kRefused:
        SetConsoleLineText(text_ + " 拒否", line_);
        break;
      case ModuleResult::kFailed:
        SetConsoleLineText(text_ + std::string(FailureWord(outcome.Failure)), line_);
        break;
    }
    SetConsoleLineColour(kRed, line_);
    LogReason(outcome.Reason.Line());
  }

 private:
  // Both heads ("- 更新: ", "- 削除: ") are as long.
  std::string Path() const { return text_.substr(ModuleHead(true).size()); }

  const std::string text_;
  const int line_;
  // The count last shown: a body that stalls writes no more log lines.
  std::optional<std::uint64_t> shown_bytes_;
};

std::string RepositoryHead(std::string_view name, PatchAction action) {
  return (action == PatchAction::kInstall ? "レポジトリ適用: " : "レポジトリ解除: ") +
         std::string(name);
}

}  // namespace

std::string WaitLineText(double remaining_ms) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", remaining_ms / 1000.0);
  return std::string("-waitfor: アップグレード待機中: ") + seconds + " 秒";
}

void RunReporter::FetchStarted(std::string_view url) {
  fetch_line_ = AddConsoleLine(std::string(kFetchHead) + std::string(url), kWhite);
}

void RunReporter::FetchEnded(std::string_view url, const FetchOutcome& outcome) {
  // Ended before it started: no line of its own, only the reason.
  if (outcome.Silent) {
    LogReason(outcome.Reason.Line());
    return;
  }
  const std::string text = std::string(kFetchHead) + std::string(url);
  switch (outcome.Result) {
    case FetchResult::kFetched:
      SetConsoleLineText(text + " 成功", fetch_line_);
      if (!outcome.Note.empty()) LogReason(outcome.Note);
      return;
    case FetchResult::kFailed:
      SetConsoleLineText(text + " 失敗", fetch_line_);
      break;
    case FetchResult::kRefused:
      SetConsoleLineText(text + " 不一致", fetch_line_);
      break;
  }
  SetConsoleLineColour(kRed, fetch_line_);
  Reason reason = outcome.Reason;
  if (outcome.KeptCopyUsed()) reason.Then("the verified local copy is used");
  LogReason(reason.Line());
  if (!outcome.Note.empty()) LogReason(outcome.Note);
}

void RunReporter::RepositoryStarted(std::string_view name, PatchAction action) {
  repository_line_ = AddConsoleLine(
      RepositoryHead(name, action) +
          (action == PatchAction::kInstall ? " を適用中..." : " をアンインストール中..."),
      kWhite);
}

void RunReporter::RepositoryEnded(std::string_view name, PatchAction action,
                                  const RepositoryOutcome& outcome) {
  const std::string head = RepositoryHead(name, action);
  if (!outcome.Changed()) {
    SetConsoleLineText(head + " は更新なし", repository_line_);
  } else {
    SetConsoleLineText(
        head + (action == PatchAction::kInstall ? " を適用済み" : " をアンインストール済み"),
        repository_line_);
  }
  for (const Reason& note : outcome.Notes) LogReason(note.Line());
}

std::unique_ptr<ModuleEvents> RunReporter::ModuleStarted(PatchAction action,
                                                         std::string_view full_path) {
  return std::make_unique<ModuleLine>(action, full_path);
}

void RunReporter::ModuleRefused(PatchAction action, std::string_view full_path,
                                std::string_view reason) {
  AddConsoleLine(std::string(HeadOf(action)) + std::string(full_path) + " 拒否", kRed);
  LogReason(reason);
}

void RunReporter::KeepAlive() {
  KeepResponsive();
}

std::string DownloadLineText(const DownloadTotals& totals) {
  const bool megabytes = totals.Total >= 1'000'000;
  const auto size = [megabytes](std::uint64_t bytes) {
    return megabytes ? Printed("%.1f", static_cast<double>(bytes) / 1e6)
                     : std::to_string((bytes + 500) / 1000);
  };
  std::string text = "ダウンロード中: " + size(totals.Done) + " / " + size(totals.Total) +
                     (megabytes ? " MB" : " KB");
  if (!totals.BytesPerSecond) return text;
  text += " (" + Speed(*totals.BytesPerSecond);
  if (totals.SecondsLeft) text += ", 残り約 " + TimeLeft(*totals.SecondsLeft);
  return text + ")";
}

void RunReporter::DownloadsUnderWay(const DownloadTotals& totals) {
  const double now = GetClock().ElapsedMs();
  const bool logged = !downloads_logged_ms_ || now - *downloads_logged_ms_ >= kDownloadsLogEveryMs;
  if (logged) downloads_logged_ms_ = now;
  SetConsoleFootLine(DownloadLineText(totals), logged);
}

void RunReporter::DownloadsEnded() {
  SetConsoleFootLine("", false);
  downloads_logged_ms_.reset();
}

void RunReporter::UpgradeStarting(std::string_view upgrade) {
  AddConsoleLine("アップデート準備中: " + std::string(upgrade));
}

void RunReporter::UpgradeReplacing(std::string_view upgrade, std::string_view program) {
  AddConsoleLine("アップデート処理中: " + std::string(upgrade) + " -> " + std::string(program));
}

void RunReporter::UpgradeHandOver() {
  AddConsoleLine("-upgrade: Performing software upgrade...");
}

void RunReporter::UpgradeNotDone(const UpgradeOutcome& outcome) {
  AddConsoleLine(outcome.Undone()
                     ? "Kanade Patcher を更新できませんでした。"
                       "ウイルス対策ソフトが新しいバージョンを削除した可能性があります。"
                     : "Kanade Patcher を更新できませんでした。kanade.log を確認してください。",
                 kRed);
  LogReason(outcome.Reason.Within("self-upgrade: ").Line());
}

void RunReporter::WaitStarted(double remaining_ms) {
  WaitLineIndex = AddConsoleLine(WaitLineText(remaining_ms));
}

void RunReporter::WaitCountdown(double remaining_ms) {
  SetConsoleLineText(WaitLineText(remaining_ms), WaitLineIndex);
}

void RunReporter::OtherCopyWaitStarted() {
  other_copy_line_ = AddConsoleLine(std::string(kOtherCopyWait));
}

void RunReporter::OtherCopyWaitEnded(bool ended) {
  SetConsoleLineText(std::string(kOtherCopyWait) + (ended ? " 完了" : " タイムアウト"),
                     other_copy_line_);
}

void RunReporter::GameWaitStarted(const std::vector<std::string>& names) {
  std::string listed;
  for (const std::string& name : names) listed += (listed.empty() ? "" : ", ") + name;
  game_text_ = "ゲームが起動中です: " + listed + " — 終了を待っています...";
  game_line_ = AddConsoleLine(game_text_);
}

void RunReporter::GameWaitEnded() {
  SetConsoleLineText(game_text_ + " 完了", game_line_);
}

void RunReporter::ProxyInUse(const ProxyChoice& choice) {
  std::string text;
  if (choice.Bypassed) {
    text = "no proxy: the bypass list of the Windows settings names the repository host (" +
           choice.Bypass + ")";
  } else if (choice.Source == ProxySource::kEnvironment && !choice.NoProxy.empty()) {
    text = "direct: the environment variable " + choice.NoProxy +
           " names the repository host, so " + choice.Variable + " is not used";
  } else if (choice.Source == ProxySource::kEnvironment) {
    text =
        "proxy " + ShownProxy(choice.Proxy) + ", from the environment variable " + choice.Variable;
  } else if (choice.Source == ProxySource::kFixed) {
    text =
        (choice.Proxy.empty() ? "no proxy for this scheme" : "proxy " + ShownProxy(choice.Proxy)) +
        ", from the Windows settings" +
        (choice.Bypass.empty() ? "" : " (bypass list: " + choice.Bypass + ")");
  } else if (choice.Source == ProxySource::kScript) {
    text = (choice.Proxy.empty() ? "no proxy (DIRECT)" : "proxy " + ShownProxy(choice.Proxy)) +
           ", from " +
           (choice.Script.empty() ? "the PAC script that automatic detection found"
                                  : "the PAC script " + choice.Script);
  } else {
    text = "no proxy";
  }
  LogReason(choice.Note.empty() ? text : text + "; " + choice.Note);
}

void RunReporter::ForeignProgramFolder(std::string_view folder, std::string_view owner,
                                       bool elevated) {
  AddConsoleLine(std::string(elevated ? "管理者として" : "") +
                     "他のユーザーのフォルダーで起動されました。フォルダーの持ち主として起動して"
                     "ください。",
                 kRed);
#ifdef _WIN32
  const std::string as = "as administrator";
  const std::string how = "sign in as that user and start kanade.exe there";
#else
  const std::string as = "as root";
  const std::string how = "start kanade as that user, without sudo";
#endif
  LogReason("running " + (elevated ? as + " " : std::string()) + "in " + std::string(folder) +
            ", which belongs to " + std::string(owner) +
            ": its settings, repository copies and record of installed files are not used, and "
            "nothing was done; " +
            how);
}

void RunReporter::OwnersNotKept(std::string_view folder) {
  LogReason(std::string(folder) +
            ": its file system keeps no owners; files there are not judged by their owner, and "
            "the record of installed files by its seal alone");
}

void RunReporter::FifoCleanupStarted() {
  fifo_line_ = AddConsoleLine("FIFOバッファの整理中...");
}

void RunReporter::FifoCleanupEnded(std::string_view reason) {
  if (reason.empty()) {
    SetConsoleLineText("FIFOバッファの整理中... 完了", fifo_line_);
    return;
  }
  SetConsoleLineText("FIFOバッファの整理中... 失敗", fifo_line_);
  SetConsoleLineColour(kRed, fifo_line_);
  LogReason(reason);
}

void RunReporter::RunEnded(RunEnd end, std::string_view reason) {
  AddConsoleLine("");
  switch (end) {
    case RunEnd::kReady:
      AddConsoleLine("日本語化パッチの準備ができました。ゲームを開始してください！");
      SetConsoleLineColour(kGreen);
      return;
    case RunEnd::kRemoved:
      AddConsoleLine("日本語化パッチがアンインストールされました。");
      return;
    case RunEnd::kNotApplied:
      AddConsoleLine("日本語化パッチを適用できませんでした。kanade.log を確認してください。", kRed);
      break;
    case RunEnd::kNotRemoved:
      AddConsoleLine(
          "日本語化パッチをアンインストールできませんでした。kanade.log を確認してください。",
          kRed);
      break;
  }
  LogReason(reason);
}

}  // namespace kanade
