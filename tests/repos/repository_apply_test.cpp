#include "repos/repository_apply.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "app/run_report.h"
#include "net/http_client.h"
#include "repos/repository_fetch.h"
#include "repos/repository_work.h"
#include "repos/sha256.h"
#include "state/patcher_state.h"
#include "support/nginx_server.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"
#include "support/test_repository.h"
#include "ui/console.h"
#include "util/path.h"

namespace kanade {
namespace {

constexpr const char* kName = "kanade-test.repo";

// A signed repository and its module files served by nginx over TLS, as the
// real repository server does.
class RepositoryApplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(nginx_.Running()) << nginx_.ErrorLog();
    test::ResetForTest(program_.path());
    game_ = game_dir_.path();
    files_ = {{"Language.txt", "ja"},
              {"Shroud of the Avatar_Data/AssetBundles/loc.unity3d", std::string(70000, 'L')},
              {"Shroud of the Avatar_Data/gameversion.txt", "1.0"}};
  }
  void TearDown() override { ReleaseNetworking(); }

  // Publishes the files and their repository; `lie` names a path whose line
  // carries a digest that its file does not have.
  void Publish(const std::string& lie = "") {
    std::string lines;
    int n = 0;
    for (const auto& [path, body] : files_) {
      const std::string served = "files/" + std::to_string(n++) + ".bin";
      test::WriteFile(www_ / served, body);
      const std::string digest = Sha256OfText(path == lie ? "something else" : body);
      lines += test::ModuleLineText(path, nginx_.Url("/" + served), digest);
    }
    lines_ = lines;
    const std::string repository = www_ / "repos/kanade-test.repo";
    test::WriteFile(repository, test::PublishedRepositoryText("kanade-test", lines, ++serial_));
    // Each release a later second than the last, as kanade-repo publish
    // writes them: nginx's validators are made of the time and the size.
    std::filesystem::last_write_time(
        repository, std::filesystem::file_time_type::clock::now() + std::chrono::seconds(serial_));
  }
  bool Fetch() {
    return FetchRepository(nginx_.Url("/repos/kanade-test.repo"), kName, sink_).Fetched();
  }

  std::map<std::string, std::string> GameFiles() const {
    std::map<std::string, std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(game_)) {
      if (!entry.is_regular_file()) continue;
      const std::string path = entry.path().string();
      found[path.substr(game_.size() + 1)] = test::ReadFile(path);
    }
    return found;
  }
  std::vector<std::string> LinesSince(int index) const {
    const auto& lines = Console().Lines;
    return {lines.begin() + index + 1, lines.end()};
  }
  int ModuleRequests() const {
    int count = 0;
    for (const test::AccessLogEntry& entry : nginx_.AccessLog()) {
      count += entry.Request.find(" /files/") != std::string::npos ? 1 : 0;
    }
    return count;
  }

  RunReporter reporter_;
  test::RecordingSink sink_{&reporter_};
  test::TempDir program_;
  test::TempDir www_;
  test::TempDir game_dir_;
  test::NginxServer nginx_{www_.path()};
  test::ScopedCaBundle trust_{nginx_.CaFile()};
  std::string game_;
  std::map<std::string, std::string> files_;
  std::string lines_;  // the module lines last published
  std::int64_t serial_ = 0;
};

