#include "install/wildcard.h"

#include <gtest/gtest.h>

namespace zepr {
namespace {

TEST(MatchesMask, WildcardRules) {
  struct Case {
    const char* name;
    const char* mask;
    bool matches;
  };
  const Case cases[] = {
      // "*.*" wants a dot: the mirror skips names without one.
      {"a.txt", "*.*", true},
      {"README", "*.*", false},
      {".hidden", "*.*", true},
      {"archive.tar.gz", "*.*", true},
      {"", "*", true},
      {"", "?", false},
      {"abc", "a*c", true},
      {"abbbc", "a*b*c", true},
      {"abcd", "a*c", false},
      {"Racun.RPT", "*.rpt", true},  // letter case does not matter
      {"x1.dll", "x?.dll", true},
      {"x12.dll", "x?.dll", false},
      {"šal.txt", "?al.txt", true},  // "?" is one character, not one byte
      {"b.txt", "[abc].txt", true},
      {"B.txt", "[abc].txt", true},
      {"d.txt", "[abc].txt", false},
      {"m.txt", "[a-z].txt", true},
      {"5.txt", "[a-z].txt", false},
      {"d.txt", "[!abc].txt", true},
      {"a.txt", "[!abc].txt", false},
      {"]", "[]]", true},
      {"[x", "[x", true},  // an unclosed "[" is an ordinary character
      {"log2024.txt", "log*[0-9].txt", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MatchesMask(c.name, c.mask), c.matches) << c.name << " ~ " << c.mask;
  }
}
}  // namespace
}  // namespace zepr
