#include "repos/module_engine.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/run_report.h"
#include "net/curl_transfer.h"
#include "net/flight_window.h"
#include "net/http_client.h"
#include "repos/sha256.h"
#include "state/patcher_state.h"
#include "support/headless_toolkit.h"
#include "support/http_test_server.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"
#include "ui/console.h"
#include "util/path.h"

namespace kanade {
namespace {

class ModuleEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetForTest(dir_.path());
    target_ = dir_ / "game";
    std::filesystem::create_directory(target_);
  }
  void TearDown() override {
    SetNoDataAbortMs(60'000);
    SetLongestRetryPauseMs(10'000);
    SetToolkit(nullptr);
    ReleaseNetworking();
  }

  RepositoryLine Line(std::string_view path, std::string_view url, std::string_view digest) {
    return {"module", std::string(path) + "\t" + std::string(url) + "\t" + std::string(digest)};
  }
  // A module served at /m/<path> whose line names the body's digest.
  RepositoryLine Served(const std::string& path, const std::string& body) {
    server_.Serve("/m/" + path, body);
    return Line(path, server_.Url("/m/" + path), Sha256OfText(body));
  }
  bool Install(const RepositoryLine& line) {
    return ProcessModuleLine(line, PatchAction::kInstall, target_, sink_).Changed();
  }
  bool Uninstall(const RepositoryLine& line) {
    return ProcessModuleLine(line, PatchAction::kUninstall, target_, sink_).Changed();
  }

  std::string Target(std::string_view relative) const {
    return target_ + "/" + std::string(relative);
  }
  int LineCount() const { return Console().Last; }
  // Whether the last module the engine told of was `path`, for `action`, and
  // ended so.
  ::testing::AssertionResult Ended(const std::string& path, PatchAction action, ModuleResult result,
                                   ModuleFailure failure = ModuleFailure::kNone) const {
    if (sink_.modules.empty()) return ::testing::AssertionFailure() << "no module";
    const test::RecordedModule& m = sink_.LastModule();
    if (m.Path == path && m.Action == action && m.Outcome && m.Outcome->Result == result &&
        m.Outcome->Failure == failure) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << m.Path << " ended as " << (m.Outcome ? static_cast<int>(m.Outcome->Result) : -1)
           << "/" << (m.Outcome ? static_cast<int>(m.Outcome->Failure) : -1) << ": "
           << (m.Outcome ? m.Outcome->Reason : "");
  }
  std::string Log() const { return test::ReadFile(dir_ / "kanade.log"); }
  // Files in the target folder, temporary ones included.
  int FileCount() const {
    int count = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(target_)) {
      count += entry.is_regular_file() ? 1 : 0;
    }
    return count;
  }

  test::TempDir dir_;
  RunReporter reporter_;
  test::RecordingSink sink_{&reporter_};
  test::HttpTestServer server_;
  std::string target_;
};

TEST_F(ModuleEngineTest, InstallCreatesFoldersWritesTheFileAndReportsEachStep) {
  const RepositoryLine line = Served("a/b/c.txt", "hello");
  ASSERT_TRUE(Install(line));
  const std::string path = Target("a/b/c.txt");
  EXPECT_EQ(test::ReadFile(path), "hello");
  EXPECT_TRUE(Ended(path, PatchAction::kInstall, ModuleResult::kWritten));
  const std::string log = Log();
  EXPECT_NE(log.find("> - 更新: " + path + "\r\n"), std::string::npos);
  // "- 更新中: " shows only while bytes are still on the way, which a body
  // of five bytes on loopback may never be: its place is not checked here.
  EXPECT_NE(log.find("< - 更新: " + path + " 5\r\n"), std::string::npos);
  EXPECT_NE(log.find("< - 更新: " + path + " 成功\r\n"), std::string::npos);

  // A current file costs no request and no console line.
  const std::size_t modules = sink_.modules.size();
  EXPECT_FALSE(Install(line));
  EXPECT_EQ(sink_.modules.size(), modules);
  EXPECT_EQ(server_.RequestCount("/m/a/b/c.txt"), 1);
}

TEST_F(ModuleEngineTest, ChangedFileIsReplaced) {
  test::WriteFile(Target("data.bin"), "old content");
  ASSERT_TRUE(Install(Served("data.bin", "new content")));
  EXPECT_EQ(test::ReadFile(Target("data.bin")), "new content");
  EXPECT_EQ(FileCount(), 1);

  // A file of another size than its line gives is replaced without being
  // read: 64 GiB of zeros (costing their planter no disk) take a minute to
  // hash.
  std::filesystem::resize_file(Target("data.bin"), std::uint64_t{64} << 30);
  RepositoryLine sized = Served("data.bin", "sized");
  sized.Value += "\t5";
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(Install(sized));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(test::ReadFile(Target("data.bin")), "sized");
}

TEST_F(ModuleEngineTest, BodiesThatFailTheDigestNeverReachTheDisk) {
  test::WriteFile(Target("kept.txt"), "old");
  server_.Serve("/m/kept.txt", "changed on the server");
  const struct {
    RepositoryLine line;
    const char* why;
  } cases[] = {
      {Line("kept.txt", server_.Url("/m/kept.txt"), Sha256OfText("what the line names")),
       "server copy changed"},
      {Line("kept.txt", server_.Url("/no/such/file"), Sha256OfText("x")), "404 page"},
      {Line("kept.txt", server_.Url("/m/kept.txt"), ""), "empty digest"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(Install(c.line)) << c.why;
    EXPECT_TRUE(Ended(Target("kept.txt"), PatchAction::kInstall, ModuleResult::kFailed,
                      ModuleFailure::kDigest))
        << c.why;
    EXPECT_EQ(test::ReadFile(Target("kept.txt")), "old") << c.why;
  }
  EXPECT_EQ(FileCount(), 1);
}

TEST_F(ModuleEngineTest, FailedDownloadsKeepTheOldFile) {
  test::WriteFile(Target("f.txt"), "old");
  server_.Serve("/empty", "");
  server_.CutShort("/short", 4096, std::string(100, 's'));
  const std::string digest = Sha256OfText(std::string(4096, 's'));
  const std::string unreachable =
      "http://127.0.0.1:" + std::to_string(test::UnusedPort()) + "/f.txt";
  for (const std::string& url : {server_.Url("/empty"), server_.Url("/short"), unreachable}) {
    EXPECT_FALSE(Install(Line("f.txt", url, digest))) << url;
    EXPECT_TRUE(Ended(Target("f.txt"), PatchAction::kInstall, ModuleResult::kFailed,
                      ModuleFailure::kDownload))
        << url;
    EXPECT_EQ(test::ReadFile(Target("f.txt")), "old") << url;
  }
  EXPECT_EQ(FileCount(), 1);
}

TEST_F(ModuleEngineTest, ParallelDownloadsKeepEveryBodyWithItsModuleAndTheConsoleInOrder) {
  // Early modules answer last, some connections break, some paths are
  // missing: each body must still meet its own digest, and each module shows
  // its lines in file order.
  enum Kind { kFine, kLate, kBroken, kMissing };
  std::vector<RepositoryLine> lines;
  std::vector<Kind> kinds;
  for (int i = 0; i < 24; ++i) {
    const Kind kind = i % 6 == 1 ? kBroken : i % 6 == 4 ? kMissing : i < 3 ? kLate : kFine;
    const std::string path = "m/" + std::to_string(i) + ".txt";
    const std::string body = "body of module " + std::to_string(i) + std::string(i * 100, '.');
    if (kind == kFine) server_.Serve("/m/" + path, body);
    if (kind == kLate) server_.ServeLate("/m/" + path, body, 300);
    if (kind == kBroken) server_.CutShort("/m/" + path, body.size(), body.substr(0, 5));
    lines.push_back(Line(path, server_.Url("/m/" + path), Sha256OfText(body)));
    kinds.push_back(kind);
  }
  EXPECT_TRUE(ProcessModuleLines(lines, PatchAction::kInstall, target_, sink_).Changed());
  ASSERT_EQ(sink_.modules.size(), lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string path = Target("m/" + std::to_string(i) + ".txt");
    const ModuleFailure failure = kinds[i] == kBroken    ? ModuleFailure::kDownload
                                  : kinds[i] == kMissing ? ModuleFailure::kDigest
                                                         : ModuleFailure::kNone;
    // One module after the other, in file order, each with its own outcome.
    const test::RecordedModule& module = sink_.modules[i];
    EXPECT_EQ(module.Path, path) << i;
    ASSERT_TRUE(module.Outcome) << i;
    EXPECT_EQ(module.Outcome->Result,
              kinds[i] < kBroken ? ModuleResult::kWritten : ModuleResult::kFailed)
        << i;
    EXPECT_EQ(module.Outcome->Failure, failure) << i;
    const std::string expected = "body of module " + std::to_string(i) + std::string(i * 100, '.');
    EXPECT_EQ(test::ReadFile(path), kinds[i] < kBroken ? expected : "<missing>") << i;
  }
  EXPECT_EQ(FileCount(), 16);
  // Each module was asked for once, whatever became of the others; a broken
  // connection is tried again, while the run's retries to its server last
  // (a tenth of 24 requests, and three; connections that break together
  // count once).
  int broken = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const int asked = server_.RequestCount("/m/m/" + std::to_string(i) + ".txt");
    if (kinds[i] == kBroken) {
      EXPECT_LE(asked, kTransferAttempts) << i;
      broken += asked;
    } else {
      EXPECT_EQ(asked, 1) << i;
    }
  }
  EXPECT_GE(broken, 4 + 3);
}

TEST_F(ModuleEngineTest, RetriesMendBrokenConnectionsAndBusyServersOnly) {
  const struct {
    const char* name;
    int failures;
    int status;  // 0: the body is cut short
    int requests;
    const char* ending;
    const char* retry_after = nullptr;  // sent with each failing status
  } cases[] = {
      {"cut-once.txt", 1, 0, 2, " 成功"},
      {"busy-twice.txt", 2, 503, 3, " 成功"},
      {"too-many.txt", 1, 429, 2, " 成功"},
      {"cut-always.txt", 3, 0, 3, " ダウンロード失敗"},
      {"busy-always.txt", 3, 502, 3, " ハッシュ不一致"},
      {"missing.txt", 1, 404, 1, " ハッシュ不一致"},
      {"forbidden.txt", 1, 403, 1, " ハッシュ不一致"},
      {"wait-a-second.txt", 1, 503, 2, " 成功", "1"},
      // One object refused for a while, as a CDN may: waited for as long
      // as the longest pause (a second here), then fetched.
      {"come-back-later.txt", 1, 503, 2, " 成功", "30"},
  };
  SetLongestRetryPauseMs(1000);
  // A hundred ordinary modules first: a run may retry a tenth of the
  // requests it sent to a server, and three more.
  std::vector<RepositoryLine> lines;
  for (int i = 0; i < 100; ++i) {
    lines.push_back(Served("fine/" + std::to_string(i) + ".txt", std::to_string(i)));
  }
  for (const auto& c : cases) {
    const std::string body = std::string("body of ") + c.name;
    lines.push_back(Served(c.name, body));
    if (c.retry_after == nullptr) {
      server_.FailFirst(std::string("/m/") + c.name, c.failures, c.status);
      continue;
    }
    auto failures = std::make_shared<int>(c.failures);
    const test::HttpTestServer::Answer busy{c.status, {{"Retry-After", c.retry_after}}, "busy"};
    server_.Handle(std::string("/m/") + c.name,
                   [failures, busy, body](const test::RecordedRequest&) {
                     return (*failures)-- > 0 ? busy : test::HttpTestServer::Answer{200, {}, body};
                   });
  }
  const int before = LineCount() + 100;
  const auto started = std::chrono::steady_clock::now();
  ProcessModuleLines(lines, PatchAction::kInstall, target_, sink_);
  // The one Retry-After it obeys is a second.
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
  const std::string log = Log();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    const auto line = static_cast<std::size_t>(before) + 1 + i;
    EXPECT_EQ(Console().Lines[line], "- 更新: " + Target(c.name) + c.ending) << c.name;
    EXPECT_EQ(server_.RequestCount(std::string("/m/") + c.name), c.requests) << c.name;
    // The log notes each retry and why, and the reason of a red line.
    const bool retried = c.requests > 1;
    EXPECT_EQ(log.find("! retry 1 of " + Target(c.name) + ": ") != std::string::npos, retried)
        << c.name;
    if (std::string(c.ending) != " 成功") {
      const std::string red = "< - 更新: " + Target(c.name) + c.ending + "\r\n! ";
      EXPECT_NE(log.find(red), std::string::npos) << c.name;
    }
  }
  EXPECT_NE(log.find("! HTTP 404; digest "), std::string::npos);
  EXPECT_NE(log.find("! HTTP 502; digest "), std::string::npos);
}