TEST_F(RepositoryApplyTest, InstallsUpdatesAndRemovesTheTranslation) {
  Publish();
  ASSERT_TRUE(Fetch());

  // Into an empty folder: every file, with the folders it needs.
  int start = Console().Last;
  ASSERT_TRUE(ApplyRepository(kName, game_, sink_).Changed());
  EXPECT_EQ(GameFiles(), files_);
  auto lines = LinesSince(start);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "レポジトリ適用: kanade-test.repo を適用済み");
  EXPECT_EQ(Console().Colours[start + 1], kWhite);
  EXPECT_EQ(lines[2],
            "- 更新: " + game_ + "/Shroud of the Avatar_Data/AssetBundles/loc.unity3d 成功");
  EXPECT_NE(test::ReadFile(program_ / "kanade.log")
                .find("> レポジトリ適用: kanade-test.repo を適用中...\r\n"),
            std::string::npos);

  // Everything current: no module line, no download.
  start = Console().Last;
  EXPECT_FALSE(ApplyRepository(kName, game_ + "/", sink_).Changed());
  EXPECT_EQ(LinesSince(start),
            std::vector<std::string>{"レポジトリ適用: kanade-test.repo は更新なし"});
  EXPECT_EQ(ModuleRequests(), 3);

  // One file changes on the server: only that one is fetched again.
  files_["Language.txt"] = "ja-2";
  Publish();
  ASSERT_TRUE(Fetch());
  start = Console().Last;
  ASSERT_TRUE(ApplyRepository(kName, game_, sink_).Changed());
  EXPECT_EQ(GameFiles(), files_);
  EXPECT_EQ(LinesSince(start).size(), 2u);
  EXPECT_EQ(ModuleRequests(), 4);

  // Uninstall deletes every listed file and leaves the folders.
  start = Console().Last;
  ASSERT_TRUE(UninstallRepository(kName, game_, sink_).Changed());
  EXPECT_TRUE(GameFiles().empty());
  EXPECT_TRUE(IsDirectory(game_ + "/Shroud of the Avatar_Data/AssetBundles"));
  lines = LinesSince(start);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "レポジトリ解除: kanade-test.repo をアンインストール済み");
  EXPECT_EQ(lines[1], "- 削除: " + game_ + "/Language.txt 成功");

  start = Console().Last;
  EXPECT_FALSE(UninstallRepository(kName, game_, sink_).Changed());
  EXPECT_EQ(LinesSince(start),
            std::vector<std::string>{"レポジトリ解除: kanade-test.repo は更新なし"});
}

// Whether a step would touch a file is asked before it runs (the game is
// waited for only then): the answer is what the step then does.
TEST_F(RepositoryApplyTest, TheWorkAskedBeforeAStepIsTheWorkItDoes) {
  const std::vector<std::string> others{"kanade-conv-test.repo"};
  const auto nothing = [] {};
  const auto release = [this](const char* withdrawn) {
    return [this, withdrawn] {
      files_.erase(withdrawn);
      Publish();
      ASSERT_TRUE(Fetch());
    };
  };
  const auto write = [this](const char* body) {
    return [this, body] { test::WriteFile(game_ + "/Language.txt", body); };
  };
  const struct {
    const char* what;
    std::function<void()> arrange;
    PatchAction action;
    bool work;
  } story[] = {
      {"nothing installed yet", nothing, PatchAction::kInstall, true},
      {"everything current", nothing, PatchAction::kInstall, false},
      {"a file the player changed", write("mine"), PatchAction::kInstall, true},
      {"a release that withdraws a file", release("Shroud of the Avatar_Data/gameversion.txt"),
       PatchAction::kInstall, true},
      {"current again", nothing, PatchAction::kInstall, false},
      {"an uninstall", nothing, PatchAction::kUninstall, true},
      {"nothing left of ours", nothing, PatchAction::kUninstall, false},
      {"only what the player changed is left", [&] { write("mine")(); }, PatchAction::kUninstall,
       false},
  };
  Publish();
  ASSERT_TRUE(Fetch());
  for (const auto& step : story) {
    SCOPED_TRACE(step.what);
    step.arrange();
    EXPECT_EQ(RepositoryHasWork(kName, game_, step.action, others), step.work);
    const RepositoryOutcome done = step.action == PatchAction::kInstall
                                       ? ApplyRepository(kName, game_, sink_, others)
                                       : UninstallRepository(kName, game_, sink_, others);
    EXPECT_EQ(done.Changed(), step.work);
  }
  // Without a verified copy, or a folder, nothing would be installed.
  EXPECT_FALSE(RepositoryHasWork("kanade-prefixed.repo", game_, PatchAction::kInstall));
  EXPECT_FALSE(RepositoryHasWork(kName, game_ + "/missing", PatchAction::kInstall));
}

