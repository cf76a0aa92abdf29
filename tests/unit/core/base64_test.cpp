#include "core/base64.h"

#include <gtest/gtest.h>

namespace zepr {
namespace {

TEST(Base64, EncodesWithThePaddingTheLengthNeeds) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string_view("\xFB\xFF\x00", 3), "+/8A"},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(Base64Encode(bytes), text);
    EXPECT_EQ(Base64Decode(text), bytes) << text;
    EXPECT_EQ(Base64DecodeCanonical(text), bytes) << text;
  }
}

// What PEM wraps decodes; what a signature or key line holds must be the one canonical text.
TEST(Base64, DecodingRefusesAllButWholeGroups) {
  struct Case {
    std::string_view text;
    std::optional<std::string_view> lenient;  // nullopt: refused by both
    bool canonical;
  };
  const Case cases[] = {
      {"Zm9v\r\nYg==\n", "foob", false},  // blanks between symbols
      {" Zm 9v\t", "foo", false},
      {"Zm9", std::nullopt, false},  // a group cut short
      {"Zg", std::nullopt, false},   // padding missing
      {"Zg=", std::nullopt, false},
      {"Z===", std::nullopt, false},      // one symbol cannot make a byte
      {"Zg==Zm8=", std::nullopt, false},  // text after the padding
      {"Zg=a", std::nullopt, false},      // a symbol after '='
      {"Zm-v", std::nullopt, false},      // URL-safe alphabet
      {"Zm_v", std::nullopt, false},
      {"Zh==", "f", false},  // stray bits in the last symbol
      {"Zm9=", "fo", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto lenient = Base64Decode(c.text);
    ASSERT_EQ(lenient.has_value(), c.lenient.has_value());
    if (lenient) {
      EXPECT_EQ(*lenient, *c.lenient);
    }
    EXPECT_EQ(Base64DecodeCanonical(c.text).has_value(), c.canonical);
  }
}

}  // namespace
}  // namespace zepr
