#include "config/enigma.h"

#include <gtest/gtest.h>

#include <random>

#include "core/encoding.h"
#include "core/errors.h"

namespace zepr {
namespace {

using Lines = std::vector<std::string>;

Lines Enciphered(const Lines& lines) {
  TEnigma e;
  for (const std::string& l : lines) e.Add(l);
  e.Encipher();
  return e.Lines();
}

Lines Deciphered(const Lines& lines) {
  TEnigma e;
  for (const std::string& l : lines) e.Add(l);
  e.Decipher();
  return e.Lines();
}

TEST(Enigma, KnownVector) {
  const std::string abc_enciphered = {68,
                                      105,
                                      static_cast<char>(142),
                                      static_cast<char>(130),
                                      static_cast<char>(166),
                                      static_cast<char>(196)};
  EXPECT_EQ(Enciphered({"abc"}), Lines{abc_enciphered});
  EXPECT_EQ(Deciphered({abc_enciphered}), Lines{"abc"});
}

TEST(Enigma, DeciphersWhatItEnciphersWithinTheOutputRange) {
  std::mt19937 rng(1250);
  std::uniform_int_distribution<int> domain(32, 246);
  std::uniform_int_distribution<int> any_byte(0, 255);
  std::uniform_int_distribution<int> length(0, 40);
  std::uniform_int_distribution<int> count(1, 6);
  for (int round = 0; round < 300; ++round) {
    // Half the rounds stay in the classic range, half use every byte.
    auto& dist = round % 2 == 0 ? domain : any_byte;
    Lines lines(count(rng));
    for (std::string& line : lines) {
      line.resize(length(rng));
      for (char& c : line) c = static_cast<char>(dist(rng));
    }
    Lines enciphered = Enciphered(lines);
    for (size_t i = 0; i < lines.size(); ++i) {
      ASSERT_EQ(enciphered[i].size(), 2 * lines[i].size());
      for (char c : enciphered[i]) {
        int code = static_cast<unsigned char>(c);
        ASSERT_TRUE(code >= 32 && code <= 247) << code;
      }
    }
    ASSERT_EQ(Deciphered(enciphered), lines) << "round " << round;
  }
}

TEST(Enigma, DependsOnPlaceLineAndTotalLength) {
  const std::string alone = Enciphered({"abc"})[0];
  EXPECT_NE(Enciphered({"x", "abc"})[1], alone);   // another line index and count
  EXPECT_NE(Enciphered({"", "abc"})[1], alone);    // an empty line still moves the line rotor
  EXPECT_NE(Enciphered({"abc", "xy"})[0], alone);  // another total length
  const std::string aaa = Enciphered({"aaa"})[0];
  EXPECT_NE(aaa[3], aaa[4]);  // the same letter at another place
}

TEST(Enigma, EmptyListsAndLinesStayAsTheyAre) {
  EXPECT_TRUE(Enciphered({}).empty());
  EXPECT_EQ(Enciphered({""}), Lines{""});
  EXPECT_EQ(Deciphered({"", ""}), (Lines{"", ""}));
  TEnigma e;
  e.Add("abc");
  e.Encipher();
  EXPECT_EQ(e.TextLength(), 6u);
  e.Clear();
  EXPECT_EQ(e.Count(), 0u);
  EXPECT_EQ(e.TextLength(), 0u);
  EXPECT_EQ(e.WholeText(), "");
}

TEST(Enigma, DamagedValuesAreRejectedAndLeftAlone) {
  const std::string odd = Enciphered({"abc"})[0] + "x";
  const std::string suffix = "' is not a valid integer value";
  struct Case {
    std::string line;
    std::string message;  // empty: any flag may be named
  };
  const Case cases[] = {
      {odd, "'" + Cp1250ToUtf8(odd) + suffix},
      {"plain text", ""},
      {std::string(4, '\x1F'), ""},
  };
  for (const Case& c : cases) {
    TEnigma e;
    e.Add("");
    e.Add(c.line);
    try {
      e.Decipher();
      ADD_FAILURE() << c.line;
    } catch (const UpdateError& err) {
      std::string what = err.what();
      if (c.message.empty()) {
        EXPECT_EQ(what.substr(what.size() - suffix.size()), suffix);
      } else {
        EXPECT_EQ(what, c.message);
      }
    }
    EXPECT_EQ(e.Lines(), (Lines{"", c.line}));
  }
}

}  // namespace
}  // namespace zepr
