#include "upgrade/self_upgrade.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <utility>
#include <vector>

#include "app/command_line.h"
#include "app/patch_run.h"
#include "net/http_client.h"
#include "repos/module_engine.h"
#include "repos/sha256.h"
#include "state/patcher_state.h"
#include "support/http_test_server.h"
#include "support/temp_dir.h"
#include "support/test_repository.h"
#include "ui/console.h"
#include "upgrade/programs.h"
#include "util/path.h"
#include "util/shutdown.h"

namespace kanade {
namespace {

using test::ReadFile;
using test::WriteFile;

// Records what would be started and copied; answers as told, and like the
// platform's launchers refuses a file without the expected digest.
class FakeLauncher : public ProgramLauncher {
 public:
  ProgramOutcome StartProgram(std::string_view program, std::string_view parameters,
                              std::string_view folder, std::string_view expected_digest) override {
    started.push_back(std::string(program) + "|" + std::string(parameters) + "|" +
                      std::string(folder));
    if (!start_works) return ProgramFailed("exec refused");
    if (Sha256OfFile(program) != expected_digest) return ProgramFailed("another digest");
    return ProgramDone();
  }
  ProgramOutcome CopyFileOver(std::string_view from, std::string_view to,
                              std::string_view expected_digest) override {
    copies.push_back(std::string(from) + " -> " + std::string(to));
    if (!copy_works) return ProgramFailed("disk full");
    if (Sha256OfFile(from) != expected_digest) return ProgramFailed("another digest");
    WriteFile(std::string(to), ReadFile(std::string(from)));
    return ProgramDone();
  }
  std::vector<std::string> started;
  std::vector<std::string> copies;
  bool start_works = true;
  bool copy_works = true;
};

class SelfUpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetForTest(dir_.path());
    SetLauncher(&launcher_);
    SetProcessEnd([this] { ended_ = true; });
  }
  void TearDown() override {
    SetLauncher(nullptr);
    SetProcessEnd(nullptr);
    ReleaseNetworking();
    ::unsetenv("KANADE_REPOSITORY_URL");
  }
  // The program's own repository lists `build` as the program file.
  void PublishBuild(const std::string& build, const std::string& digest) {
    server_.Serve("/files/kanade", build);
    server_.Serve("/repos/kanade-patcher-linux.repo", OwnRepository(digest));
    ::setenv("KANADE_REPOSITORY_URL", server_.BaseUrl().c_str(), 1);
  }
  std::string OwnRepository(const std::string& digest) {
    return test::PublishedRepositoryText(
        "kanade-patcher-linux",
        test::ModuleLineText("kanade", server_.Url("/files/kanade"), digest), ++serial_);
  }
  void RunStepList(std::initializer_list<PatchRun::Step> steps) {
    for (const PatchRun::Step step : steps) {
      if (ended_) return;
      CurrentRun().Jump(step);
      CurrentRun().RunStep();
    }
  }
  void RunSteps(int from, int to) {
    for (int step = from; step <= to && !ended_; ++step) {
      CurrentRun().Jump(static_cast<PatchRun::Step>(step));
      CurrentRun().RunStep();
    }
  }

  RunReporter reporter_;
  test::TempDir dir_;
  test::HttpTestServer server_;
  FakeLauncher launcher_;
  bool ended_ = false;
  std::int64_t serial_ = 0;
};

TEST_F(SelfUpgradeTest, ANewBuildIsDownloadedBesideTheProgramAndStarted) {
  WriteFile(ProgramExe(), "old build");
  PublishBuild("new build", Sha256OfText("new build"));
  RunSteps(10, 11);
  EXPECT_TRUE(ended_);
  EXPECT_EQ(ReadFile(UpgradeExe()), "new build");
  EXPECT_EQ(ReadFile(ProgramExe()), "old build");
  ASSERT_EQ(launcher_.started.size(), 1u);
  EXPECT_EQ(launcher_.started[0], UpgradeExe() + "|-waitfor 10 -upgrade|" + ProgramFolder);
  EXPECT_EQ(Console().Lines[static_cast<std::size_t>(Console().Last)],
            "アップデート準備中: " + UpgradeExe());
}

