#include "config/password_scramble.h"

#include <gtest/gtest.h>

#include <random>

#include "core/encoding.h"

namespace zepr {
namespace {

size_t CodePoints(const std::string& utf8) {
  size_t n = 0;
  for (char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

TEST(ScramblePassword, KeepsLengthAndGivesOnlyTheFirstByteBackWhenRepeated) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  int rest_differs = 0;
  for (size_t len = 0; len < 40; ++len) {
    std::string text(len, '\0');
    for (char& c : text) c = static_cast<char>(byte(rng));
    std::string once = ScramblePassword(text, kScrambleStart);
    ASSERT_EQ(once.size(), text.size());
    std::string twice = ScramblePassword(once, kScrambleStart);
    if (len == 0) continue;
    EXPECT_EQ(twice[0], text[0]);
    rest_differs += twice.substr(1) != text.substr(1);
  }
  EXPECT_GE(rest_differs, 35);
  // The state follows the output: one changed byte changes every byte after it.
  std::string a = ScramblePassword("tajna lozinka", kScrambleStart);
  std::string b = ScramblePassword("tajna lozinkA", kScrambleStart);
  std::string c = ScramblePassword("Tajna lozinka", kScrambleStart);
  EXPECT_EQ(a.substr(0, 12), b.substr(0, 12));
  EXPECT_NE(a.back(), b.back());
  EXPECT_NE(a.substr(1), c.substr(1));
  EXPECT_NE(a, ScramblePassword("tajna lozinka", kScrambleStart + 1));
}

TEST(ScramblePassword, DoubleClickFramesTheScrambledBoxText) {
  EXPECT_EQ(ePassDblClickText(""), "//");
  std::string text;
  for (size_t n = 1; n <= 6; ++n) {
    text = ePassDblClickText(text);
    EXPECT_EQ(CodePoints(text), 2 * n);
    EXPECT_EQ(text.front(), '/');
    EXPECT_EQ(text.back(), '/');
  }
  EXPECT_EQ(ePassDblClickText("ab\xC5\xA1"),
            Cp1250ToUtf8("/" + ScramblePassword("ab\x9A", kScrambleStart) + "/"));
  // A byte that CP1250 leaves undefined survives the box and is scrambled again as itself.
  const char to_0x81 = static_cast<char>(0x81 ^ (kScrambleStart >> 8));
  std::string shown = ePassDblClickText(Cp1250ToUtf8(std::string(1, to_0x81)));
  EXPECT_EQ(shown, "/\xC2\x81/");
  EXPECT_EQ(CodePoints(ePassDblClickText(shown)), 5u);
  EXPECT_NE(ePassDblClickText(shown), ePassDblClickText("/?/"));
}

}  // namespace
}  // namespace zepr
