#include "repos/repository_format.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "repos/sha256.h"
#include "support/temp_dir.h"
#include "util/path.h"
#include "util/text.h"

namespace kanade {
namespace {

using test::TempDir;
using test::WriteFile;

constexpr char kModules[] =
    "module=data/a.txt\thttps://example.org/a.txt\t"
    "ca978112ca1bbdcafac231b399a23c2c7e7edfd4d8c62b1b5d5c6a0ed8c0f3a0\n"
    "module=data/b.txt\thttps://example.org/b.txt?x=1\t"
    "3e23e8160039594a33894f6564e1b1348bbd7a0088d42c4acb73eeaed59c009d\n";

// Signs the way a publisher does by hand: the text holds key + "=0" once;
// its digest takes the place of the 0.
std::string SignByHand(const std::string& text, const std::string& key = "SIGN") {
  const std::string digest = Sha256OfText(text);
  const auto at = text.find(key + "=0");
  EXPECT_NE(at, std::string::npos);
  return text.substr(0, at) + key + "=" + digest + text.substr(at + key.size() + 2);
}

bool VerifiesAsFile(const std::string& bytes) {
  TempDir dir;
  WriteFile(dir / "r.repo", bytes);
  return VerifyRepositoryFile(dir / "r.repo");
}

std::vector<RepositoryLine> LinesOf(const std::string& bytes) {
  TempDir dir;
  WriteFile(dir / "r.repo", bytes);
  auto lines = ReadRepositoryLines(dir / "r.repo");
  EXPECT_TRUE(lines.has_value());
  return lines.value_or(std::vector<RepositoryLine>{});
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(VerifyRepository, SignedFileVerifiesAndAnyChangedByteBreaksIt) {
  const std::string signed_text = SignByHand(std::string("SIGN=0\n") + kModules);
  ASSERT_TRUE(VerifiesAsFile(signed_text));

  const std::size_t value_end = 5 + 64;
  for (std::size_t i = 0; i < signed_text.size(); i += 7) {
    if (i >= 5 && i < value_end) continue;
    std::string changed = signed_text;
    changed[i] = changed[i] == 'x' ? 'y' : 'x';
    EXPECT_FALSE(VerifyRepositoryText(changed)) << "byte " << i;
  }
  EXPECT_FALSE(VerifyRepositoryText(signed_text + "\n"));
  EXPECT_FALSE(VerifyRepositoryText(signed_text.substr(0, signed_text.size() - 1)));
}

TEST(VerifyRepository, SignatureValueToleratesCaseAndSurroundingSpaces) {
  const std::string signed_text = SignByHand(std::string("SIGN=0\n") + kModules);
  const std::string digest = signed_text.substr(5, 64);
  const std::string rest = signed_text.substr(5 + 64);
  EXPECT_TRUE(VerifyRepositoryText("SIGN=" + ToUpperAscii(digest) + rest));
  // Spaces before the value are replaced with it; spaces after it stay in
  // the signed text.
  EXPECT_TRUE(VerifyRepositoryText("SIGN= " + digest + rest));
  EXPECT_FALSE(VerifyRepositoryText("SIGN=" + digest + "   " + rest));
  EXPECT_TRUE(VerifyRepositoryText(SignByHand(std::string("SIGN=0   \n") + kModules)));
}

TEST(VerifyRepository, KeyCaseIsKeptWhenTheValueIsReplaced) {
  for (const std::string key : {"sign", "Sign", "sIgN"}) {
    const std::string signed_text = SignByHand(std::string(kModules) + key + "=0\n", key);
    EXPECT_TRUE(VerifiesAsFile(signed_text)) << key;
  }
}

TEST(VerifyRepository, EmptyLinesEndTheScanOnlyWithLfLineEnds) {
  const std::string lf_body = "module=x\thttp://h/x\t0\n\nSIGN=0\n";
  const std::string crlf_body = "module=x\thttp://h/x\t0\r\n\r\nSIGN=0\r\n";
  EXPECT_FALSE(VerifyRepositoryText(SignByHand(lf_body)));
  EXPECT_TRUE(VerifyRepositoryText(SignByHand(crlf_body)));
  // Empty lines after the SIGN line do not matter.
  EXPECT_TRUE(VerifyRepositoryText(SignByHand("SIGN=0\n\n\nmodule=x\n\n")));
  // The last line is scanned without a line end.
  EXPECT_TRUE(VerifyRepositoryText(SignByHand("module=x\nSIGN=0")));
  EXPECT_TRUE(VerifyRepositoryText(SignByHand("SIGN=0\r\r\n")));
}

TEST(VerifyRepository, LoneCrLineEndsMakeOneLineForTheCheck) {
  // The whole file is the SIGN line's value, so it can never be a digest.
  EXPECT_FALSE(VerifyRepositoryText(SignByHand("SIGN=0\rmodule=x\thttp://h/x\t0\r")));
  // A file that is only a SIGN line ended by CR still verifies.
  EXPECT_TRUE(VerifyRepositoryText(SignByHand("SIGN=0\r")));
}

TEST(VerifyRepository, EverySignLineIsReplacedAndTheLastOneCounts) {
  const std::string body = "SIGN=0\nmodule=x\thttp://h/x\t0\nSIGN=0\n";
  const std::string digest = Sha256OfText(body);
  const auto with = [](const std::string& first, const std::string& last) {
    return "SIGN=" + first + "\nmodule=x\thttp://h/x\t0\nSIGN=" + last + "\n";
  };
  EXPECT_TRUE(VerifyRepositoryText(with(digest, digest)));
  EXPECT_TRUE(VerifyRepositoryText(with("whatever", digest)));
  EXPECT_FALSE(VerifyRepositoryText(with(digest, "0")));
  EXPECT_FALSE(VerifyRepositoryText(with(digest, "whatever")));
}

TEST(VerifyRepository, UnsignedEmptyOrUnreadableFilesNeverVerify) {
  EXPECT_FALSE(VerifiesAsFile(""));
  EXPECT_FALSE(VerifiesAsFile("; only a comment\n;another\n"));
  EXPECT_FALSE(VerifiesAsFile(kModules));
  // "Not Specified" is the starting expectation, not a value a file can use.
  EXPECT_FALSE(VerifiesAsFile("SIGN=Not Specified\n"));
  EXPECT_FALSE(VerifiesAsFile(SignByHand(std::string("\xEF\xBB\xBFSIGN=0\n") + kModules)));

  TempDir dir;
  EXPECT_FALSE(VerifyRepositoryFile(""));
  EXPECT_FALSE(VerifyRepositoryFile(dir / "missing.repo"));
  EXPECT_FALSE(VerifyRepositoryFile(dir.path()));
}

TEST(VerifyRepository, BytesAreTakenAsTheyAreWithoutDecoding) {
  // Invalid UTF-8 and NUL bytes inside a signed file are signed as bytes.
  static constexpr char kBody[] = "SIGN=0\nmodule=\xFF\xFE\x00x\thttp://h/\xC3\t0\n";
  EXPECT_TRUE(VerifiesAsFile(SignByHand(std::string(kBody, sizeof kBody - 1))));
}

TEST(VerifyRepository, JunkNeverVerifiesAndStaysFast) {
  std::string junk(1 << 20, '\0');
  unsigned state = 7;
  for (char& c : junk) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 16);
  }
  EXPECT_FALSE(VerifiesAsFile(junk));
  EXPECT_FALSE(VerifiesAsFile("SIGN=" + junk));