TEST_F(ModuleEngineTest, AServerThatIsDownGetsAFewRetriesNotThreeTimesTheRequests) {
  const struct {
    const char* what;
    const char* retry_after;
    int fewest, most;  // requests for 40 modules
    const char* said;
  } rows[] = {
      // A tenth of the requests and three more, not 120.
      {"always busy", nullptr, 40 + 3, 40 + 4 + 3,
       "; not tried again: the retries for this server in this run are spent"},
      // Its word is waited for as long as the longest pause, and the
      // retries still come out of the same budget.
      {"come back in two minutes", "120", 40 + 3, 40 + 4 + 3,
       "! HTTP 503; the server asks to wait 120 s"},
  };
  SetLongestRetryPauseMs(300);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    test::HttpTestServer server;
    std::vector<RepositoryLine> lines;
    for (int i = 0; i < 40; ++i) {
      const std::string path = "/down/" + std::to_string(i) + ".txt";
      test::HttpTestServer::Answer busy{503, {}, "busy"};
      if (row.retry_after != nullptr) busy.Headers.emplace_back("Retry-After", row.retry_after);
      server.Handle(path, [busy](const test::RecordedRequest&) { return busy; });
      lines.push_back(Line(path.substr(1), server.Url(path), Sha256OfText("x")));
    }
    EXPECT_FALSE(ProcessModuleLines(lines, PatchAction::kInstall, target_, sink_).Changed());
    const int asked = static_cast<int>(server.Requests().size());
    EXPECT_GE(asked, row.fewest);
    EXPECT_LE(asked, row.most);
    EXPECT_NE(Log().find(row.said), std::string::npos);
  }
}

