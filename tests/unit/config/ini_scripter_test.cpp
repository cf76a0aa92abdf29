#include "config/ini_scripter.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/errors.h"
#include "platform/files.h"
#include "support/sandbox.h"

namespace zepr {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
using Lines = std::vector<std::string>;

const std::string kEnc(TIniScripter::kEncipherMarker);
const std::string kDec(TIniScripter::kDecipherMarker);

// A value as the scripter stores it: enciphered alone, between decipher markers.
std::string Stored(const std::string& plain) {
  TEnigma e;
  e.Add(plain);
  e.Encipher();
  return kDec + e[0] + kDec;
}
std::string Marked(const std::string& plain) { return kEnc + plain + kEnc; }

struct Load {
  std::string file_after;
  Lines values;
};
struct Case {
  const char* name;
  std::string file;
  std::vector<Load> loads;
};

TEST(IniScripter, EnciphersOneValuePerLoadThenDeciphers) {
  const std::string small_s = "<@ENIGMA\x9AIFRIRAJ@>abc<@ENIGMA\x9AIFRIRAJ@>";
  const std::string lower = "<@enigma\x8Aifriraj@>";
  const Case cases[] = {
      {"no markers: nothing written, LF kept", "[A]\nX=1\n", {{"[A]\nX=1\n", {}}}},
      {"first load enciphers, next deciphers",
       "[A]\nPASSWORD=" + Marked("abc") + "\nX=1",
       {{"[A]\r\nPASSWORD=" + Stored("abc") + "\r\nX=1\r\n", {}},
        {"[A]\r\nPASSWORD=" + Stored("abc") + "\r\nX=1\r\n", {"abc"}}}},
      {"two marked values take two loads; values in line order",
       "B=" + Marked("second") + "\r\nA=" + Marked("first") + "\r\n",
       {{"B=" + Stored("second") + "\r\nA=" + Marked("first") + "\r\n", {}},
        {"B=" + Stored("second") + "\r\nA=" + Stored("first") + "\r\n", {}},
        {"B=" + Stored("second") + "\r\nA=" + Stored("first") + "\r\n", {"second", "first"}}}},
      {"enciphering leaves enciphered values alone",
       "A=" + Stored("old") + "\r\nB=" + Marked("new") + "\r\n",
       {{"A=" + Stored("old") + "\r\nB=" + Stored("new") + "\r\n", {}},
        {"A=" + Stored("old") + "\r\nB=" + Stored("new") + "\r\n", {"old", "new"}}}},
      {"empty value",
       "P=" + Marked("") + "\r\n",
       {{"P=" + kDec + kDec + "\r\n", {}}, {"P=" + kDec + kDec + "\r\n", {""}}}},
      {"text after the closing marker is kept",
       "P=" + Marked("abc") + " ;note\r\n",
       {{"P=" + Stored("abc") + " ;note\r\n", {}}, {"P=" + Stored("abc") + " ;note\r\n", {"abc"}}}},
      {"small \x9A is no marker", "P=" + small_s + "\n", {{"P=" + small_s + "\n", {}}}},
      {"unpaired marker is text and does not block deciphering",
       "P=" + kEnc + "abc\nQ=" + Stored("x") + "\n",
       {{"P=" + kEnc + "abc\nQ=" + Stored("x") + "\n", {"x"}}}},
      {"value spread over two lines is text",
       "P=" + kEnc + "ab\nc" + kEnc + "\n",
       {{"P=" + kEnc + "ab\nc" + kEnc + "\n", {}}}},
      {"several values on one line keep their own markers",
       "P=" + Marked("x") + " " + Marked("y") + "\r\n",
       {{"P=" + Stored("x") + " " + Marked("y") + "\r\n", {}},
        {"P=" + Stored("x") + " " + Stored("y") + "\r\n", {}},
        {"P=" + Stored("x") + " " + Stored("y") + "\r\n", {"x", "y"}}}},
      {"small ASCII markers are markers",
       "P=" + lower + "abc" + lower + "\r\n",
       {{"P=" + Stored("abc") + "\r\n", {}}, {"P=" + Stored("abc") + "\r\n", {"abc"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir.path() / "Update.ini";
    WriteFile(path, c.file);
    TIniScripter scripter;
    scripter.Init();
    for (size_t n = 0; n < c.loads.size(); ++n) {
      SCOPED_TRACE("load " + std::to_string(n + 1));
      scripter.LoadFromFile(path.string());
      EXPECT_EQ(ReadFile(path), c.loads[n].file_after);
      Lines values;
      for (size_t k = 0; k < scripter.ValueCount(); ++k) values.push_back(scripter.GetValue(k));
      EXPECT_EQ(values, c.loads[n].values);
    }
    EXPECT_FALSE(std::filesystem::exists(path.string() + ".tmp"));
  }
}

TEST(IniScripter, DecipherLoadShowsPlainLinesAndWhereValuesCameFrom) {
  TempDir dir;
  const auto path = dir.path() / "u.ini";
  WriteFile(path,
            "[A]\r\nPASSWORD=" + Stored("abc") + "!\r\n[B]\r\nPASSWORD=" + Stored("de") + "\r\n");
  TIniScripter scripter;
  scripter.Init();
  scripter.LoadFromFile(path.string());
  EXPECT_EQ(scripter.Lines(), (Lines{"[A]", "PASSWORD=" + kDec + "abc" + kDec + "!", "[B]",
                                     "PASSWORD=" + kDec + "de" + kDec}));
  EXPECT_EQ(scripter.ValueLine(0), 1u);
  EXPECT_EQ(scripter.ValueLine(1), 3u);
  EXPECT_EQ(scripter.GetValue(2), "");  // beyond the end
  EXPECT_EQ(scripter.ValueLine(2), std::string::npos);
  scripter.AddValue("extra");
  EXPECT_EQ(scripter.GetValue(2), "extra");
  scripter.Clear();
  EXPECT_EQ(scripter.ValueCount(), 0u);
  EXPECT_TRUE(scripter.Lines().empty());
}

TEST(IniScripter, FailuresNameThePathAndKeepTheFile) {
  TempDir dir;
  const auto path = dir.path() / "Update.ini";
  const std::string original = "P=" + Marked("abc") + "\n";
  WriteFile(path, original);
  // Something that cannot be replaced where the new file would be written.
  std::filesystem::create_directory(path.string() + ".tmp");
  TIniScripter scripter;
  scripter.Init();
  try {
    scripter.LoadFromFile(path.string());
    ADD_FAILURE() << "write-back did not fail";
  } catch (const WriteBackError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot create file \"" + path.string() + "\". ", 0), 0u)
        << e.what();
  }
  EXPECT_EQ(ReadFile(path), original);

  const std::string missing = (dir.path() / "none.ini").string();
  std::error_code no_file;  // in the system's own words, as the message gives them
  platform::File::OpenForReading(missing, no_file);
  ASSERT_EQ(no_file, std::errc::no_such_file_or_directory);
  try {
    scripter.LoadFromFile(missing);
    ADD_FAILURE() << "missing file loaded";
  } catch (const UpdateError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + missing + "\". " + no_file.message());
    // Only a write-back may be passed over; a file that cannot be read stops the run.
    EXPECT_EQ(dynamic_cast<const WriteBackError*>(&e), nullptr);
  }
  EXPECT_FALSE(std::filesystem::exists(missing));
}

}  // namespace
}  // namespace zepr
