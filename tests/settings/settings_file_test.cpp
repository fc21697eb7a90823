#include "settings/settings_file.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "discovery/game_location.h"
#include "state/patcher_state.h"
#include "support/temp_dir.h"

namespace kanade {
namespace {

using test::TempDir;

constexpr std::string_view kDefaultFile =
    "; Localization related settings\r\nEnableLocalization=0\r\n"
    "LocalizationMode=kanade-conv-test\r\nGameLocationOverride=\r\n\r\n"
    "; Lua Related settings\r\nEnableLuaIntegration=0\r\nLiveTranslationToken=\r\n";

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override { test::ResetForTest(dir.path()); }
  void Load(std::string_view text) {
    test::WriteFile(SettingsFilePath(), text);
    LoadSettings();
  }
  std::string MakeGame(std::string_view name) {
    test::WriteFile(dir / (std::string(name) + "/Shroud of the Avatar.exe"), "MZ");
    return dir / std::string(name);
  }

  TempDir dir;
  PatcherState& s = State();
};

TEST_F(SettingsFile, WritesTheEightLinesByteForByte) {
  s.LocalizationMode = "kanade-conv-test";
  SaveSettings();
  EXPECT_EQ(SettingsFilePath(), dir.path() + "//kanade.ini");
  EXPECT_EQ(test::ReadFile(SettingsFilePath()), kDefaultFile);

  s.EnableLocalization = 1;
  s.LocalizationMode = "kanade-prefixed";
  s.GameLocationOverride = "D:\\ゲーム\\SotA";
  s.EnableLuaIntegration = 1;
  s.LiveTranslationToken = "tok=en\r\nEnableLocalization=0";  // a line break cannot survive
  SaveSettings();
  EXPECT_EQ(test::ReadFile(SettingsFilePath()),
            "; Localization related settings\r\nEnableLocalization=1\r\n"
            "LocalizationMode=kanade-prefixed\r\nGameLocationOverride=D:\\ゲーム\\SotA\r\n\r\n"
            "; Lua Related settings\r\nEnableLuaIntegration=1\r\n"
            "LiveTranslationToken=tok=enEnableLocalization=0\r\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST_F(SettingsFile, AFailedSaveKeepsTheOldFile) {
  test::WriteFile(SettingsFilePath(), "EnableLocalization=1\r\n");
  test::SetReadOnly(SettingsFilePath(), true);
  SaveSettings();
  EXPECT_EQ(test::ReadFile(SettingsFilePath()), "EnableLocalization=1\r\n");
  ProgramFolder = dir / "missing/";
  SaveSettings();
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST_F(SettingsFile, ALinkOrSpecialFileIsNeitherFollowedNorReplaced) {
  // Someone else planted kanade.ini; only a hard link's settings are read,
  // and none is written.
  const std::string stored = "LocalizationMode=kanade-prefixed\r\n";
  for (const auto& [plant, read] :
       {std::pair{test::Plant::kSymlink, false}, std::pair{test::Plant::kDanglingSymlink, false},
        std::pair{test::Plant::kHardLink, true}, std::pair{test::Plant::kFifo, false}}) {
    test::TempDir outside;
    test::WriteFile(outside / "victim", stored);
    std::filesystem::remove(SettingsFilePath());
    test::PlantAt(plant, SettingsFilePath(), outside / "victim");
    const std::string before = test::Fingerprint(outside / "victim");
    s.LocalizationMode.clear();
    LoadSettings();
    EXPECT_EQ(s.LocalizationMode, read ? "kanade-prefixed" : "");
    s.LocalizationMode = "kanade-test";
    SaveSettings();
    EXPECT_EQ(test::Fingerprint(outside / "victim"), before);
    EXPECT_FALSE(std::filesystem::exists(outside / "victim.new"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  }
}

// The player may keep kanade.ini elsewhere and leave a link: it is read and
// written through that link when the player or root made it where nobody
// else can write; a file or link of another user's is neither read nor
// written.
TEST_F(SettingsFile, FollowsOnlyThePlayersOwnLink) {
  namespace fs = std::filesystem;
  struct Case {
    const char* what;
    bool link;               // kanade.ini is a link to "elsewhere/kanade.ini"
    bool relative;           // written as "elsewhere/kanade.ini"
    bool missing;            // the file it leads to is missing
    unsigned owner;          // of kanade.ini itself (the link, or the file)
    fs::perms folder_write;  // added to the program folder
    bool used;
  };
  const fs::perms none = fs::perms::none;
  const Case cases[] = {
      {"own link", true, false, false, 0, none, true},
      {"own relative link", true, true, false, 0, none, true},
      {"own link to a file still missing", true, false, true, 0, none, true},
      {"another user's link", true, false, false, test::kNobody, none, false},
      {"own link in a folder others can write", true, false, false, 0, fs::perms::others_write,
       false},
      {"another user's file", false, false, false, test::kNobody, none, false},
  };
  const std::string stored = "LocalizationMode=kanade-prefixed\r\n";
  const std::string elsewhere = dir / "elsewhere/kanade.ini";
  for (const Case& c : cases) {
    fs::remove_all(dir / "elsewhere");
    fs::remove(SettingsFilePath());
    fs::permissions(dir.path(), fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    fs::create_directories(dir / "elsewhere");
    const std::string file = c.link ? elsewhere : SettingsFilePath();
    if (!c.missing) test::WriteFile(file, stored);
    if (c.link) {
      fs::create_symlink(c.relative ? "elsewhere/kanade.ini" : elsewhere, SettingsFilePath());
    }
    ASSERT_EQ(::lchown(SettingsFilePath().c_str(), c.owner, c.owner), 0) << c.what;
    fs::permissions(dir.path(), c.folder_write, fs::perm_options::add);
    const std::string before = test::Fingerprint(file);

    s.LocalizationMode.clear();
    LoadSettings();
    EXPECT_EQ(s.LocalizationMode, c.used && !c.missing ? "kanade-prefixed" : "") << c.what;
    s.LocalizationMode = "kanade-test";
    SaveSettings();
    if (c.used) {
      EXPECT_NE(test::ReadFile(file).find("LocalizationMode=kanade-test\r\n"), std::string::npos)
          << c.what;
    } else {
      EXPECT_EQ(test::Fingerprint(file), before) << c.what;
    }
    // The link stays in place, whatever it led to.
    EXPECT_EQ(fs::is_symlink(SettingsFilePath()), c.link) << c.what;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "elsewhere"), {}), c.link ? 1 : 0)
        << c.what;
  }
}

// Runs `work` as a user who may not write to the program folder. Root
// writes anywhere, so it hands the work to a child that becomes nobody.
void WithoutFolderRights(const std::string& folder, const std::function<void()>& work) {
  namespace fs = std::filesystem;
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                              fs::perms::others_exec);
  if (::geteuid() != 0) {
    work();
  } else if (const pid_t child = ::fork(); child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    work();
    ::_exit(0);
  } else {
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add);
}

TEST_F(SettingsFile, AFolderWithoutWriteAccessStillGetsTheChoiceSaved) {
  // kanade.ini may be written, the folder beside it not: no temporary file.
  s.LocalizationMode = "kanade-test";
  s.EnableLocalization = 1;
  test::WriteFile(SettingsFilePath(), "EnableLocalization=0\r\nmuch longer old content\r\n");
  std::filesystem::permissions(SettingsFilePath(), std::filesystem::perms::all);
  WithoutFolderRights(dir.path(), [] { SaveSettings(); });
  EXPECT_EQ(test::ReadFile(SettingsFilePath()),
            "; Localization related settings\r\nEnableLocalization=1\r\n"
            "LocalizationMode=kanade-test\r\nGameLocationOverride=\r\n\r\n"
            "; Lua Related settings\r\nEnableLuaIntegration=0\r\nLiveTranslationToken=\r\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

  // Nothing to rewrite: nothing is created either.
  std::filesystem::remove(SettingsFilePath());
  WithoutFolderRights(dir.path(), [] { SaveSettings(); });
  EXPECT_FALSE(std::filesystem::exists(SettingsFilePath()));
}

TEST_F(SettingsFile, ReadsKeysLooselyAndValuesAsWritten) {
  Load(
      "\xEF\xBB\xBF ENABLELOCALIZATION = 1 ; comment\n"
      "LocalizationMode=Kanade-Test\r"
      "GameLocationOverride = C:\\a;b=c \r\n"
      "LiveTranslationToken=\tx=y\t\r\n"
      "EnableLuaIntegration=1\r\n"
      "unknown=1\n=2\nno equals sign\n;EnableLocalization=0\n"
      "EnableLocalization\t=0");
  EXPECT_EQ(s.EnableLocalization, 1);
  EXPECT_EQ(s.LocalizationMode, "kanade-test");
  EXPECT_EQ(s.GameLocationOverride, "C:\\a");
  EXPECT_EQ(s.LiveTranslationToken, "\tx=y\t");
  EXPECT_EQ(s.EnableLuaIntegration, 0);

  // The next save writes only the standard lines, with the Lua flag off.
  SaveSettings();
  EXPECT_EQ(test::ReadFile(SettingsFilePath()),
            "; Localization related settings\r\nEnableLocalization=1\r\n"
            "LocalizationMode=kanade-test\r\nGameLocationOverride=C:\\a\r\n\r\n"
            "; Lua Related settings\r\nEnableLuaIntegration=0\r\n"
            "LiveTranslationToken=\tx=y\t\r\n");
}

TEST_F(SettingsFile, FlagsAndModesFollowTheirRules) {
  const auto flag = [this](std::string_view value) {
    Load("EnableLocalization=" + std::string(value));
    return s.EnableLocalization;
  };
  EXPECT_EQ(flag("yes"), 0);
  EXPECT_EQ(flag("2"), 1);
  EXPECT_EQ(flag("-1"), 1);
  EXPECT_EQ(flag("$10"), 1);
  EXPECT_EQ(flag("0x1"), 0);
  EXPECT_EQ(flag(""), 0);

  Load("LocalizationMode=KANADE-PREFIXED\nLocalizationMode=kanade-other");
  EXPECT_EQ(s.LocalizationMode, "kanade-prefixed");
  Load("LocalizationMode=kanade-conv-test\nLocalizationMode=");
  EXPECT_EQ(s.LocalizationMode, "kanade-conv-test");
}

TEST_F(SettingsFile, AValidOverrideReplacesTheDetectedFolder) {
  const std::string detected = MakeGame("Detected");
  const std::string chosen = MakeGame("Chosen");
  ASSERT_EQ(ValidateGameFolder(detected), 1);
  Load("GameLocationOverride=" + dir.path() + "/Gone");
  EXPECT_EQ(s.GameFolder, detected);
  EXPECT_EQ(s.GameLocationOverride, dir.path() + "/Gone");
  Load("GameLocationOverride=" + chosen + "/");
  EXPECT_EQ(s.GameFolder, chosen);
  EXPECT_EQ(s.LanguageFile, chosen + "/Language.txt");
}

TEST_F(SettingsFile, MissingOrJunkFilesChangeOnlyWhatTheyClearlySay) {
  s.EnableLuaIntegration = 1;
  LoadSettings();  // no file
  EXPECT_EQ(s.EnableLuaIntegration, 0);
  EXPECT_EQ(s.LocalizationMode, "");

  std::string junk;
  for (int i = 0; i < 100000; ++i) junk += static_cast<char>((i * 131) % 256);
  Load(junk + "\r\nLiveTranslationToken=\xFF\xFE tok\r\n" + junk + "\n" +
       std::string(10 << 20, 'k') + "=1");
  EXPECT_EQ(s.LiveTranslationToken, "\xFF\xFE tok");
  EXPECT_EQ(s.EnableLocalization, 0);
  EXPECT_EQ(s.GameFolder, "");

  std::filesystem::remove(SettingsFilePath());
  std::filesystem::create_directory(SettingsFilePath());  // not a file
  LoadSettings();
  EXPECT_EQ(s.LiveTranslationToken, "\xFF\xFE tok");
}

}  // namespace
}  // namespace kanade