// On a narrow line a few downloads run at once, and the progress line
// counts what is still to come: not the files found current meanwhile.
TEST_F(ModuleEngineTest, ANarrowLineRunsAFewDownloadsAndCountsWhatIsLeft) {
  struct NarrowLine : HttpLayer {
    HttpLayer& curl = LibcurlHttpLayer();
    bool DownloadToSink(std::string_view url, const DownloadLimits& limits, DownloadSink& sink,
                        DownloadReport* report, const HttpValidators& if_changed) override {
      return curl.DownloadToSink(url, limits, sink, report, if_changed);
    }
    std::optional<DownloadHandle> StartDownload(std::string_view url, const DownloadLimits& limits,
                                                DownloadSink& sink) override {
      return curl.StartDownload(url, limits, sink);
    }
    DownloadProgress PollDownload(DownloadHandle handle) override {
      return curl.PollDownload(handle);
    }
    bool WaitForDownload(DownloadHandle handle, int max_ms) override {
      return curl.WaitForDownload(handle, max_ms);
    }
    DownloadStatus FinishDownload(DownloadHandle handle, DownloadReport* report) override {
      return curl.FinishDownload(handle, report);
    }
    std::optional<double> LineRate() override { return 100; }
  } narrow;
  std::vector<RepositoryLine> lines;
  const std::string late(1000, 'l');
  for (int i = 0; i < kMinTransfersInFlight; ++i) {
    const std::string path = "late/" + std::to_string(i);
    server_.ServeLate("/m/" + path, late, 3200);
    lines.push_back(
        {"module", path + "\t" + server_.Url("/m/" + path) + "\t" + Sha256OfText(late) + "\t1000"});
  }
  lines.push_back(
      {"module", "next\t" + server_.Url("/m/next") + "\t" + Sha256OfText(late) + "\t1000"});
  server_.Serve("/m/next", late);
  for (int i = 0; i < 10; ++i) {
    const std::string body(5000, static_cast<char>('a' + i));
    lines.push_back(Served("current/" + std::to_string(i), body));
    test::WriteFile(Target("current/" + std::to_string(i)), body);
  }
  SetHttpLayer(&narrow);
  EXPECT_EQ(ProcessModuleLines(lines, PatchAction::kInstall, target_, sink_).Written,
            kMinTransfersInFlight + 1);
  SetHttpLayer(nullptr);
  // The next module waited for a slot: it came after the late ones.
  const auto requests = server_.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().Path, "/m/next");
  // Told once the downloads had taken a few seconds, with nothing of the
  // current files in the total, and gone at the end.
  ASSERT_FALSE(sink_.downloads.empty());
  EXPECT_EQ(sink_.downloads.front().Done, 0u);
  EXPECT_EQ(sink_.downloads.front().Total, 5000u);
  EXPECT_EQ(sink_.downloads_ended, 1);
}

