#include "repos/run_report.h"

#include "ui/console.h"

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

}  // namespace

int ReportFetchStarted(std::string_view url) {
  return AddConsoleLine(std::string(kFetchHead) + std::string(url), kWhite);
}

void ReportFetchEnded(int line, std::string_view url, const FetchOutcome& outcome) {
  const std::string text = std::string(kFetchHead) + std::string(url);
  switch (outcome.Result) {
    case FetchResult::kFetched:
      SetConsoleLineText(text + " 成功", line);
      if (!outcome.Note.empty()) LogReason(outcome.Note);
      return;
    case FetchResult::kFailed:
      SetConsoleLineText(text + " 失敗", line);
      break;
    case FetchResult::kRefused:
      SetConsoleLineText(text + " 不一致", line);
      break;
  }
  SetConsoleLineColour(kRed, line);
  LogReason(outcome.KeptCopyUsed() ? outcome.Reason + "; the verified local copy is used"
                                   : outcome.Reason);
  if (!outcome.Note.empty()) LogReason(outcome.Note);
}

int ReportRepositoryStarted(std::string_view repository_name, bool install) {
  const std::string name(repository_name);
  return AddConsoleLine(install ? "レポジトリ適用: " + name + " を適用中..."
                                : "レポジトリ解除: " + name + " をアンインストール中...",
                        kWhite);
}

void ReportRepositoryEnded(int line, std::string_view repository_name, bool install,
                           const RepositoryOutcome& outcome) {
  const std::string head =
      (install ? "レポジトリ適用: " : "レポジトリ解除: ") + std::string(repository_name);
  if (!outcome.Changed()) {
    SetConsoleLineText(head + " は更新なし", line);
  } else {
    SetConsoleLineText(head + (install ? " を適用済み" : " をアンインストール済み"), line);
  }
  for (const std::string& note : outcome.Notes) LogReason(note);
}

ModuleReport::ModuleReport(bool install, std::string_view full_path)
    : text_(std::string(ModuleHead(install)) + std::string(full_path)) {
  line_ = AddConsoleLine(text_, kWhite);
}

void ModuleReport::Downloading(std::uint64_t bytes) const {
  if (shown_bytes_ == bytes) return;
  shown_bytes_ = bytes;
  // "- 更新中: " replaces the head "- 更新: " while bytes arrive.
  SetConsoleLineText(
      "- 更新中: " + text_.substr(ModuleHead(true).size()) + " " + std::to_string(bytes), line_);
}

void ModuleReport::Retried(const std::vector<std::string>& reasons) const {
  for (std::size_t i = 0; i < reasons.size(); ++i) {
    LogReason("retry " + std::to_string(i + 1) + " of " + text_.substr(ModuleHead(true).size()) +
              ": " + reasons[i]);
  }
}

void ModuleReport::Verified(std::uint64_t size) const {
  SetConsoleLineText(text_ + " " + std::to_string(size), line_);
}

void ModuleReport::End(const ModuleOutcome& outcome) const {
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
  LogReason(outcome.Reason);
}

void ReportRefusedModule(bool install, std::string_view full_path, std::string_view reason) {
  AddConsoleLine(std::string(ModuleHead(install)) + std::string(full_path) + " 拒否", kRed);
  LogReason(reason);
}

int ReportFifoCleanupStarted() {
  return AddConsoleLine("FIFOバッファの整理中...");
}

void ReportFifoCleanupEnded(int line, bool success, std::string_view reason) {
  if (success) {
    SetConsoleLineText("FIFOバッファの整理中... 完了", line);
    return;
  }
  SetConsoleLineText("FIFOバッファの整理中... 失敗", line);
  SetConsoleLineColour(kRed, line);
  LogReason(reason);
}

int ReportOtherCopyWaitStarted() {
  return AddConsoleLine(std::string(kOtherCopyWait));
}

void ReportOtherCopyWaitEnded(int line, bool ended) {
  SetConsoleLineText(std::string(kOtherCopyWait) + (ended ? " 完了" : " タイムアウト"), line);
}

void ReportRunEnd(RunEnd end, std::string_view reason) {
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
