#include "app/run_report.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "ui/console.h"
#include "util/text.h"

namespace kanade {
namespace {

struct Wording {
  const char* what;
  std::function<void(RunReporter&)> events;
  std::vector<std::string> log;  // the log's lines, in order
  Rgb colour;                    // of the newest console line
};

FetchOutcome Fetch(FetchResult result, std::string reason = {}, bool kept = false,
                   std::string note = {}) {
  FetchOutcome outcome;
  outcome.Result = result;
  outcome.Reason = std::move(reason);
  outcome.VerifiedCopy = kept;
  outcome.Note = std::move(note);
  return outcome;
}

ModuleOutcome Module(ModuleResult result, ModuleFailure failure = ModuleFailure::kNone,
                     std::string reason = {}) {
  return {result, failure, std::move(reason)};
}

RepositoryOutcome Changed(std::vector<Reason> notes = {}) {
  RepositoryOutcome outcome;
  outcome.Modules.Written = 1;
  outcome.Notes = std::move(notes);
  return outcome;
}

// Every line the reporter words, from the events and outcomes that the
// engine and the run give it: the console's text, its colour, and the
// reason that follows a red line in the log.
TEST(RunReporterTest, WordsEveryEventAsTheProgramShowsIt) {
  const auto ended = [](ModuleOutcome outcome) {
    return [outcome](RunReporter& r) {
      r.ModuleStarted(PatchAction::kInstall, "/g/a.txt")->Ended(outcome);
    };
  };
  const std::vector<Wording> rows = {
      {"fetched, with a note",
       [](RunReporter& r) {
         r.FetchStarted("https://h/r");
         r.FetchEnded("https://h/r", Fetch(FetchResult::kFetched, {}, true, "validators unused"));
       },
       {"> レポジトリを取得中: https://h/r", "< レポジトリを取得中: https://h/r 成功",
        "! validators unused"},
       kWhite},
      {"failed, the kept copy used",
       [](RunReporter& r) {
         r.FetchStarted("https://h/r");
         r.FetchEnded("https://h/r", Fetch(FetchResult::kFailed, "HTTP 404", true));
       },
       {"> レポジトリを取得中: https://h/r", "< レポジトリを取得中: https://h/r 失敗",
        "! HTTP 404; the verified local copy is used"},
       kRed},
      {"refused",
       [](RunReporter& r) {
         r.FetchStarted("https://h/r");
         r.FetchEnded("https://h/r", Fetch(FetchResult::kRefused, "bad signature"));
       },
       {"> レポジトリを取得中: https://h/r", "< レポジトリを取得中: https://h/r 不一致",
        "! bad signature"},
       kRed},
      {"ended before it started",
       [](RunReporter& r) {
         FetchOutcome outcome = Fetch(FetchResult::kFailed, "cannot create /p/repos");
         outcome.Silent = true;
         r.FetchEnded("https://h/r", outcome);
       },
       {"! cannot create /p/repos"},
       kWhite},
      {"an apply with a note",
       [](RunReporter& r) {
         r.RepositoryStarted("kanade-test", PatchAction::kInstall);
         r.RepositoryEnded("kanade-test", PatchAction::kInstall, Changed({"record not kept"}));
       },
       {"> レポジトリ適用: kanade-test を適用中...", "< レポジトリ適用: kanade-test を適用済み",
        "! record not kept"},
       kWhite},
      {"an uninstall with nothing to do",
       [](RunReporter& r) {
         r.RepositoryStarted("kanade-lua", PatchAction::kUninstall);
         r.RepositoryEnded("kanade-lua", PatchAction::kUninstall, {});
       },
       {"> レポジトリ解除: kanade-lua をアンインストール中...",
        "< レポジトリ解除: kanade-lua は更新なし"},
       kWhite},
      {"a module downloaded, retried and written",
       [](RunReporter& r) {
         auto m = r.ModuleStarted(PatchAction::kInstall, "/g/a.txt");
         m->Downloading(5);
         m->Downloading(5);  // a stall repeats nothing
         m->Retried({"HTTP 503"});
         m->Verified(9);
         m->Ended(Module(ModuleResult::kWritten));
       },
       {"> - 更新: /g/a.txt", "< - 更新中: /g/a.txt 5", "! retry 1 of /g/a.txt: HTTP 503",
        "< - 更新: /g/a.txt 9", "< - 更新: /g/a.txt 成功"},
       kGreen},
      {"a module current", ended(Module(ModuleResult::kCurrent)), {"> - 更新: /g/a.txt"}, kWhite},
      {"a module removed",
       [](RunReporter& r) {
         r.ModuleStarted(PatchAction::kUninstall, "/g/a.txt")
             ->Ended(Module(ModuleResult::kRemoved));
       },
       {"> - 削除: /g/a.txt", "< - 削除: /g/a.txt 成功"},
       kGreen},
      {"write failed",
       ended(Module(ModuleResult::kFailed, ModuleFailure::kWrite, "disk full")),
       {"> - 更新: /g/a.txt", "< - 更新: /g/a.txt 書込失敗", "! disk full"},
       kRed},
      {"download failed",
       ended(Module(ModuleResult::kFailed, ModuleFailure::kDownload, "reset")),
       {"> - 更新: /g/a.txt", "< - 更新: /g/a.txt ダウンロード失敗", "! reset"},
       kRed},
      {"download aborted",
       ended(Module(ModuleResult::kFailed, ModuleFailure::kAborted, "stall")),
       {"> - 更新: /g/a.txt", "< - 更新: /g/a.txt ダウンロード中止", "! stall"},
       kRed},
      {"digest differs",
       ended(Module(ModuleResult::kFailed, ModuleFailure::kDigest, "digest x")),
       {"> - 更新: /g/a.txt", "< - 更新: /g/a.txt ハッシュ不一致", "! digest x"},
       kRed},
      {"removal failed",
       ended(Module(ModuleResult::kFailed, ModuleFailure::kRemove, "read-only")),
       {"> - 更新: /g/a.txt", "< - 更新: /g/a.txt 失敗", "! read-only"},
       kRed},
      {"refused once started",
       ended(Module(ModuleResult::kRefused, {}, "a link")),
       {"> - 更新: /g/a.txt", "< - 更新: /g/a.txt 拒否", "! a link"},
       kRed},
      {"refused before it started",
       [](RunReporter& r) { r.ModuleRefused(PatchAction::kUninstall, "/g/CON", "a device"); },
       {"> - 削除: /g/CON 拒否", "! a device"},
       kRed},
      {"the upgrade's lines",
       [](RunReporter& r) {
         r.UpgradeHandOver();
         r.UpgradeReplacing("/p/upgrade_kanade", "/p/kanade");
         r.UpgradeStarting("/p/upgrade_kanade");
       },
       {"> -upgrade: Performing software upgrade...",
        "> アップデート処理中: /p/upgrade_kanade -> /p/kanade",
        "> アップデート準備中: /p/upgrade_kanade"},
       kWhite},
      {"the upgrade blocked, then undone",
       [](RunReporter& r) {
         r.UpgradeNotDone(UpgradeBlocked("busy"));
         r.UpgradeNotDone({UpgradeResult::kUndone, "/p/kanade was gone"});
       },
       {"> Kanade Patcher を更新できませんでした。kanade.log を確認してください。",
        "! self-upgrade: busy",
        "> Kanade Patcher を更新できませんでした。"
        "ウイルス対策ソフトが新しいバージョンを削除した可能性があります。",
        "! self-upgrade: /p/kanade was gone"},
       kRed},
      {"the countdown",
       [](RunReporter& r) {
         r.WaitStarted(10000);
         r.WaitCountdown(9900);
       },
       {"> -waitfor: アップグレード待機中: 10.0 秒", "< -waitfor: アップグレード待機中: 9.9 秒"},
       kWhite},
      {"another copy's run, then a time-out",
       [](RunReporter& r) {
         r.OtherCopyWaitStarted();
         r.OtherCopyWaitEnded(true);
         r.OtherCopyWaitStarted();
         r.OtherCopyWaitEnded(false);
       },
       {"> 他の Kanade Patcher の処理を待機中...", "< 他の Kanade Patcher の処理を待機中... 完了",
        "> 他の Kanade Patcher の処理を待機中...",
        "< 他の Kanade Patcher の処理を待機中... タイムアウト"},
       kWhite},
      {"the game still running, then ended",
       [](RunReporter& r) {
         r.GameWaitStarted({"Shroud of the Avatar.exe", "reaper"});
         r.GameWaitEnded();
       },
       {"> ゲームが起動中です: Shroud of the Avatar.exe, reaper — 終了を待っています...",
        "< ゲームが起動中です: Shroud of the Avatar.exe, reaper — 終了を待っています... 完了"},
       kWhite},
      {"the proxy of each source",
       [](RunReporter& r) {
         ProxyChoice choice;
         r.ProxyInUse(choice);
         choice.Source = ProxySource::kEnvironment;
         choice.Variable = "https_proxy";
         choice.NoProxy = "no_proxy";
         r.ProxyInUse(choice);
         choice.NoProxy.clear();
         choice.Proxy = "http://player:secret@p:1";
         r.ProxyInUse(choice);
         choice.Proxy = "http://p:1";
         choice.Source = ProxySource::kFixed;
         choice.Bypass = "*.lan;<local>";
         r.ProxyInUse(choice);
         choice.Bypassed = true;
         r.ProxyInUse(choice);
         choice.Bypassed = false;
         choice.Source = ProxySource::kScript;
         choice.Script = "http://wpad/proxy.pac";
         r.ProxyInUse(choice);
         choice.Source = ProxySource::kNone;
         choice.Proxy.clear();
         choice.Note = "automatic detection: none found";
         r.ProxyInUse(choice);
       },
       {"! no proxy",
        "! direct: the environment variable no_proxy names the repository host, so "
        "https_proxy is not used",
        "! proxy http://***@p:1, from the environment variable https_proxy",
        "! proxy http://p:1, from the Windows settings (bypass list: *.lan;<local>)",
        "! no proxy: the bypass list of the Windows settings names the repository host "
        "(*.lan;<local>)",
        "! proxy http://p:1, from the PAC script http://wpad/proxy.pac",
        "! no proxy; automatic detection: none found"},
       kWhite},
      {"another user's program folder, run as root, on a drive without owners",
       [](RunReporter& r) {
         r.OwnersNotKept("/p");
         r.ForeignProgramFolder("/p", "player (uid 1000)", true);
       },
       {"! /p: its file system keeps no owners; files there are not judged by their owner, and "
        "the record of installed files by its seal alone",
        "> 管理者として他のユーザーのフォルダーで起動されました。フォルダーの持ち主として起動して"
        "ください。",
        "! running as root in /p, which belongs to player (uid 1000): its settings, repository "
        "copies and record of installed files are not used, and nothing was done; start kanade "
        "as that user, without sudo"},
       kRed},
      {"the downloads' progress, in the log when it shows and now and then",
       [](RunReporter& r) {
         r.DownloadsUnderWay({120'000, 327'680, {}, {}});
         r.DownloadsUnderWay({130'000, 327'680, 16'000, {}});  // the console's alone
         r.DownloadsEnded();
         r.DownloadsUnderWay({600'000, 1'228'800, 15'700, 40.2});
         r.DownloadsEnded();
         r.DownloadsUnderWay({3'400'000, 51'200'000, 850, 62'000});
         r.DownloadsEnded();
         r.DownloadsUnderWay({10'000'000, 250'000'000, 2.5e6, 136});
         r.DownloadsEnded();
         r.DownloadsUnderWay({0, 8'192, 4'000, 3.2});
       },
       {"~ ダウンロード中: 120 / 328 KB", "~ ダウンロード中: 0.6 / 1.2 MB (16 KB/s, 残り約 40 秒)",
        "~ ダウンロード中: 3.4 / 51.2 MB (850 B/s, 残り約 17 時間)",
        "~ ダウンロード中: 10.0 / 250.0 MB (2.5 MB/s, 残り約 2 分)",
        "~ ダウンロード中: 0 / 8 KB (4 KB/s, 残り約 4 秒)"},
       kWhite},
      {"the FIFO clean-up, done then failed",
       [](RunReporter& r) {
         r.FifoCleanupStarted();
         r.FifoCleanupEnded("");
         r.FifoCleanupStarted();
         r.FifoCleanupEnded("fifo1.txt is read-only");
       },
       {"> FIFOバッファの整理中...", "< FIFOバッファの整理中... 完了", "> FIFOバッファの整理中...",
        "< FIFOバッファの整理中... 失敗", "! fifo1.txt is read-only"},
       kRed},
      {"ready",
       [](RunReporter& r) { r.RunEnded(RunEnd::kReady, ""); },
       {"> ", "> 日本語化パッチの準備ができました。ゲームを開始してください！"},
       kGreen},
      {"removed",
       [](RunReporter& r) { r.RunEnded(RunEnd::kRemoved, ""); },
       {"> ", "> 日本語化パッチがアンインストールされました。"},
       kWhite},
      {"not applied",
       [](RunReporter& r) { r.RunEnded(RunEnd::kNotApplied, "no game folder"); },
       {"> ", "> 日本語化パッチを適用できませんでした。kanade.log を確認してください。",
        "! no game folder"},
       kRed},
      {"not removed",
       [](RunReporter& r) { r.RunEnded(RunEnd::kNotRemoved, "x: 1 failed"); },
       {"> ", "> 日本語化パッチをアンインストールできませんでした。kanade.log を確認してください。",
        "! x: 1 failed"},
       kRed},
  };
  for (const Wording& row : rows) {
    test::TempDir dir;
    test::ResetForTest(dir.path());
    RunReporter reporter;
    row.events(reporter);
    std::string expected;
    for (const std::string& line : row.log) expected += line + "\r\n";
    EXPECT_EQ(test::ReadFile(dir / "kanade.log"), expected) << row.what;
    EXPECT_EQ(Console().Colours[Console().Last], row.colour) << row.what;
  }
  // The progress line shows its latest words and goes with the downloads.
  RunReporter reporter;
  reporter.DownloadsUnderWay({1, 2'000'000, {}, {}});
  EXPECT_EQ(Console().Foot, "ダウンロード中: 0.0 / 2.0 MB");
  reporter.DownloadsEnded();
  EXPECT_EQ(Console().Foot, "");
}

}  // namespace
}  // namespace kanade