TEST_F(ModuleEngineTest, TwoLinesNamingOneFileTakeTheirTurns) {
  // The same file under either separator: the later line waits for the
  // earlier one and finds it current, or wins when its digest differs.
  std::vector<RepositoryLine> lines = {
      Served("d/same.txt", "one body"),
      Line("d\\same.txt", server_.Url("/m/d/same.txt"), Sha256OfText("one body")),
      Served("d/changed.txt", "first"),
      Line("d\\changed.txt", server_.Url("/m/second"), Sha256OfText("second")),
  };
  server_.Serve("/m/second", "second");
  ProcessModuleLines(lines, PatchAction::kInstall, target_, sink_);
  EXPECT_EQ(sink_.modules.size(), 3u);
  EXPECT_EQ(server_.RequestCount("/m/d/same.txt"), 1);
  EXPECT_EQ(test::ReadFile(Target("d/same.txt")), "one body");
  EXPECT_EQ(test::ReadFile(Target("d/changed.txt")), "second");
}

TEST_F(ModuleEngineTest, AFailedModuleTakesTheFoldersItMadeWithIt) {
  std::filesystem::create_directories(Target("kept/old"));
  const std::string digest = Sha256OfText("never served");
  EXPECT_FALSE(Install(Line("new/deeper/f.txt", server_.Url("/nothing"), digest)));
  EXPECT_FALSE(Install(Line("kept/old/f.txt", server_.Url("/nothing"), digest)));
  EXPECT_FALSE(std::filesystem::exists(Target("new")));
  EXPECT_TRUE(IsDirectory(Target("kept/old")));
  // A folder that holds a module written meanwhile stays.
  std::vector<RepositoryLine> lines = {Served("shared/ok.txt", "ok"),
                                       Line("shared/bad.txt", server_.Url("/nothing"), digest)};
  ProcessModuleLines(lines, PatchAction::kInstall, target_, sink_);
  EXPECT_EQ(test::ReadFile(Target("shared/ok.txt")), "ok");
}

