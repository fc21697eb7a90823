#include "kanade_repo/repository_signing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "repos/repository_format.h"
#include "repos/sha256.h"
#include "support/temp_dir.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {
namespace {

using test::TempDir;
using test::WriteFile;

constexpr char kModules[] =
    "module=a.txt\thttps://h/a.txt\t0000\n"
    "module=b.txt\thttps://h/b.txt\t1111\n";

std::string Signed(std::string_view text) {
  std::string problem;
  const auto result = SignRepositoryText(text, &problem);
  EXPECT_TRUE(result.has_value()) << problem;
  return result.value_or("");
}

std::string SignProblem(std::string_view text) {
  std::string problem;
  EXPECT_FALSE(SignRepositoryText(text, &problem).has_value());
  return problem;
}

TEST(SignRepository, AddsASignLineWithTheFilesLineEnds) {
  const std::string lf = Signed(kModules);
  EXPECT_TRUE(StartsWith(lf, "SIGN="));
  EXPECT_EQ(lf.substr(5 + 64), std::string("\n") + kModules);
  EXPECT_TRUE(VerifyRepositoryText(lf));

  const std::string crlf_modules = ReplaceAll(kModules, "\n", "\r\n");
  const std::string crlf = Signed(crlf_modules);
  EXPECT_EQ(crlf.substr(5 + 64), "\r\n" + crlf_modules);
  EXPECT_TRUE(VerifyRepositoryText(crlf));

  const std::string empty = Signed("");
  EXPECT_EQ(empty, "SIGN=" + Sha256OfText("SIGN=0\n") + "\n");
  EXPECT_TRUE(VerifyRepositoryText(empty));
}

TEST(SignRepository, ReplacesExistingValuesAndKeepsEverythingElse) {
  const std::string text =
      std::string("; published by hand\nsign=old value ; not a comment here  \r\n") + kModules +
      "Sign\n";
  const std::string result = Signed(text);
  EXPECT_TRUE(VerifyRepositoryText(result));
  const auto lines = SplitLines(result);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "; published by hand");
  const std::string digest = lines[1].substr(5);
  EXPECT_EQ(lines[1], "sign=" + digest);
  EXPECT_EQ(digest.size(), 64u);
  EXPECT_EQ(lines[4], "Sign=" + digest);
  EXPECT_NE(result.find("\r\nmodule=a.txt"), std::string::npos);
  // Signing a signed text changes nothing.
  EXPECT_EQ(Signed(result), result);
}

TEST(SignRepository, RefusesTextsThatCouldNeverVerify) {
  EXPECT_NE(SignProblem(std::string("\xEF\xBB\xBF") + kModules).find("byte-order mark"),
            std::string::npos);
  EXPECT_NE(SignProblem(std::string(kModules) + "\nSIGN=0\n").find("empty line"),
            std::string::npos);
  EXPECT_NE(SignProblem("module=a\thttp://h/a\t0\rmodule=b\thttp://h/b\t1\r").find("lone CR"),
            std::string::npos);
  EXPECT_NE(SignProblem("SIGN=0\rmodule=a\thttp://h/a\t0\r").find("lone CR"), std::string::npos);
  std::string many;
  for (int i = 0; i < 17; ++i) many += "SIGN=0\n";
  EXPECT_NE(SignProblem(many).find("SIGN lines"), std::string::npos);
}

TEST(SignRepository, EmptyLinesWithCrLfOrAfterTheSignLineAreFine) {
  EXPECT_TRUE(VerifyRepositoryText(Signed("module=a\r\n\r\nSIGN=0\r\n")));
  EXPECT_TRUE(VerifyRepositoryText(Signed("SIGN=0\n\nmodule=a\n\n")));
  // Without SIGN line the new first line comes before the empty line.
  EXPECT_TRUE(VerifyRepositoryText(Signed("\n\nmodule=a\n")));
}

TEST(DescribeSignatureProblem, NamesTheReason) {
  EXPECT_EQ(DescribeSignatureProblem(Signed(kModules)), "");
  EXPECT_EQ(DescribeSignatureProblem(kModules), "has no SIGN line");
  EXPECT_NE(DescribeSignatureProblem(std::string(kModules) + "\nSIGN=0\n").find("empty line"),
            std::string::npos);
  EXPECT_NE(DescribeSignatureProblem("SIGN=0\n").find("not a SHA-256 digest"), std::string::npos);
  EXPECT_NE(DescribeSignatureProblem(Signed(kModules) + "x").find("does not match"),
            std::string::npos);
}

TEST(PercentEncodePath, KeepsUnreservedAndSlashEncodesTheRest) {
  EXPECT_EQ(PercentEncodePath("Az09-._~/dir/file"), "Az09-._~/dir/file");
  EXPECT_EQ(PercentEncodePath("a b%c+d?e#f&g=h"), "a%20b%25c%2Bd%3Fe%23f%26g%3Dh");
  EXPECT_EQ(PercentEncodePath("日\\"), "%E6%97%A5%5C");
  EXPECT_EQ(PercentEncodePath(std::string("\x00\xFF", 2)), "%00%FF");
}