// The site offers HTTP/2, which libcurl negotiates through ALPN: every request,
// downloads running side by side included, is a stream of the one connection.
TEST_F(RepositoryApplyTest, AReleaseThatDropsFilesRemovesThemUnlessThePlayerChangedThem) {
  files_["Extra.txt"] = "withdrawn";
  files_["Edited.txt"] = "withdrawn too";
  files_["Old/Deep/Gone.txt"] = "withdrawn with its folders";
  Publish();
  ASSERT_TRUE(Fetch());
  ASSERT_TRUE(ApplyRepository(kName, game_, sink_).Changed());
  test::WriteFile(game_ + "/Edited.txt", "the player's own");

  // The next release lists neither: what it withdrew goes with the next
  // apply, as an uninstall removes it, but a file the player changed stays.
  files_.erase("Extra.txt");
  files_.erase("Edited.txt");
  files_.erase("Old/Deep/Gone.txt");
  Publish();
  ASSERT_TRUE(Fetch());
  const int start = Console().Last;
  EXPECT_TRUE(ApplyRepository(kName, game_, sink_).Changed());
  EXPECT_FALSE(IsFile(game_ + "/Extra.txt"));
  EXPECT_EQ(test::ReadFile(game_ + "/Edited.txt"), "the player's own");
  EXPECT_EQ(LinesSince(start),
            (std::vector<std::string>{"レポジトリ適用: kanade-test.repo を適用済み",
                                      "- 削除: " + game_ + "/Extra.txt 成功",
                                      "- 削除: " + game_ + "/Old/Deep/Gone.txt 成功"}));
  // The folders that only withdrawn files filled go with them; one that
  // still holds something, and the game folder, stay.
  EXPECT_FALSE(std::filesystem::exists(game_ + "/Old"));
  EXPECT_TRUE(IsDirectory(game_ + "/Shroud of the Avatar_Data/AssetBundles"));
  // Withdrawn once: a later apply has nothing more to remove.
  EXPECT_FALSE(ApplyRepository(kName, game_, sink_).Changed());
}