TEST_F(ModuleEngineTest, ABodyLongerThanItsSizeFieldNeverReachesTheDisk) {
  test::WriteFile(Target("sized.txt"), "old");
  server_.Serve("/m/sized.txt", "twelve bytes");
  server_.Endless("/m/endless");
  const std::string digest = Sha256OfText("twelve bytes");
  const struct {
    std::string size;
    bool installs;
  } cases[] = {{"11", false}, {"12", true}, {"1x", true}};
  for (const auto& c : cases) {
    test::WriteFile(Target("sized.txt"), "old");
    const RepositoryLine line = {
        "module", "sized.txt\t" + server_.Url("/m/sized.txt") + "\t" + digest + "\t" + c.size};
    EXPECT_EQ(Install(line), c.installs) << c.size;
    EXPECT_EQ(test::ReadFile(Target("sized.txt")), c.installs ? "twelve bytes" : "old") << c.size;
    if (!c.installs) {
      EXPECT_TRUE(Ended(Target("sized.txt"), PatchAction::kInstall, ModuleResult::kFailed,
                        ModuleFailure::kDownload))
          << c.size;
    }
  }
  EXPECT_FALSE(
      Install({"module", "e.bin\t" + server_.Url("/m/endless") + "\t" + digest + "\t4096"}));
  EXPECT_EQ(FileCount(), 1);
}

