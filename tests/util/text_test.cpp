#include "util/text.h"

#include <gtest/gtest.h>

namespace kanade {
namespace {

TEST(TextSplit, BeforeAndAfterFirstSeparator) {
  EXPECT_EQ(TextBefore("a=b=c", "="), "a");
  EXPECT_EQ(TextAfter("a=b=c", "="), "b=c");
  EXPECT_EQ(TextBefore("abc", "="), "abc");
  EXPECT_EQ(TextAfter("abc", "="), "");
  EXPECT_EQ(TextBefore("key=", "="), "key");
  EXPECT_EQ(TextAfter("=v", "="), "v");
  EXPECT_EQ(TextBefore("=v", "="), "");
  EXPECT_EQ(TextBefore("abc", ""), "abc");
  EXPECT_EQ(TextAfter("abc", ""), "");
  EXPECT_EQ(TextAfter("x\r\ny", "\r\n"), "y");
}

TEST(ParseInteger, ReadsTheLeadingNumberInEveryNotation) {
  EXPECT_EQ(ParseInteger("1"), 1);
  EXPECT_EQ(ParseInteger("12abc"), 12);
  EXPECT_EQ(ParseInteger("word"), 0);
  EXPECT_EQ(ParseInteger(""), 0);
  EXPECT_EQ(ParseInteger("$10"), 16);
  EXPECT_EQ(ParseInteger("$fF"), 255);
  EXPECT_EQ(ParseInteger("%101"), 5);
  EXPECT_EQ(ParseInteger("%102"), 2);
  EXPECT_EQ(ParseInteger("-3"), -3);
  EXPECT_EQ(ParseInteger("+7"), 7);
  EXPECT_EQ(ParseInteger("2.5"), 2);
  EXPECT_EQ(ParseInteger(" \t 42"), 42);
  EXPECT_EQ(ParseInteger("-$10"), -16);
  EXPECT_EQ(ParseInteger("- 3"), 0);
  EXPECT_EQ(ParseInteger("$"), 0);
}

TEST(ParseInteger, HugeNumbersSaturateInsteadOfOverflowing) {
  EXPECT_EQ(ParseInteger("99999999999999999999999"), INT64_MAX);
  EXPECT_EQ(ParseInteger("-99999999999999999999999"), -INT64_MAX);
  EXPECT_EQ(ParseInteger("$FFFFFFFFFFFFFFFFFFFF"), INT64_MAX);
}

TEST(ShortenMiddle, KeepsShortTextsAndCutsLongOnesAroundAnEllipsis) {
  const std::string seventy(70, 'a');
  EXPECT_EQ(ShortenMiddle(seventy, 20, 50), seventy);
  const std::string text = std::string(20, 'h') + "x" + std::string(50, 't');
  const std::string shortened = ShortenMiddle(text, 20, 50);
  EXPECT_EQ(shortened, std::string(20, 'h') + "…" + std::string(50, 't'));
  EXPECT_EQ(Utf16Length(shortened), 71u);
}

TEST(ShortenMiddle, CountsUtf16UnitsAndNeverSplitsACharacter) {
  // 30 kana (one unit each) and 2 emoji (two units each).
  std::string kana;
  for (int i = 0; i < 30; ++i) kana += "あ";
  EXPECT_EQ(Utf16Length(kana), 30u);
  EXPECT_EQ(ShortenMiddle(kana, 10, 20), kana);
  EXPECT_EQ(ShortenMiddle(kana + "い", 10, 20),
            "ああああああああああ…" + kana.substr(0, 3 * 19) + "い");

  const std::string emoji = "😀";  // a surrogate pair in UTF-16
  EXPECT_EQ(Utf16Length(emoji), 2u);
  // head 1 cannot hold half an emoji: it takes nothing rather than half.
  EXPECT_EQ(ShortenMiddle(emoji + "abc" + emoji, 1, 1), "…");
  EXPECT_EQ(ShortenMiddle("ab" + emoji + "cd", 3, 1), "ab…d");
  EXPECT_EQ(ShortenMiddle("ab" + emoji + "cd", 1, 3), "a…cd");
}

TEST(ShortenMiddle, InvalidUtf8CountsByteByByte) {
  const std::string junk = "\xff\xfe\x80" + std::string(5, 'z');
  EXPECT_EQ(Utf16Length(junk), 8u);
  EXPECT_EQ(ShortenMiddle(junk, 2, 2), "\xff\xfe…zz");
}

TEST(TextHelpers, CaseTrimReplaceAndLines) {
  EXPECT_EQ(ToLowerAscii("MoDuLe Ä"), "module Ä");
  EXPECT_EQ(ToUpperAscii("sign"), "SIGN");
  EXPECT_EQ(TrimSpaces("  a b \t "), "a b \t");
  EXPECT_EQ(TrimSpaces("   "), "");
  EXPECT_EQ(ReplaceAll("aaa", "aa", "a"), "aa");
  EXPECT_EQ(ReplaceAll("SIGN=x\nSIGN=x", "SIGN=x", "SIGN=0"), "SIGN=0\nSIGN=0");
  EXPECT_EQ(SplitLines("a\r\nb\rc\nd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\n\nb\n"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(SplitLines("\r\r\n"), (std::vector<std::string>{"", ""}));
  EXPECT_EQ(Choose(2, 1, 0), 1);
  EXPECT_EQ(Choose(0, std::string("a"), std::string("b")), "b");
}

}  // namespace
}  // namespace kanade
