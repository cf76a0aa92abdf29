// What the SQL session hands to the driver manager: text in UTF-16, the driver it picks, and the
// connection string in the keys of that driver.
#include "dbupdate/odbc_text.h"

#include <gtest/gtest.h>

#include "core/errors.h"
#include "dbupdate/sql_session.h"

namespace zepr {
namespace {

TEST(OdbcText, Utf8AndUtf16RoundTrip) {
  struct Case {
    std::string utf8;
    std::u16string utf16;
  } cases[] = {
      {"", u""},
      {"Đuro Šimić", u"Đuro Šimić"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
      // Beyond the first plane: a surrogate pair.
      {"x\U0001F600y", u"x\U0001F600y"},
      {"\U0010FFFF\uFFFD\u20AC", u"\U0010FFFF\uFFFD\u20AC"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16) << c.utf8;
    EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8) << c.utf8;
  }
}

TEST(OdbcText, BrokenInputBecomesReplacementCharacters) {
  const std::pair<std::string, std::u16string> from_utf8[] = {
      {"a\xC4", u"a\uFFFD"},                              // cut short at the end
      {"\xC4z", u"\uFFFDz"},                              // continuation missing
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong "/"
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
      {"\xFF", u"\uFFFD"},
  };
  for (const auto& [utf8, utf16] : from_utf8) EXPECT_EQ(Utf8ToUtf16(utf8), utf16);

  const std::pair<std::u16string, std::string> from_utf16[] = {
      {std::u16string{char16_t(0xD83D)}, "\uFFFD"},         // lone high surrogate
      {std::u16string{char16_t(0xDE00), u'a'}, "\uFFFDa"},  // lone low surrogate
      {std::u16string{char16_t(0xD83D), u'a'}, "\uFFFDa"},  // high without its pair
  };
  for (const auto& [utf16, utf8] : from_utf16) EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
}

TEST(ChooseOdbcDriver, NewestSqlServerDriverThenTheOthers) {
  struct Case {
    std::vector<std::string> listed;
    std::string chosen;
  } cases[] = {
      {{"SQL Server", "ODBC Driver 17 for SQL Server", "ODBC Driver 18 for SQL Server"},
       "ODBC Driver 18 for SQL Server"},
      // By number, not by text: 9 is older than 17.
      {{"ODBC Driver 17 for SQL Server", "ODBC Driver 9 for SQL Server"},
       "ODBC Driver 17 for SQL Server"},
      {{"Microsoft Access Driver (*.mdb)", "SQL Server", "FreeTDS"}, "SQL Server"},
      // What Wine lists: the host's driver.
      {{"FreeTDS"}, "FreeTDS"},
      {{"freetds", "odbc driver 18 for sql server"}, "odbc driver 18 for sql server"},
      {{"ODBC Driver x for SQL Server", "SQL Server Native Client 11.0", "freetds"}, "freetds"},
      {{}, "SQL Server"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ChooseOdbcDriver(c.listed), c.chosen) << ::testing::PrintToString(c.listed);
  }
}

TEST(OdbcConnectionString, KeysFollowTheDriver) {
  const ConnectionItems items{"db.local,1444", "sa", "a}b", "Radna"};
  EXPECT_EQ(OdbcConnectionString(items, "FreeTDS"),
            "DRIVER={FreeTDS};SERVER={db.local};PORT={1444};UID={sa};PWD={a}b};"
            "DATABASE={Radna};TDS_Version=7.4;ClientCharset=UTF-8");
  EXPECT_EQ(OdbcConnectionString(items, "/usr/lib/odbc/libtdsodbc.so"),
            "DRIVER={/usr/lib/odbc/libtdsodbc.so};SERVER={db.local};PORT={1444};UID={sa};"
            "PWD={a}b};DATABASE={Radna};TDS_Version=7.4;ClientCharset=UTF-8");
  EXPECT_EQ(OdbcConnectionString(items, "SQL Server"),
            "DRIVER={SQL Server};SERVER={db.local,1444};UID={sa};PWD={a}b};DATABASE={Radna}");
  EXPECT_EQ(OdbcConnectionString({"host\\SQL2008", "u", "", ""}, "ODBC Driver 17 for SQL Server"),
            "DRIVER={ODBC Driver 17 for SQL Server};SERVER={host\\SQL2008};UID={u};PWD={}");
  // From version 18 the driver would refuse every server without a trusted certificate.
  EXPECT_EQ(OdbcConnectionString(items, "ODBC Driver 18 for SQL Server"),
            "DRIVER={ODBC Driver 18 for SQL Server};SERVER={db.local,1444};UID={sa};PWD={a}b};"
            "DATABASE={Radna};Encrypt=Optional");
  EXPECT_THROW(OdbcConnectionString({"srv", "sa", "x};DATABASE=master", ""}, "SQL Server"),
               UpdateError);
}

}  // namespace
}  // namespace zepr