TEST_F(ModuleEngineTest, AStalledServerEndsAsAbortedWhileTheWindowStaysAlive) {
  HeadlessToolkit toolkit;
  SetToolkit(&toolkit);
  SetNoDataAbortMs(1000);
  server_.StallAfter("/slow", 10000, std::string(10, 'x'));
  EXPECT_FALSE(Install(Line("slow.bin", server_.Url("/slow"), Sha256OfText("x"))));
  EXPECT_TRUE(Ended(Target("slow.bin"), PatchAction::kInstall, ModuleResult::kFailed,
                    ModuleFailure::kAborted));
  // Shown once, however long the stall: the log does not repeat it.
  const std::string progress = "< - 更新中: " + Target("slow.bin") + " 10\r\n";
  const std::size_t at = Log().find(progress);
  EXPECT_NE(at, std::string::npos);
  EXPECT_EQ(Log().find(progress, at + 1), std::string::npos);
  EXPECT_GT(toolkit.pumps(), 0);
  EXPECT_FALSE(IsFile(Target("slow.bin")));
}

TEST_F(ModuleEngineTest, ADownloadThatCannotStartIsAFailure) {
  // libcurl that cannot start a transfer (no memory, no thread).
  struct RefusingLayer : HttpLayer {
    bool DownloadToSink(std::string_view, const DownloadLimits&, DownloadSink&, DownloadReport*,
                        const HttpValidators&) override {
      return false;
    }
    std::optional<DownloadHandle> StartDownload(std::string_view, const DownloadLimits&,
                                                DownloadSink&) override {
      return std::nullopt;
    }
    DownloadProgress PollDownload(DownloadHandle) override { return {}; }
    bool WaitForDownload(DownloadHandle, int) override { return true; }
    DownloadStatus FinishDownload(DownloadHandle, DownloadReport*) override {
      return DownloadStatus::Failed;
    }
  } refusing;
  SetHttpLayer(&refusing);
  EXPECT_FALSE(Install(Served("x.txt", "x")));
  SetHttpLayer(nullptr);
  EXPECT_TRUE(Ended(Target("x.txt"), PatchAction::kInstall, ModuleResult::kFailed,
                    ModuleFailure::kDownload));
  EXPECT_EQ(FileCount(), 0);
}

TEST_F(ModuleEngineTest, WriteFailuresKeepTheOldFileAndLeaveNothingBehind) {
  test::WriteFile(Target("locked.txt"), "old");
  test::SetReadOnly(Target("locked.txt"), true);
  EXPECT_FALSE(Install(Served("locked.txt", "new")));
  EXPECT_TRUE(Ended(Target("locked.txt"), PatchAction::kInstall, ModuleResult::kFailed,
                    ModuleFailure::kWrite));
  EXPECT_EQ(test::ReadFile(Target("locked.txt")), "old");

  // A folder where the file should go.
  std::filesystem::create_directories(Target("folder.txt/inner"));
  EXPECT_FALSE(Install(Served("folder.txt", "new")));
  EXPECT_TRUE(Ended(Target("folder.txt"), PatchAction::kInstall, ModuleResult::kFailed,
                    ModuleFailure::kWrite));
  EXPECT_TRUE(IsDirectory(Target("folder.txt/inner")));
  EXPECT_EQ(FileCount(), 1);
}