class BuildRepository : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_ / "files/a.txt", "alpha");
    WriteFile(dir_ / "files/B.txt", "bravo");
    WriteFile(dir_ / "files/a/b c.txt", "nested");
    WriteFile(dir_ / "files/データ/訳.txt", "japanese");
    WriteFile(dir_ / "files/empty", "");
  }

  std::string Build(std::string_view base, std::string_view skip = "") {
    std::vector<std::string> problems;
    const auto text = BuildRepositoryText(dir_ / "files", base, skip, &problems);
    EXPECT_TRUE(text.has_value()) << (problems.empty() ? "" : problems[0]);
    return text.value_or("");
  }

  std::string BuildProblem(const std::string& folder, std::string_view base) {
    std::vector<std::string> problems;
    EXPECT_FALSE(BuildRepositoryText(folder, base, "", &problems).has_value());
    EXPECT_EQ(problems.size(), 1u);
    return problems.empty() ? "" : problems[0];
  }

  TempDir dir_;
};

TEST_F(BuildRepository, OneSortedModuleLinePerFileAndSigned) {
  const std::string text = Build("https://h/m/");
  EXPECT_TRUE(VerifyRepositoryText(text));
  const auto lines = SplitLines(text);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_TRUE(StartsWith(lines[0], "SIGN="));
  // Byte order: "B" < "a.txt" < "a/..." ("." is 0x2E, "/" 0x2F) < "empty" < UTF-8.
  EXPECT_EQ(lines[1], "module=B.txt\thttps://h/m/B.txt\t" + Sha256OfText("bravo"));
  EXPECT_EQ(lines[2], "module=a.txt\thttps://h/m/a.txt\t" + Sha256OfText("alpha"));
  EXPECT_EQ(lines[3], "module=a/b c.txt\thttps://h/m/a/b%20c.txt\t" + Sha256OfText("nested"));
  EXPECT_EQ(lines[4], "module=empty\thttps://h/m/empty\t" + Sha256OfText(""));
  EXPECT_EQ(lines[5],
            "module=データ/訳.txt\thttps://h/m/%E3%83%87%E3%83%BC%E3%82%BF/%E8%A8%B3.txt\t" +
                Sha256OfText("japanese"));
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST_F(BuildRepository, ThePatcherReadsWhatWasBuilt) {
  WriteFile(dir_ / "out.repo", Build("http://h"));
  ASSERT_TRUE(VerifyRepositoryFile(dir_ / "out.repo"));
  const auto lines = ReadRepositoryLines(dir_ / "out.repo");
  ASSERT_TRUE(lines.has_value());
  std::vector<ModuleEntry> entries;
  for (const auto& line : *lines) {
    if (auto entry = ParseModuleLine(line)) entries.push_back(*entry);
  }
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[2].RelativePath, "a" + std::string(PathSeparator) + "b c.txt");
  EXPECT_EQ(entries[2].Url, "http://h/a/b%20c.txt");
  EXPECT_EQ(entries[2].Sha256, Sha256OfFile(dir_ / "files/a/b c.txt"));
}

TEST_F(BuildRepository, LeavesOutTheSkippedFile) {
  WriteFile(dir_ / "files/site.repo", "old");
  const std::string text = Build("http://h", dir_ / "files/site.repo");
  EXPECT_EQ(text.find("site.repo"), std::string::npos);
  EXPECT_EQ(SplitLines(text).size(), 6u);
  // Another spelling of the same file is still the same file.
  EXPECT_EQ(Build("http://h", dir_ / "files/a/../site.repo").find("site.repo"), std::string::npos);
}

TEST_F(BuildRepository, RefusesWhatThePatcherCouldNotUse) {
  EXPECT_NE(BuildProblem(dir_ / "files", "ftp://h").find("http"), std::string::npos);
  EXPECT_NE(BuildProblem(dir_ / "files", "").find("http"), std::string::npos);
  EXPECT_NE(BuildProblem(dir_ / "files", "http://h/a;b").find(";"), std::string::npos);
  EXPECT_NE(BuildProblem(dir_ / "missing", "http://h").find("not a folder"), std::string::npos);
  EXPECT_NE(BuildProblem(dir_ / "files/a.txt", "http://h").find("not a folder"), std::string::npos);

  WriteFile(dir_ / "files/semi;colon.txt", "x");
  EXPECT_NE(BuildProblem(dir_ / "files", "http://h").find("semi;colon.txt"), std::string::npos);
}

TEST(BuildRepositoryEmpty, EmptyFolderGivesOnlyTheSignLine) {
  TempDir dir;
  std::vector<std::string> problems;
  const auto text = BuildRepositoryText(dir.path(), "https://h", "", &problems);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, "SIGN=" + Sha256OfText("SIGN=0\n") + "\n");
}

}  // namespace
}  // namespace kanade