TEST_F(SelfUpgradeTest, QuietPathsStartNothing) {
  // Started from elsewhere: no program file in the folder.
  PublishBuild("new build", Sha256OfText("new build"));
  RunSteps(10, 11);
  EXPECT_EQ(ReadFile(UpgradeExe()), "new build");
  EXPECT_TRUE(launcher_.started.empty());
  EXPECT_FALSE(ended_);

  // The same build: equal digests.
  WriteFile(ProgramExe(), "new build");
  RemoveFile(UpgradeExe());
  RunSteps(10, 11);
  EXPECT_TRUE(launcher_.started.empty());

  // A copy that cannot be started: the run goes on, and the next run finds
  // the module current and tries nothing again.
  WriteFile(ProgramExe(), "old build");
  RemoveFile(UpgradeExe());
  launcher_.start_works = false;
  RunSteps(10, 11);
  EXPECT_EQ(launcher_.started.size(), 1u);
  EXPECT_FALSE(ended_);
  RunSteps(10, 11);
  EXPECT_EQ(launcher_.started.size(), 1u);
}

TEST_F(SelfUpgradeTest, TheRunningBuildIsCopiedWhenListedAndNoOtherIs) {
  // This test program stands for the running build.
  const std::string running = ReadFile("/proc/self/exe");
  WriteFile(ProgramExe(), running);
  SetLocalBodySource(RunningProgramBody);
  PublishBuild("not what is listed", Sha256OfText(running));
  RunSteps(10, 11);
  const std::string shown = dir_.path() + "/upgrade_kanade";
  const std::string log = ReadFile(dir_ / "kanade.log");
  EXPECT_NE(log.find("> - 更新: " + shown + "\r\n< - 更新: " + shown + " " +
                     std::to_string(running.size()) + "\r\n< - 更新: " + shown + " 成功\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(ReadFile(UpgradeExe()), running);
  EXPECT_EQ(server_.RequestCount("/files/kanade"), 0);
  EXPECT_TRUE(launcher_.started.empty());
  RunSteps(10, 11);
  EXPECT_NE(ReadFile(dir_ / "kanade.log").find("レポジトリ適用: kanade-patcher.repo は更新なし"),
            std::string::npos);

  // Another listed build still comes from the server.
  PublishBuild("new build", Sha256OfText("new build"));
  RunSteps(10, 11);
  SetLocalBodySource(nullptr);
  EXPECT_EQ(server_.RequestCount("/files/kanade"), 1);
  EXPECT_EQ(ReadFile(UpgradeExe()), "new build");
}

TEST_F(SelfUpgradeTest, AnUnverifiedBuildNeverReachesTheUpgradeFile) {
  WriteFile(ProgramExe(), "old build");
  PublishBuild("tampered build", Sha256OfText("the published build"));
  RunSteps(10, 11);
  EXPECT_FALSE(IsFile(UpgradeExe()));
  EXPECT_TRUE(launcher_.started.empty());
  EXPECT_FALSE(ended_);
}

TEST_F(SelfUpgradeTest, OnlyTheListedBuildIsStartedOrInstalled) {
  WriteFile(ProgramExe(), "old build");
  PublishBuild("new build", Sha256OfText("new build"));
  RunSteps(10, 10);
  // Swapped between the download and the start, or before the copy.
  WriteFile(UpgradeExe(), "planted build");
  PrepareUpgrade(reporter_);
  EXPECT_FALSE(ended_);
  PerformUpgrade(reporter_);
  EXPECT_FALSE(ended_);
  EXPECT_EQ(ReadFile(ProgramExe()), "old build");

  // Without a verified repository nothing is listed, so nothing runs.
  WriteFile(UpgradeExe(), "new build");
  test::WriteLocalRepository("kanade-patcher.repo", test::SignedRepositoryText(test::ModuleLineText(
                                                        "kanade", server_.Url("/files/kanade"),
                                                        Sha256OfText("new build"))));
  EXPECT_EQ(ListedProgramDigest(), "");
  launcher_.started.clear();
  PrepareUpgrade(reporter_);
  PerformUpgrade(reporter_);
  EXPECT_TRUE(launcher_.started.empty());
  EXPECT_EQ(ReadFile(ProgramExe()), "old build");
}

TEST_F(SelfUpgradeTest, NopatchPreparesNothingButAnUpgradeIsStillPerformed) {
  WriteFile(ProgramExe(), "old build");
  WriteFile(UpgradeExe(), "new build");
  test::WriteLocalRepository("kanade-patcher.repo", OwnRepository(Sha256OfText("new build")));
  PublishBuild("newer build", Sha256OfText("newer build"));
  SetProgramParameters({"-nopatch", "-upgrade"});
  ParseCommandLine();
  RunSteps(1, 1);
  EXPECT_TRUE(ended_);
  EXPECT_EQ(ReadFile(ProgramExe()), "new build");
  // The installed build is kept aside first, until the new one runs.
  ASSERT_EQ(launcher_.copies.size(), 2u);
  EXPECT_EQ(launcher_.copies[0].find(ProgramExe() + " -> "), 0u);
  EXPECT_NE(launcher_.copies[0].find("/kanade.kanade-old-"), std::string::npos);
  EXPECT_EQ(launcher_.copies[1], UpgradeExe() + " -> " + ProgramExe());
  ASSERT_EQ(launcher_.started.size(), 1u);
  EXPECT_EQ(launcher_.started[0], ProgramExe() + "||" + ProgramFolder);
  EXPECT_EQ(Console().Lines[static_cast<std::size_t>(Console().Last)],
            "アップデート処理中: " + UpgradeExe() + " -> " + ProgramExe());
  EXPECT_EQ(State().UpgradeRequested, 0);

  ended_ = false;
  SetProcessEnd([this] { ended_ = true; });
  RunSteps(10, 11);
  EXPECT_EQ(server_.RequestCount("/repos/kanade-patcher-linux.repo"), 0);
}

TEST_F(SelfUpgradeTest, AFailedCopyLetsTheUpgradeCopyCarryOn) {
  WriteFile(ProgramExe(), "old build");
  WriteFile(UpgradeExe(), "new build");
  test::WriteLocalRepository("kanade-patcher.repo", OwnRepository(Sha256OfText("new build")));
  launcher_.copy_works = false;
  PerformUpgrade(reporter_);
  EXPECT_FALSE(ended_);
  EXPECT_TRUE(launcher_.started.empty());
  EXPECT_EQ(ReadFile(ProgramExe()), "old build");
  // Nothing to copy: not even a line.
  RemoveFile(UpgradeExe());
  const int last = Console().Last;
  PerformUpgrade(reporter_);
  EXPECT_EQ(Console().Last, last);
}

// Whatever keeps the new build from taking over blocks the upgrade: this
// program goes on (it never ends without a successor) and says so on a red
// line of its own before the closing line, which speaks of the translation
// alone; the log says why. A new build that cannot be started once in place,
// or is gone when it has started, is undone: the build before it is back.
TEST_F(SelfUpgradeTest, ABlockedUpgradeKeepsThisProgramAndSaysSoBeforeTheClosingLine) {
  const std::string newer = "new build";
  const std::string blocked =
      "Kanade Patcher を更新できませんでした。kanade.log を確認してください。";
  const std::string undone =
      "Kanade Patcher を更新できませんでした。"
      "ウイルス対策ソフトが新しいバージョンを削除した可能性があります。";
  const std::string kept = "kanade.kanade-old-0123456789abcdef";
  enum Plant { kNothing, kFolder, kPipe, kSameBuild, kKeptOnly };
  enum Run { kDownload, kHandOver, kStart };
  const struct {
    const char* what;
    Run run;
    Plant plant;         // at upgrade_kanade, the listed build as kanade, or only a kept one
    const char* served;  // the body served for the listed build
    bool start_works;
    bool copy_works;
    std::string why;  // in the reason after the red line; empty: not blocked
    bool undone;
  } rows[] = {
      {"a folder in the way", kDownload, kFolder, "new build", true, true,
       "could not be placed as ", false},
      {"a pipe in the way", kDownload, kPipe, "new build", true, true, "could not be placed as ",
       false},
      {"a download that fails", kDownload, kNothing, "tampered", true, true,
       "could not be placed as ", false},
      {"a start that fails", kDownload, kNothing, "new build", false, true, "exec refused", false},
      {"-upgrade: a folder in the way", kHandOver, kFolder, "", true, true, "is no regular file",
       false},
      {"-upgrade: a copy that fails", kHandOver, kNothing, "", true, false, "disk full", false},
      {"-upgrade: a start that fails after the copy", kHandOver, kNothing, "", false, true,
       " is in place but exec refused; a virus scanner may have removed it", true},
      {"the new build gone once it started", kStart, kKeptOnly, "", true, true,
       "kanade was gone after the upgrade; a virus scanner may have removed it", true},
      {"nothing new", kDownload, kSameBuild, "new build", true, true, "", false},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    test::ResetForTest(dir_ / ("row" + std::to_string(++n)));
    ASSERT_EQ(::mkdir(ProgramFolder.c_str(), 0755), 0);
    launcher_ = FakeLauncher();
    launcher_.start_works = row.start_works;
    launcher_.copy_works = row.copy_works;
    ended_ = false;
    WriteFile(row.plant == kKeptOnly ? ProgramFolder + kept : ProgramExe(),
              row.plant == kSameBuild ? newer : "old build");
    const int planted = row.plant == kFolder ? ::mkdir(UpgradeExe().c_str(), 0755)
                        : row.plant == kPipe ? ::mkfifo(UpgradeExe().c_str(), 0644)
                                             : 0;
    ASSERT_EQ(planted, 0);
    if (row.run == kHandOver) {
      if (row.plant == kNothing) WriteFile(UpgradeExe(), newer);
      test::WriteLocalRepository("kanade-patcher.repo", OwnRepository(Sha256OfText(newer)));
      SetProgramParameters({"-upgrade"});
      ParseCommandLine();
      RunStepList({PatchRun::Step::kWait, PatchRun::Step::kUpgradeHandOver,
                   PatchRun::Step::kClosingMessage});
    } else if (row.run == kStart) {
      RunStepList({PatchRun::Step::kWait, PatchRun::Step::kClosingMessage});
    } else {
      PublishBuild(row.served, Sha256OfText(newer));
      RunStepList({PatchRun::Step::kWait, PatchRun::Step::kFetchOwn, PatchRun::Step::kSelfUpdate,
                   PatchRun::Step::kClosingMessage});
    }
    EXPECT_FALSE(ended_);
    const std::string log = ReadFile(ProgramFolder + "kanade.log");
    const auto line = [](int back) {
      return std::pair(Console().Lines[static_cast<std::size_t>(Console().Last - back)],
                       Console().Colours[static_cast<std::size_t>(Console().Last - back)]);
    };
    EXPECT_EQ(line(0),
              std::pair(std::string("日本語化パッチの準備ができました。ゲームを開始してください！"),
                        kGreen));
    if (row.why.empty()) {
      EXPECT_EQ(PrepareUpgrade(reporter_).Result, UpgradeResult::kNone);
      EXPECT_EQ(log.find("self-upgrade"), std::string::npos) << log;
      continue;
    }
    EXPECT_EQ(line(2), std::pair(row.undone ? undone : blocked, kRed));
    const auto at = log.find("> " + line(2).first + "\r\n" + LogLinePrefix + "! self-upgrade: ");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_NE(log.substr(at).find(row.why), std::string::npos) << log;
    if (row.undone) {
      // The build before is back, and nothing kept is left over.
      EXPECT_EQ(ReadFile(ProgramExe()), "old build");
      for (const auto& entry : std::filesystem::directory_iterator(ProgramFolder)) {
        EXPECT_EQ(entry.path().filename().string().find("kanade.kanade-old-"), std::string::npos);
      }
    }
    // The step's own call again: its typed outcome, and still no ending.
    const UpgradeOutcome outcome = row.run == kHandOver ? PerformUpgrade(reporter_)
                                   : row.run == kStart  ? RestoreKeptProgram()
                                                        : PrepareUpgrade(reporter_);
    EXPECT_FALSE(ended_);
    if (row.run != kStart) {
      EXPECT_EQ(outcome.Result, row.undone ? UpgradeResult::kUndone : UpgradeResult::kBlocked)
          << outcome.Reason;
    }
  }
}

}  // namespace
}  // namespace kanade