TEST_F(ModuleEngineTest, UninstallDeletesListedFilesOnly) {
  // Only while the file still has the listed bytes: the player's change stays.
  const RepositoryLine line = Served("sub/gone.txt", "x");
  test::WriteFile(Target("sub/gone.txt"), "changed by the player");
  EXPECT_FALSE(Uninstall(line));
  EXPECT_EQ(test::ReadFile(Target("sub/gone.txt")), "changed by the player");
  test::WriteFile(Target("sub/gone.txt"), "x");
  ASSERT_TRUE(Uninstall(line));
  EXPECT_TRUE(Ended(Target("sub/gone.txt"), PatchAction::kUninstall, ModuleResult::kRemoved));
  EXPECT_FALSE(IsFile(Target("sub/gone.txt")));
  EXPECT_TRUE(IsDirectory(Target("sub")));

  const std::size_t modules = sink_.modules.size();
  EXPECT_FALSE(Uninstall(line));
  EXPECT_EQ(sink_.modules.size(), modules);
  EXPECT_TRUE(server_.Requests().empty());

  test::WriteFile(Target("ro.txt"), "keep");
  test::SetReadOnly(Target("ro.txt"), true);
  EXPECT_FALSE(Uninstall(Served("ro.txt", "keep")));
  EXPECT_TRUE(Ended(Target("ro.txt"), PatchAction::kUninstall, ModuleResult::kFailed,
                    ModuleFailure::kRemove));
  EXPECT_EQ(test::ReadFile(Target("ro.txt")), "keep");
}