  const auto start = std::chrono::steady_clock::now();
  const std::string huge(100 << 20, 'a');
  EXPECT_FALSE(VerifyRepositoryText(huge));
  EXPECT_FALSE(VerifyRepositoryText("SIGN=" + huge));
  EXPECT_FALSE(VerifyRepositoryText("SIGN=0\n" + huge));
  EXPECT_LT(SecondsSince(start), 10.0);
}

TEST(VerifyRepository, ThousandsOfSignLinesDoNotTakeQuadraticTime) {
  // Each empty SIGN value grows every other SIGN line by a 0; done naively
  // this file would need hours.
  std::string text;
  for (int i = 0; i < 500000; ++i) text += "SIGN=\n";
  text += "SIGN=" + Sha256OfText("x") + "\n";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(VerifyRepositoryText(text));
  EXPECT_LT(SecondsSince(start), 10.0);
}

TEST(ReadRepositoryLines, SplitsAtCrLfAndCrLfAndKeepsEmptyLines) {
  const auto lines = LinesOf("a=1\rb=2\nc=3\r\nd=4\r\r\n\n\r\nlast=x");
  ASSERT_EQ(lines.size(), 8u);
  const std::vector<std::string> keys = {"a", "b", "c", "d", "", "", "", "last"};
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(lines[i].Key, keys[i]) << i;
  EXPECT_EQ(lines[3].Value, "4");
  EXPECT_EQ(lines[7].Value, "x");
  EXPECT_TRUE(LinesOf("").empty());
  EXPECT_EQ(LinesOf("a\n").size(), 1u);
  EXPECT_EQ(LinesOf("\n").size(), 1u);
}

TEST(ReadRepositoryLines, CommentsKeysAndValues) {
  const auto lines = LinesOf(
      "module=p\thttp://h/a=b;c\n"
      "; a comment\n"
      "=value only\n"
      "no equals\n"
      " Key = v = w \n");
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].Key, "module");
  EXPECT_EQ(lines[0].Value, "p\thttp://h/a=b");
  EXPECT_EQ(lines[1].Key, "");
  EXPECT_EQ(lines[1].Value, "");
  EXPECT_EQ(lines[2].Key, "");
  EXPECT_EQ(lines[2].Value, "value only");
  EXPECT_EQ(lines[3].Key, "no equals");
  EXPECT_EQ(lines[3].Value, "");
  EXPECT_EQ(lines[4].Key, " Key ");
  EXPECT_EQ(lines[4].Value, " v = w ");
}

