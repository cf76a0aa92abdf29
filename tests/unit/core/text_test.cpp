#include "core/text.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "core/encoding.h"
#include "core/errors.h"

namespace zepr {
namespace {

TEST(Text, IntegerConversionIsStrict) {
  EXPECT_EQ(ParseInt32("3"), 3);
  EXPECT_EQ(ParseInt32("-12"), -12);
  EXPECT_EQ(ParseInt32("+7"), 7);
  for (const char* bad : {"", " 3", "3 ", "x", "3x", "99999999999", "+-1", "+"}) {
    EXPECT_FALSE(ParseInt32(bad).has_value()) << bad;
  }
  const std::pair<const char*, int32_t> accepted[] = {{"3", 3},
                                                      {"  3", 3},
                                                      {"-12", -12},
                                                      {"+7", 7},
                                                      {"$1F", 31},
                                                      {"0x1f", 31},
                                                      {"-$10", -16},
                                                      {"$FFFFFFFF", -1},
                                                      {"2147483647", 2147483647},
                                                      {"-2147483648", INT32_MIN}};
  for (const auto& [text, value] : accepted) EXPECT_EQ(StrToInt(text), value) << text;
  for (const char* bad : {"abc", "", " ", "3 ", "3x", "$", "0x", "$1G", "2147483648", "$100000000",
                          "+-1", "- 1", "\t3", "0b1"}) {
    try {
      StrToInt(bad);
      ADD_FAILURE() << bad;
    } catch (const UpdateError& e) {
      EXPECT_EQ(e.what(), "'" + std::string(bad) + "' is not a valid integer value");
    }
  }
}

// Numbers from files, names and replies: digits and nothing else, within the type's range.
TEST(Text, DecimalNumbersAreDigitsOnly) {
  EXPECT_EQ(ParseDecimal<int>("0"), 0);
  EXPECT_EQ(ParseDecimal<int>("007"), 7);
  EXPECT_EQ(ParseDecimal<int>("2147483647"), INT32_MAX);
  EXPECT_EQ(ParseDecimal<int64_t>("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(ParseDecimal<uint64_t>("18446744073709551615"), UINT64_MAX);
  for (const char* bad : {"", "+1", "-1", "-0", " 1", "1 ", "1x", "0x1", "1.0", "\xD9\xA1"}) {
    EXPECT_FALSE(ParseDecimal<int>(bad).has_value()) << bad;
    EXPECT_FALSE(ParseDecimal<uint64_t>(bad).has_value()) << bad;
  }
  EXPECT_FALSE(ParseDecimal<int>("2147483648").has_value());
  EXPECT_FALSE(ParseDecimal<int64_t>("9223372036854775808").has_value());
  EXPECT_FALSE(ParseDecimal<uint64_t>("18446744073709551616").has_value());
}

TEST(Text, NamesThatLeaveTheirFolder) {
  for (const char* leaves :
       {"..", "../x.zip", "a\\..\\..\\x.zip", "/etc/x", "\\x", "C:x.zip", "c:\\x.zip", "a/../b"}) {
    EXPECT_TRUE(NameLeavesFolder(leaves)) << leaves;
  }
  for (const char* stays :
       {"", "x.zip", "a/b.zip", "a\\b.zip", "..x.zip", "a..b/c", "x..", "./x"}) {
    EXPECT_FALSE(NameLeavesFolder(stays)) << stays;
  }
}

// The rules by which a Windows program splits its command line.
TEST(Text, CommandLinesSplitAsWindowsProgramsDo) {
  using Strings = std::vector<std::string>;
  const std::pair<const char*, Strings> cases[] = {
      {R"(/baza:"C:\Moji podaci" -u)", {R"(/baza:C:\Moji podaci)", "-u"}},
      {"  a \t b  ", {"a", "b"}},
      {"", {}},
      {R"("")", {""}},
      {R"(a\\b c\)", {R"(a\\b)", R"(c\)"}},
      {R"(\"a\" "\\")", {R"("a")", R"(\)"}},
      {R"("a \\\" b" c)", {R"(a \" b)", "c"}},
      {R"("a""b" c)", {R"(a"b)", "c"}},
      {R"(x"y z"w)", {"xy zw"}},
  };
  for (const auto& [line, args] : cases) EXPECT_EQ(SplitCommandLine(line), args) << line;
}

TEST(Text, VersionsCompareAsNumbersAndFallBackToText) {
  EXPECT_GT(CompareVersions("2.1.0.10", "2.1.0.9"), 0);
  EXPECT_GT(CompareVersions("10.0.0.1", "9.0.0.1"), 0);
  EXPECT_EQ(CompareVersions("1.0.0.1", "1.0.0.1"), 0);
  EXPECT_LT(CompareVersions("1.0.0.9", "1.0.0.10"), 0);
  EXPECT_GT(CompareVersions("b", "a"), 0);  // not versions: text order
  EXPECT_GT(CompareVersions("1.0.0.9", "1.0.0.10x"), 0);
}

// A URL as it is logged or shown: whatever stands before the host's "@" goes, and nothing else.
TEST(Text, MaskedUrlHidesTheUserInfoOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://korisnik:Taj%21na@h:8080/download/_UPDATE/update.php?file=K/S/UPDATE.ZIP",
       "http://***@h:8080/download/_UPDATE/update.php?file=K/S/UPDATE.ZIP"},
      {"HTTPS://u:p@h/x", "HTTPS://***@h/x"},
      {"ftp://zepr@127.0.0.1:21/KLIJENT/DEMO/Update.zip",
       "ftp://***@127.0.0.1:21/KLIJENT/DEMO/Update.zip"},
      {"http://u:p@ss@h/", "http://***@h/"},  // an unescaped "@" in the password
      {"http://u:p@h", "http://***@h"},
      {"http://h/update.php?file=a@b/c", "http://h/update.php?file=a@b/c"},
      {"http://h?x=u:p@q", "http://h?x=u:p@q"},
      {"http://h#u@q", "http://h#u@q"},
      {"http://h:8080/", "http://h:8080/"},
      {"u:p@h/x", "u:p@h/x"},  // no URL
      {"", ""},
  };
  for (const auto& [url, shown] : cases) EXPECT_EQ(MaskedUrl(url), shown) << url;
}

// The same part of a host as UPDATE.INI writes it, with or without a scheme.
TEST(Text, UserInfoOfAHostWithOrWithoutAScheme) {
  EXPECT_EQ(UserInfo("korisnik:lozinka@h:8080"), "korisnik:lozinka");
  EXPECT_EQ(UserInfo("https://u:p@ss@h/x"), "u:p@ss");
  EXPECT_EQ(UserInfo("http://@h"), "");
  EXPECT_EQ(UserInfo("h:8080/x@y"), std::nullopt);
  EXPECT_EQ(UserInfo("https://h"), std::nullopt);
}

TEST(Text, SqlLiteralDoublesApostrophes) {
  EXPECT_EQ(SqlLiteral("O'Brien"), "'O''Brien'");
  EXPECT_EQ(SqlLiteral(""), "''");
}

TEST(Text, AsciiUpperLeavesOtherLettersAlone) {
  EXPECT_EQ(AsciiUpper("abc-šđ"), "ABC-šđ");
  EXPECT_TRUE(EqualsAsciiNoCase("Install.INI", "install.ini"));
}

TEST(Encoding, Cp1250AndCp852RoundTrip) {
  const std::string utf8 = "GreškeSQLUpdate čćžđ ŠĐČĆŽ";
  const std::string cp1250 = Utf8ToCp1250(utf8);
  EXPECT_EQ(cp1250.size(), 26u);
  EXPECT_EQ(static_cast<unsigned char>(Utf8ToCp1250("Š")[0]), 0x8A);
  EXPECT_EQ(Cp1250ToUtf8(cp1250), utf8);
  EXPECT_EQ(Cp852ToUtf8("\xE6"), "Š");  // CP852 0xE6 is Š
  EXPECT_EQ(Utf8ToCp1250("日"), "?");
  EXPECT_EQ(Utf8ToCp1250(std::string(40, '\xFF')), std::string(40, '?'));  // one per bad byte
  EXPECT_EQ(Utf8ToCp1250("a\xE6\x97z"), "a??z");  // a cut character: each byte

  EXPECT_EQ(ArgumentToUtf8("\x8A"), "Š");  // not UTF-8: taken as CP1250
  EXPECT_EQ(ArgumentToUtf8("Š"), "Š");
}

TEST(Encoding, Utf8CharactersDecodeOneAtATime) {
  struct Case {
    std::string_view text;
    char32_t code_point;
    size_t length;
    bool shortest;
    bool valid;  // as IsValidUtf8 takes the whole text
  };
  const Case cases[] = {
      {"a", 'a', 1, true, true},
      {"\xC5\xA0x", 0x160, 2, true, true},  // Š, then more text
      {"\xE2\x82\xAC", 0x20AC, 3, true, true},
      {"\xF0\x9F\x98\x80", 0x1F600, 4, true, true},
      {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4, true, true},
      // Whole sequences that Unicode does not allow.
      {"\xC0\x80", 0, 2, false, false},  // two-byte overlong: never valid
      {"\xE0\x80\xAF", 0x2F, 3, false, true},
      {"\xED\xA0\x80", 0xD800, 3, false, true},  // a surrogate
      {"\xF4\x90\x80\x80", 0x110000, 4, false, true},
      {"\xF7\xBF\xBF\xBF", 0x1FFFFF, 4, false, true},
      // No sequence at all.
      {"", 0, 0, false, true},
      {"\x80", 0, 0, false, false},
      {"\xF8\x88\x80\x80\x80", 0, 0, false, false},
      {"\xE2\x82", 0, 0, false, false},  // cut short
      {"\xE2\x28\xA1", 0, 0, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    const Utf8Char decoded = DecodeUtf8(c.text);
    EXPECT_EQ(decoded.length, c.length);
    if (c.length != 0) {
      EXPECT_EQ(decoded.code_point, c.code_point);
    }
    EXPECT_EQ(decoded.shortest, c.shortest);
    EXPECT_EQ(IsValidUtf8(c.text), c.valid);
  }
}

}  // namespace
}  // namespace zepr