TEST_F(ModuleEngineTest, OtherLinesDoNothing) {
  Served("a.txt", "a");
  EXPECT_FALSE(Install({"SIGN", "0"}));
  EXPECT_FALSE(Install({" module", "a.txt\t" + server_.Url("/m/a.txt") + "\t"}));
  EXPECT_FALSE(Install(Line("a.txt", "ftp://127.0.0.1/a.txt", Sha256OfText("a"))));
  EXPECT_TRUE(sink_.modules.empty());
  EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(ModuleEngineTest, DownloadPrefixNamesTheWrittenFile) {
  DownloadPrefix = "upgrade_";
  ASSERT_TRUE(Install(Served("kanade.exe", "new build")));
  EXPECT_EQ(test::ReadFile(Target("upgrade_kanade.exe")), "new build");
  EXPECT_FALSE(IsFile(Target("kanade.exe")));
  EXPECT_TRUE(Ended(Target("upgrade_kanade.exe"), PatchAction::kInstall, ModuleResult::kWritten));
}

TEST_F(ModuleEngineTest, PathsThatLeaveTheTargetAreRefusedBeforeAnythingHappens) {
  test::WriteFile(dir_ / "outside.txt", "precious");
  server_.Serve("/evil", "evil");
  const std::string digest = Sha256OfText("evil");
  // Paths that leave the folder, and names that Windows reads as a device,
  // a stream or another file, refused on every platform alike.
  for (const std::string path : {"../outside.txt",
                                 "a/../../outside.txt",
                                 "a\\..\\..\\outside.txt",
                                 "/tmp/abs.txt",
                                 "\\\\server\\share\\x.txt",
                                 "C:/x.txt",
                                 "c:x.txt",
                                 "a/.. /x.txt",
                                 "a/.../x.txt",
                                 "",
                                 "CON",
                                 "nul.txt",
                                 "a/Com1.dat",
                                 "LPT9",
                                 "CONIN$",
                                 "aux .log",
                                 "a.txt:stream",
                                 "name.",
                                 "x ",
                                 "a/./b",
                                 "a//b",
                                 "a/",
                                 "a<b",
                                 "a>b",
                                 "a|b",
                                 "a?b",
                                 "a*b",
                                 "a\"b",
                                 "a\x01b",
                                 "COM\xC2\xB9"}) {
    const RepositoryLine line = Line(path, server_.Url("/evil"), digest);
    EXPECT_FALSE(Install(line)) << path;
    EXPECT_TRUE(Ended(target_ + "/" + path, PatchAction::kInstall, ModuleResult::kRefused)) << path;
    EXPECT_FALSE(Uninstall(line)) << path;
    EXPECT_TRUE(Ended(target_ + "/" + path, PatchAction::kUninstall, ModuleResult::kRefused))
        << path;
  }
  EXPECT_EQ(test::ReadFile(dir_ / "outside.txt"), "precious");
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_EQ(FileCount(), 0);
}

TEST(ModulePathTest, OrdinaryNamesStayInside) {
  for (const char* path : {"a.txt", "a/b/c.txt", "..hidden", "a\\b.txt", "CONSOLE.txt", "nul_file",
                           "COM10", "LPT0.log", ".config/x", "日本語 フォルダ/ファイル.txt",
                           "Shroud of the Avatar_Data/AssetBundles/x.unity3d"}) {
    EXPECT_TRUE(IsContainedModulePath(path)) << path;
  }
  EXPECT_FALSE(IsContainedModulePath(std::string("a\0/../../x", 10)));
}

TEST_F(ModuleEngineTest, NothingIsWrittenOrDeletedThroughALinkBelowTheTarget) {
  namespace fs = std::filesystem;
  fs::create_directories(dir_ / "outside");
  test::WriteFile(dir_ / "outside/victim.txt", "precious");
  fs::create_symlink(dir_ / "outside", Target("linked"));
  ASSERT_EQ(::lchown(Target("linked").c_str(), test::kNobody, test::kNobody), 0);  // not ours
  server_.Serve("/evil", "evil");
  const std::string digest = Sha256OfText("evil");
  for (const char* path : {"linked/victim.txt", "linked/new.txt", "linked/sub/new.txt"}) {
    const RepositoryLine line = Line(path, server_.Url("/evil"), digest);
    EXPECT_FALSE(Install(line)) << path;
    EXPECT_TRUE(Ended(Target(path), PatchAction::kInstall, ModuleResult::kRefused)) << path;
  }
  EXPECT_FALSE(Uninstall(Line("linked/victim.txt", server_.Url("/evil"), digest)));
  EXPECT_TRUE(Ended(Target("linked/victim.txt"), PatchAction::kUninstall, ModuleResult::kRefused));
  EXPECT_EQ(test::ReadFile(dir_ / "outside/victim.txt"), "precious");
  EXPECT_FALSE(IsFile(dir_ / "outside/new.txt"));
  EXPECT_FALSE(fs::exists(dir_ / "outside/sub"));

  // A link at the module's own place is replaced, or removed, itself.
  fs::create_symlink(dir_ / "outside/victim.txt", Target("file.txt"));
  ASSERT_TRUE(Install(Served("file.txt", "mine")));
  EXPECT_FALSE(fs::is_symlink(Target("file.txt")));
  EXPECT_EQ(test::ReadFile(Target("file.txt")), "mine");
  // A link there was never written by this program: it stays, and so does
  // what it points to, even with the listed bytes.
  fs::remove(Target("file.txt"));
  test::WriteFile(dir_ / "outside/mine.txt", "mine");
  fs::create_symlink(dir_ / "outside/mine.txt", Target("file.txt"));
  EXPECT_FALSE(Uninstall(Served("file.txt", "mine")));
  EXPECT_TRUE(fs::is_symlink(Target("file.txt")));
  EXPECT_EQ(test::ReadFile(dir_ / "outside/mine.txt"), "mine");

  // The target folder itself may be a link, as Steam libraries often are.
  fs::create_symlink(target_, dir_ / "game-link");
  ASSERT_TRUE(ProcessModuleLine(Served("via-link.txt", "ok"), PatchAction::kInstall,
                                dir_ / "game-link", sink_)
                  .Changed());
  EXPECT_EQ(test::ReadFile(Target("via-link.txt")), "ok");
}

TEST_F(ModuleEngineTest, LeftoversOfAKilledRunGoWhenTheFolderIsWrittenAgain) {
  test::WriteFile(Target("sub/a.txt.kanade-tmp-0123456789abcdef"), "half a body");
  test::WriteFile(Target("sub/b.txt.kanade-tmp-4242-7"), "from an older build");
  test::WriteFile(Target("sub/notes.kanade-tmp-draft"), "the player's own file");
  test::WriteFile(Target("other/c.txt.kanade-tmp-0123456789abcdef"), "not written this run");
  ASSERT_TRUE(Install(Served("sub/a.txt", "whole")));
  EXPECT_EQ(test::ReadFile(Target("sub/a.txt")), "whole");
  EXPECT_FALSE(IsFile(Target("sub/a.txt.kanade-tmp-0123456789abcdef")));
  EXPECT_FALSE(IsFile(Target("sub/b.txt.kanade-tmp-4242-7")));
  EXPECT_TRUE(IsFile(Target("sub/notes.kanade-tmp-draft")));
  EXPECT_TRUE(IsFile(Target("other/c.txt.kanade-tmp-0123456789abcdef")));
}

}  // namespace
}  // namespace kanade