TEST(ReadRepositoryLines, CrLfSplitAcrossReadChunksIsOneLineEnd) {
  for (const std::size_t before : {65535u, 65536u, 65534u}) {
    const std::string first(before, 'k');
    const auto lines = LinesOf(first + "\r\nnext=1\r\n");
    ASSERT_EQ(lines.size(), 2u) << before;
    EXPECT_EQ(lines[0].Key, first);
    EXPECT_EQ(lines[1].Key, "next");
  }
}

TEST(ReadRepositoryLines, MissingFileOrFolderFails) {
  TempDir dir;
  EXPECT_FALSE(ReadRepositoryLines(dir / "missing.repo").has_value());
  EXPECT_FALSE(ReadRepositoryLines(dir.path()).has_value());
  EXPECT_FALSE(ForEachRepositoryLine(dir / "missing.repo", [](const RepositoryLine&) {
    ADD_FAILURE();
    return true;
  }));
}

TEST(ReadRepositoryLines, ConsumerCanStopEarly) {
  TempDir dir;
  WriteFile(dir / "r.repo", "a=1\nb=2\nc=3\n");
  std::vector<std::string> seen;
  EXPECT_TRUE(ForEachRepositoryLine(dir / "r.repo", [&seen](const RepositoryLine& line) {
    seen.push_back(line.Key);
    return seen.size() < 2;
  }));
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b"}));
}

TEST(ReadRepositoryLines, JunkAndHugeLinesAreReadWhole) {
  const std::string nul_junk("a\0=\0\r\xFF\n\0", 8);
  const auto lines = LinesOf(nul_junk);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].Key, std::string("a\0", 2));
  EXPECT_EQ(lines[0].Value, std::string("\0", 1));
  EXPECT_EQ(lines[1].Key, "\xFF");
  EXPECT_EQ(lines[2].Key, std::string("\0", 1));

  const auto start = std::chrono::steady_clock::now();
  const auto huge = LinesOf("module=" + std::string(100 << 20, 'p'));
  ASSERT_EQ(huge.size(), 1u);
  EXPECT_EQ(huge[0].Value.size(), std::size_t{100} << 20);
  EXPECT_FALSE(ParseModuleLine(huge[0]).has_value());
  EXPECT_LT(SecondsSince(start), 10.0);
}

TEST(ParseModuleLine, KeyCasePathSeparatorAndHashCase) {
  const auto entry =
      ParseModuleLine({"MODULE", "a/b/c.txt\thttps://h/c.txt?v=1\t  ABCDEF0123  \textra\tfields"});
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->RelativePath, std::string("a") + std::string(PathSeparator) + "b" +
                                     std::string(PathSeparator) + "c.txt");
  EXPECT_EQ(entry->Url, "https://h/c.txt?v=1");
  EXPECT_EQ(entry->Sha256, "abcdef0123");
}

TEST(ParseModuleLine, PathsAreKeptAsWrittenForTheEngineToJudge) {
  const std::string sep(PathSeparator);
  for (const auto& [written, kept] : std::vector<std::pair<std::string, std::string>>{
           {"../../evil.dll", ".." + sep + ".." + sep + "evil.dll"},
           {"/abs/x", sep + "abs" + sep + "x"},
           {"C:\\Windows\\x", "C:\\Windows\\x"},
           {" spaced ", " spaced "},
           {"", ""}}) {
    const auto entry = ParseModuleLine({"module", written + "\thttp://h/x\t0"});
    ASSERT_TRUE(entry.has_value()) << written;
    EXPECT_EQ(entry->RelativePath, kept);
  }
}

TEST(ParseModuleLine, UnusableLinesGiveNothing) {
  const std::vector<RepositoryLine> unusable = {
      {" module", "a\thttp://h/a\t0"},
      {"module ", "a\thttp://h/a\t0"},
      {"", "a\thttp://h/a\t0"},
      {"   ", "a\thttp://h/a\t0"},
      {"modules", "a\thttp://h/a\t0"},
      {"SIGN", "a\thttp://h/a\t0"},
      {"module", "a\tHTTP://h/a\t0"},
      {"module", "a\tftp://h/a\t0"},
      {"module", "a\t http://h/a\t0"},
      {"module", "a http://h/a"},
      {"module", "a"},
      {"module", ""},
      {"module", "a\thtt"},
  };
  for (const auto& line : unusable) {
    EXPECT_FALSE(ParseModuleLine(line).has_value()) << line.Key << "=" << line.Value;
  }
}

TEST(ParseModuleLine, MissingHashFieldGivesEmptyHash) {
  const auto entry = ParseModuleLine({"module", "a\thttp://h/a"});
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->Url, "http://h/a");
  EXPECT_EQ(entry->Sha256, "");
}

TEST(ParseModuleLine, SemicolonInUrlIsCutByTheReader) {
  const auto lines = LinesOf("module=a\thttp://h/a;b\tabc\n");
  ASSERT_EQ(lines.size(), 1u);
  const auto entry = ParseModuleLine(lines[0]);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->Url, "http://h/a");
  EXPECT_EQ(entry->Sha256, "");
}

}  // namespace
}  // namespace kanade
