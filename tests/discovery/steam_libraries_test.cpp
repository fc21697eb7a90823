#include "discovery/steam_libraries.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "discovery/steam_tree.h"
#include "support/temp_dir.h"

namespace kanade {
namespace {

using test::TempDir;
using test::WriteFile;
using Folders = std::vector<std::string>;

class SteamScan : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSteamLibraries();
    std::filesystem::create_directories(root + "/steamapps");
  }
  void TearDown() override { ResetSteamLibraries(); }
  void WriteList(std::string_view text, std::string_view name = "libraryfolders.vdf") {
    WriteFile(root + "/steamapps/" + std::string(name), text);
  }
  std::string Library(std::string_view name) {
    std::filesystem::create_directories(dir / (std::string(name) + "/steamapps"));
    return dir / std::string(name);
  }

  TempDir dir;
  std::string root = dir / "Steam";
};

TEST(SteamLine, SplitsQuotedKeyAndValueAtTabs) {
  const auto split = [](std::string_view line) {
    const SteamLine s = SplitSteamLine(line);
    return s.key + "|" + s.value;
  };
  EXPECT_EQ(split("\t\t\"path\"\t\t\"D:\\\\Lib\"\t"), "path|D:\\\\Lib");
  EXPECT_EQ(split("\"path\" \"x\""), "path\" \"x|");
  EXPECT_EQ(split("\"\t\""), "|");
  EXPECT_EQ(split("{"), "{|");
  EXPECT_EQ(split("key\tvalue\twith tab"), "key|value\twith tab");
}

TEST(SteamText, UnescapesLikeSteamWrites) {
  EXPECT_EQ(UnescapeText("D:\\\\Games\\\\Steam"), "D:\\Games\\Steam");
  EXPECT_EQ(UnescapeText("\\\"q\\\" \\a\\b\\f\\n\\r\\t\\v"), "\"q\" \a\b\f\n\r\t\v");
  EXPECT_EQ(UnescapeText("\\x\\\\\\"), "\\x\\\\");
}

TEST_F(SteamScan, RootWithoutLibraryListHasOnlyItsOwnFolder) {
  ScanSteamLibraries(root + "//", "/");
  EXPECT_EQ(SteamLibraryFolders, Folders{root + "/steamapps"});
  ScanSteamLibraries(dir / "missing", "/");
  EXPECT_TRUE(SteamLibraryFolders.empty());
}

TEST_F(SteamScan, ReadsTheFlatFormWithEscapes) {
  const std::string lib = Library("lib\\2");  // a backslash in the folder name
  const std::string escaped = dir / "lib\\\\2";
  WriteList(
      "\"LibraryFolders\"\n{\n\t\"TimeNextStatsReport\"\t\t\"1600000000\"\n"
      "\t\"0\"\t\t\"" +
          (dir / "zero") +
          "\"\n"
          "\t\"1\"\t\t\"" +
          escaped + "\"\n\t\"2\"\t\t\"" + escaped +
          "\"\n"
          "\t\"3\"\t\t\"" +
          (dir / "missing") + "\"\n\t\"4\"\t\t\"\"\n}\n",
      "Libraryfolders.vdf");
  Library("zero");
  ScanSteamLibraries(root, "/");
  EXPECT_EQ(SteamLibraryFolders,
            (Folders{root + "/steamapps", lib + "/steamapps", lib + "/steamapps"}));
}

TEST_F(SteamScan, ReadsTheNestedFormAndIgnoresAppIds) {
  const std::string second = Library("SecondLibrary");
  const std::string trap = Library("trap");  // named by an app entry, not a library
  std::string list = test::NestedLibraryList({root, second});
  for (auto at = list.find("\"482022\""); at != std::string::npos;
       at = list.find("\"482022\"", at + trap.size() + 20)) {
    list.insert(at, "\"" + trap + "\"\n\t\t\t\"1\"\t\t");
  }
  WriteList(list);
  ScanSteamLibraries(root, "/");
  EXPECT_EQ(SteamLibraryFolders, (Folders{root + "/steamapps", second + "/steamapps"}));

  // A numbered key alone without a block, and a block without "path".
  WriteList("\"libraryfolders\"\n{\n\t\"1\"\n\t\"2\"\n\t{\n\t\t\"label\"\t\t\"x\"\n\t}\n}\n");
  ScanSteamLibraries(root, "/");
  EXPECT_EQ(SteamLibraryFolders, Folders{root + "/steamapps"});
}

TEST_F(SteamScan, FindsTheGameInALaterLibrary) {
  const std::string second = Library("second");
  const std::string third = Library("third");
  WriteFile(root + "/steamapps/appmanifest_326160.acf",
            test::AppManifest("326160", "Missing Folder"));
  WriteFile(second + "/steamapps/appmanifest_326160.acf",
            "\"AppState\"\n{\n\t\"InstallDir\"\t\t\"Gone\"\n\t\"INSTALLDIR\"\t\t\"SotA\"\n}\n");
  std::filesystem::create_directories(second + "/steamapps/common/SotA");
  const std::string game = test::InstallSteamGame(third, "Shroud of the Avatar");
  WriteList(test::NestedLibraryList({root, second, third}));

  ScanSteamLibraries(root, "/");
  EXPECT_EQ(FindSteamAppFolder("326160"), second + "/steamapps/common/SotA");
  std::filesystem::remove_all(second + "/steamapps/common/SotA");
  EXPECT_EQ(FindSteamAppFolder("326160"), game);
  EXPECT_EQ(FindSteamAppFolder("1"), "");
  ResetSteamLibraries();
  EXPECT_EQ(FindSteamAppFolder("326160"), "");
}

TEST_F(SteamScan, JunkFilesAreReadWithoutHarm) {
  const std::string lib = Library("lib");
  std::string junk;
  for (int i = 0; i < 200000; ++i) junk += static_cast<char>((i * 7919) % 256);
  // A huge line of TABs, a huge line without any line end, invalid UTF-8.
  WriteList(junk + "\n" + std::string(10 << 20, '\t') + "\n\"1\"\t\"" + lib + "\"\n\xFF\xFE" +
            std::string(10 << 20, 'x'));
  WriteFile(root + "/steamapps/appmanifest_326160.acf", junk + std::string(1 << 20, '\r'));
  ScanSteamLibraries(root, "/");
  EXPECT_EQ(FindSteamAppFolder("326160"), "");
  ASSERT_EQ(SteamLibraryFolders.size(), 2u);
  EXPECT_EQ(SteamLibraryFolders[1], lib + "/steamapps");
}

}  // namespace
}  // namespace kanade