// Removal goes by the record of what this program wrote, sealed with the
// player's key, and by what an earlier install left: the cases in which a
// list that was never ours, a forged record or a file the game shares with
// the translation used to delete files, and those in which the translation
// used to stay for good.
TEST_F(RepositoryApplyTest, OnlyWhatTheRecordNamesIsEverRemoved) {
  const std::string others_name = "kanade-conv-test.repo";
  const std::vector<std::string> others{others_name};
  const std::string record = program_ / "repos/installed.txt";
  const std::string game_exe = "Shroud of the Avatar.exe";
  // What an earlier process of a run did is gone when it is killed.
  const auto new_process = [] { ForgetAppliedPaths(); };
  const auto fresh = [&] {
    std::filesystem::remove_all(game_);
    std::filesystem::remove_all(game_ + ".old");
    std::filesystem::create_directories(game_ + "/Saves");
    std::filesystem::remove_all(program_ / "repos");
    test::WriteFile(game_ + "/" + game_exe, "the game");
    test::WriteFile(game_ + "/Saves/slot1.sav", "a save");
    new_process();
  };
  const auto line_of = [&](const std::string& path) {
    return test::ModuleLineText(path, "https://127.0.0.1/x",
                                Sha256OfText(test::ReadFile(game_ + "/" + path)));
  };
  const auto install = [&](const std::string& target) {
    ASSERT_TRUE(Fetch());
    ASSERT_TRUE(ApplyRepository(kName, target, sink_).Changed());
    new_process();
  };
  // An uninstall that ends with the translation gone, or with it left and
  // the outcome saying that what is ours cannot be told.
  const auto uninstall = [&](bool expect_removed) {
    const RepositoryOutcome outcome = UninstallRepository(kName, game_, sink_, others);
    EXPECT_EQ(outcome.Changed(), expect_removed);
    return outcome;
  };
  struct Row {
    const char* name;
    std::function<void()> act;
    bool removed;  // the translation is gone at the end
  };
  const std::vector<Row> rows{
      {"a planted unsigned copy lists the player's save and the game",
       [&] {
         test::WriteLocalRepository(
             kName, test::SignedRepositoryText(line_of("Saves/slot1.sav") + line_of(game_exe)));
         EXPECT_TRUE(uninstall(false).OwnFilesUnknown);
       },
       true},
      {"a mode never chosen lists the game's own file with its bytes",
       [&] {
         test::WriteLocalRepository(
             others_name, test::PublishedRepositoryText("kanade-conv-test", line_of(game_exe)));
         ASSERT_TRUE(Fetch());
         ASSERT_TRUE(ApplyRepository(kName, game_, sink_, others).Changed());
         uninstall(true);
       },
       true},
      {"a release withdrew a file and the run was killed before its apply",
       [&] {
         install(game_);
         files_.erase("Language.txt");
         Publish();
         ASSERT_TRUE(Fetch());
         new_process();
         EXPECT_EQ(FetchRepository(nginx_.Url("/repos/kanade-test.repo"), kName, sink_).Result,
                   FetchResult::kFetched);
         EXPECT_TRUE(ApplyRepository(kName, game_, sink_).Changed());
       },
       true},
      {"an earlier build's install and its copy, without a record, is taken over",
       [&] {
         for (const auto& [path, body] : files_) test::WriteFile(game_ + "/" + path, body);
         test::WriteLocalRepository(kName, test::ReadFile(www_ / "repos/kanade-test.repo"));
         ASSERT_TRUE(Fetch());
         EXPECT_FALSE(ApplyRepository(kName, game_, sink_).Changed());
         new_process();
         uninstall(true);
       },
       true},
      {"a new player's game holds a module's bytes: never taken over",
       [&] {
         for (const auto& [path, body] : files_) test::WriteFile(game_ + "/" + path, body);
         ASSERT_TRUE(Fetch());
         EXPECT_FALSE(ApplyRepository(kName, game_, sink_).Changed());
         new_process();
         uninstall(false);
       },
       false},
      {"the original program's unsigned copy, uninstalled offline, then online",
       [&] {
         for (const auto& [path, body] : files_) test::WriteFile(game_ + "/" + path, body);
         test::WriteLocalRepository(kName, test::SignedRepositoryText(line_of("Language.txt")));
         const RepositoryOutcome offline = uninstall(false);
         EXPECT_TRUE(offline.OwnFilesUnknown);
         EXPECT_NE(offline.Reason.Line().find("cannot be told"), std::string::npos);
         new_process();
         ASSERT_TRUE(Fetch());
         EXPECT_FALSE(uninstall(true).OwnFilesUnknown);
       },
       true},
      {"another user appends the player's save to the record",
       [&] {
         install(game_);
         // Before the seal, where the record's own lines go.
         std::string text = test::ReadFile(record);
         text.insert(text.find('\n') + 1, "file\t" + game_ + "\tSaves/slot1.sav\t" +
                                                Sha256OfText("a save") +
                                                "\t6\tkanade-test.repo\t1\n");
         test::WriteFile(record, text);
         const RepositoryOutcome outcome = uninstall(true);
         ASSERT_EQ(outcome.Notes.size(), 1u);
         EXPECT_NE(outcome.Notes[0].Line().find("its seal does not hold"), std::string::npos);
       },
       true},
      {"a record that is no record is begun anew, and says so",
       [&] {
         std::filesystem::create_directories(program_ / "repos");
         test::WriteFile(record, "file\t/\tShroud of the Avatar.exe\t00\n");
         install(game_);
         uninstall(true);
       },
       true},
      {"the game folder moved after the install, its copy in repos/ gone",
       [&] {
         std::filesystem::create_directories(game_ + ".old");
         install(game_ + ".old");
         std::filesystem::copy(game_ + ".old/Language.txt", game_ + "/Language.txt");
         std::filesystem::remove_all(game_ + ".old");
         std::filesystem::remove(program_ / "repos/kanade-test.repo");
         ASSERT_TRUE(Fetch());
         uninstall(true);
       },
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    files_ = {{"Language.txt", "ja"}};
    Publish();
    fresh();
    row.act();
    EXPECT_EQ(IsFile(game_ + "/Language.txt"), !row.removed);
    EXPECT_EQ(test::ReadFile(game_ + "/" + game_exe), "the game");
    EXPECT_EQ(test::ReadFile(game_ + "/Saves/slot1.sav"), "a save");
  }
}

TEST_F(RepositoryApplyTest, OneTlsConnectionServesTheWholeRun) {
  for (int i = 0; i < 20; ++i) files_["many/" + std::to_string(i) + ".txt"] = std::to_string(i);
  Publish();
  ASSERT_TRUE(Fetch());
  ASSERT_TRUE(ApplyRepository(kName, game_, sink_).Changed());
  std::set<long> connections;
  for (const test::AccessLogEntry& entry : nginx_.AccessLog()) {
    connections.insert(entry.Connection);
    EXPECT_TRUE(entry.Request.ends_with(" HTTP/2.0")) << entry.Request;
    EXPECT_EQ(entry.UserAgent, "Mozilla/5.0 Gecko/41.0 Firefox/41.0");
    EXPECT_EQ(entry.Status, 200);
  }
  EXPECT_EQ(nginx_.AccessLog().size(), 24u);
  EXPECT_EQ(connections.size(), 1u);
}

TEST_F(RepositoryApplyTest, AFailingModuleDoesNotStopTheOthers) {
  Publish("Language.txt");
  ASSERT_TRUE(Fetch());
  const int start = Console().Last;
  ASSERT_TRUE(ApplyRepository(kName, game_, sink_).Changed());
  const auto lines = LinesSince(start);
  EXPECT_EQ(lines[0], "レポジトリ適用: kanade-test.repo を適用済み");
  EXPECT_EQ(lines[1], "- 更新: " + game_ + "/Language.txt ハッシュ不一致");
  EXPECT_EQ(Console().Colours[start + 2], kRed);
  EXPECT_EQ(GameFiles().size(), 2u);

  // With only the failing module left, nothing changes.
  const int again = Console().Last;
  EXPECT_FALSE(ApplyRepository(kName, game_, sink_).Changed());
  EXPECT_EQ(LinesSince(again),
            (std::vector<std::string>{"レポジトリ適用: kanade-test.repo は更新なし",
                                      "- 更新: " + game_ + "/Language.txt ハッシュ不一致"}));
}

TEST_F(RepositoryApplyTest, NothingHappensWithoutAVerifiedCopyOrATargetFolder) {
  Publish();
  test::WriteFile(game_ + "/Language.txt", "installed earlier");
  const std::string repository = test::ReadFile(www_ / "repos/kanade-test.repo");
  test::WriteLocalRepository(kName, repository + "module=x.txt\thttps://127.0.0.1/x\t00\n");
  EXPECT_FALSE(UninstallRepository(kName, game_, sink_).Changed());
  EXPECT_FALSE(ApplyRepository(kName, game_, sink_).Changed());
  EXPECT_EQ(test::ReadFile(game_ + "/Language.txt"), "installed earlier");

  // Another repository's file under this name, even signed, does nothing.
  test::WriteLocalRepository(kName, test::PublishedRepositoryText("kanade-lua", lines_));
  EXPECT_FALSE(UninstallRepository(kName, game_, sink_).Changed());
  EXPECT_FALSE(ApplyRepository(kName, game_, sink_).Changed());
  EXPECT_EQ(test::ReadFile(game_ + "/Language.txt"), "installed earlier");

  // A copy fetched before files were signed (anyone may plant one) neither
  // installs nor removes anything, even a file with the bytes it lists.
  test::WriteFile(game_ + "/Language.txt", "ja");
  test::WriteLocalRepository(kName, test::SignedRepositoryText(lines_));
  EXPECT_FALSE(ApplyRepository(kName, game_, sink_).Changed());
  EXPECT_FALSE(UninstallRepository(kName, game_, sink_).Changed());
  EXPECT_EQ(test::ReadFile(game_ + "/Language.txt"), "ja");

  test::WriteLocalRepository(kName, repository);
  EXPECT_FALSE(ApplyRepository(kName, game_ + "/missing", sink_).Changed());
  EXPECT_FALSE(ApplyRepository(kName, "", sink_).Changed());
  EXPECT_FALSE(ApplyRepository("other.repo", game_, sink_).Changed());
  EXPECT_EQ(Console().Lines.back(), "レポジトリ適用: other.repo は更新なし");
  EXPECT_EQ(ModuleRequests(), 0);
}

TEST_F(RepositoryApplyTest, TheUpgradePrefixLastsForOneApplyOnly) {
  files_ = {{"kanade", "new build"}};
  Publish();
  ASSERT_TRUE(Fetch());
  DownloadPrefix = "upgrade_";
  ASSERT_TRUE(ApplyRepository(kName, game_, sink_).Changed());
  EXPECT_EQ(GameFiles(), (std::map<std::string, std::string>{{"upgrade_kanade", "new build"}}));
  EXPECT_EQ(DownloadPrefix, "");

  // Emptied also when nothing was done.
  DownloadPrefix = "upgrade_";
  EXPECT_FALSE(UninstallRepository("missing.repo", game_, sink_).Changed());
  EXPECT_EQ(DownloadPrefix, "");
}

}  // namespace
}  // namespace kanade
