#include "config/ini_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/path_text.h"
#include "core/text.h"
#include "support/sandbox.h"

namespace zepr {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
using Lines = std::vector<std::string>;

// One file that exercises every lexical rule; CP1250 bytes, mixed line ends.
const char kRules[] =
    "top=before any section\r\n"
    "; a comment=not a key\r\n"
    "  [ Prvi ]  \r\n"
    "  Name  =  spaced value  \r\n"
    "dq=\"Update.zip\"\n"
    "sq='single'\n"
    "half=\"open only\r"
    "inner=a \"b\" c\r\n"
    "both=\"'mixed\"'\n"
    "only=\"\n"
    "empty=\n"
    "stray line without equals\n"
    "eq=a=b ; kept\n"
    "dup=first\n"
    "DUP=second\n"
    "hr=\x9A\x8A\xE8\xC8\n"
    "[Drugi]\n"
    "1=a\n"
    "2=b\n"
    "2=c\n"
    "[prvi]\n"
    "hidden=never seen\n"
    "[\x8A"
    "ifre]\n"
    "k=v\n"
    "[broken\n"
    "x=y";

TEST(IniFile, ReadsValuesByTheRules) {
  TempDir dir;
  WriteFile(dir.path() / "rules.ini", kRules);
  IniFile ini = IniFile::Load((dir.path() / "rules.ini").string());
  ASSERT_TRUE(ini.Exists());

  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  };
  const Case cases[] = {
      {"Prvi", "Name", "spaced value"},
      {"PRVI", "name", "spaced value"},  // names ignore letter case
      {"prvi", "dq", "Update.zip"},
      {"Prvi", "sq", "single"},
      {"Prvi", "half", "\"open only"},  // quotes go only as an enclosing pair
      {"Prvi", "inner", "a \"b\" c"},
      {"Prvi", "both", "\"'mixed\"'"},  // not a matching pair
      {"Prvi", "only", "\""},
      {"Prvi", "empty", ""},
      {"Prvi", "eq", "a=b ; kept"},
      {"Prvi", "dup", "first"},                            // the first occurrence wins
      {"Prvi", "hr", "\xC5\xA1\xC5\xA0\xC4\x8D\xC4\x8C"},  // CP1250 becomes UTF-8
      {"Prvi", "hidden", "<default>"},                     // repeated section is not read
      {"Prvi", "top", "<default>"},                        // keys before any section
      {"Prvi", "; a comment", "<default>"},
      {"Drugi", "2", "b"},
      {"\xC5\xA1IFRE", "K", "v"},  // Croatian letters ignore case too
      {"broken", "x", "y"},
      {"Nema", "Name", "<default>"},
      {"Drugi", "missing", "<default>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ini.ReadString(c.section, c.key, "<default>"), c.expected)
        << "[" << c.section << "] " << c.key;
  }
  EXPECT_EQ(ini.Sections(), (Lines{"Prvi", "Drugi", "\xC5\xA0ifre", "broken"}));
  EXPECT_EQ(ini.Keys("prvi"), (Lines{"Name", "dq", "sq", "half", "inner", "both", "only", "empty",
                                     "eq", "dup", "DUP", "hr"}));
  EXPECT_TRUE(ini.Keys("Nema").empty());
}

TEST(IniFile, LongValuesAreCutAt2047Characters) {
  TempDir dir;
  std::string long_value(3000, '\xE8');  // one CP1250 byte, two UTF-8 bytes each
  WriteFile(dir.path() / "a.ini", "[s]\nk=\"" + long_value + "\"\n");
  std::string value = IniFile::Load((dir.path() / "a.ini").string()).ReadString("s", "k", "");
  EXPECT_EQ(value.size(), 2047u * 2);
  EXPECT_EQ(value.substr(0, 2), "\xC4\x8D");
}

TEST(IniFile, Utf8FileWithByteOrderMarkIsReadAsUtf8) {
  TempDir dir;
  WriteFile(dir.path() / "bom.ini", "\xEF\xBB\xBF[S]\r\nk=\xC5\xA1\r\n");
  IniFile ini = IniFile::Load((dir.path() / "bom.ini").string());
  EXPECT_EQ(ini.Sections(), Lines{"S"});
  EXPECT_EQ(ini.ReadString("s", "k", ""), "\xC5\xA1");
}

// The scripter finds a value's line in the lines the reader saw. In a file read as CP1250
// (a mark, then bytes that are not UTF-8), a second mark at the start of the text once passed
// for the first there, made "[S]" a section, and lost the key of the later "[s]" (found by the
// fuzzer).
TEST(IniFile, KeyLineIsFoundInTheLinesTheReaderSaw) {
  const std::string text = "\xEF\xBB\xBF\xEF\xBB\xBF[S]\nk=\x9A\n[s]\nL=@\n";
  const IniText file = SplitIniText(text);
  ASSERT_FALSE(file.utf8);
  const auto lines = SplitLines(file.body);
  EXPECT_EQ(IniKeyLine(lines, file.utf8, "s", "L"), 3u);
  EXPECT_EQ(IniKeyLine(lines, file.utf8, "S", "k"), std::nullopt);  // not a section to the reader
}

TEST(IniFile, MissingFileIsEmptyAndNotCreated) {
  TempDir dir;
  std::string path = (dir.path() / "none.ini").string();
  IniFile ini = IniFile::Load(path);
  EXPECT_FALSE(ini.Exists());
  EXPECT_TRUE(ini.Sections().empty());
  EXPECT_EQ(ini.ReadString("a", "b", "d"), "d");
  EXPECT_TRUE(IniSekcijaLista("a", path).empty());
  EXPECT_TRUE(IniSekcije(path).empty());
  EXPECT_EQ(ReadIniValue(dir.folder(), "none.ini", "a", "b", "d"), "");
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(IniFile, SectionListsFollowKeyOrderWithFirstDuplicateValue) {
  TempDir dir;
  std::string path = (dir.path() / "list.ini").string();
  WriteFile(path, "[UPDATE]\n1=a\n2=b\n2=c\n3=\"Update.zip\"\n[Druga]\n");
  EXPECT_EQ(IniSekcijaLista("update", path), (Lines{"a", "b", "b", "Update.zip"}));
  EXPECT_TRUE(IniSekcijaLista("Druga", path).empty());
  EXPECT_TRUE(IniSekcijaLista("Nema", path).empty());
  EXPECT_EQ(IniSekcije(path), (Lines{"UPDATE", "Druga"}));
}

// The path found is the file's own spelling; on Windows, where every spelling names the same
// file, any path to that file will do.
::testing::AssertionResult FindsFile(const std::string& found, const std::string& expected) {
  std::error_code ec;
  if (testing::kCaseSensitiveNames
          ? found == expected
          : !found.empty() &&
                std::filesystem::equivalent(PathFromUtf8(found), PathFromUtf8(expected), ec)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "found \"" << found << "\", expected \"" << expected << "\"";
}

TEST(IniFile, FilesAreFoundWhateverTheirLetterCase) {
  TempDir dir;
  WriteFile(dir.path() / "UPDATE.INI", "[A]\nK=1\n");
  std::filesystem::create_directory(dir.path() / "Sub");
  WriteFile(dir.path() / "Sub" / "Install.Ini", "[B]\nK=2\n");

  EXPECT_TRUE(FindsFile(FindFileAnyCase(dir.folder(), "Update.ini"), dir.folder() + "UPDATE.INI"));
  EXPECT_EQ(FindFileAnyCase(dir.folder(), "UPDATE.INI"), dir.folder() + "UPDATE.INI");
  EXPECT_TRUE(FindsFile(FindFileAnyCase(dir.folder(), "sub\\INSTALL.INI"),
                        dir.folder() + "Sub/Install.Ini"));
  EXPECT_EQ(FindFileAnyCase(dir.folder(), "Other.ini"), "");
  EXPECT_EQ(FindFileAnyCase(dir.folder(), ""), "");

  EXPECT_EQ(ReadIniValue(dir.folder(), "Update.ini", "a", "k", "d"), "1");
  EXPECT_EQ(ReadIniValue(dir.folder(), "Update.ini", "a", "none", "d"), "d");
  EXPECT_EQ(IniSekcije(dir.folder() + "Sub/install.ini"), Lines{"B"});
  EXPECT_EQ(ReadFile(dir.path() / "UPDATE.INI"), "[A]\nK=1\n");
}

TEST(IniFile, ExactSpellingWinsOverOtherCases) {
  if (!testing::kCaseSensitiveNames) {
    GTEST_SKIP() << "names that differ only in letter case are one file on Windows";
  }
  TempDir dir;
  WriteFile(dir.path() / "update.ini", "x");
  WriteFile(dir.path() / "Update.ini", "y");
  WriteFile(dir.path() / "UPDATE.INI", "z");
  EXPECT_EQ(FindFileAnyCase(dir.folder(), "Update.ini"), dir.folder() + "Update.ini");
  EXPECT_EQ(FindFileAnyCase(dir.folder(), "uPDATE.INI"), dir.folder() + "UPDATE.INI");
}

}  // namespace
}  // namespace zepr
