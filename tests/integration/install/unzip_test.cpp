#include "install/unzip.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>

#include "support/fake_window.h"
#include "support/sandbox.h"
#include "zip_writer.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::BuildZip;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
using testing::ZipEntry;

size_t CountFiles(const fs::path& folder) {
  size_t count = 0;
  for (const auto& e : fs::recursive_directory_iterator(folder)) count += e.is_regular_file();
  return count;
}

TEST(Unzip, RebuildsTheTreeInATargetGivenWithOrWithoutSeparator) {
  TempDir dir;
  const auto archive = dir.path() / "Update.zip";
  WriteFile(archive, BuildZip({{"Install.Ini", "[KILL]"},
                               {"sub/", ""},
                               {"sub/a.dll", "a"},
                               {"sub/deep/b.txt", "b"},
                               {"empty.txt", ""}}));
  for (const std::string separator : {"", "/"}) {
    const fs::path target = dir.path() / ("Update" + separator) / "Update";
    const std::string target_text = target.string() + separator;
    ASSERT_TRUE(Unzip(archive.string(), target_text, nullptr)) << target_text;
    EXPECT_EQ(ReadFile(target / "Install.Ini"), "[KILL]");
    EXPECT_EQ(ReadFile(target / "sub" / "a.dll"), "a");
    EXPECT_EQ(ReadFile(target / "sub" / "deep" / "b.txt"), "b");
    EXPECT_TRUE(fs::is_regular_file(target / "empty.txt"));
  }
}

TEST(Unzip, ReplacesWhatIsThereAndKeepsStoredTimes) {
  TempDir dir;
  const auto target = dir.path() / "t";
  WriteFile(target / "a.txt", "older and longer contents");
  WriteFile(target / "ro.txt", "read-only");
  fs::permissions(target / "ro.txt", fs::perms::owner_read);
  const auto archive = dir.path() / "Update.zip";
  WriteFile(archive,
            BuildZip({{"a.txt", "new"}, {"ro.txt", "replaced"}}, {2019, 12, 31, 23, 58, 10}));
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(Unzip(archive.string(), target.string(), nullptr));
  }
  EXPECT_EQ(ReadFile(target / "a.txt"), "new");
  EXPECT_EQ(ReadFile(target / "ro.txt"), "replaced");
  EXPECT_EQ(CountFiles(target), 2u);

  // The stored time is local time; the SQL runner compares file dates with the database's.
  std::tm local{};
  local.tm_year = 2019 - 1900;
  local.tm_mon = 11;
  local.tm_mday = 31;
  local.tm_hour = 23;
  local.tm_min = 58;
  local.tm_sec = 10;
  local.tm_isdst = -1;
  struct stat st {};
  ASSERT_EQ(stat((target / "a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, std::mktime(&local));
}

// Folder times are set when extraction ends; they must land on the target's folders, not on
// folders of the same name in the process's current folder.
TEST(Unzip, FoldersGetTheirStoredTimesInTheTargetOnly) {
  TempDir dir;
  fs::create_directories(dir.path() / "cwd" / "sub");
  const auto cwd_time = fs::last_write_time(dir.path() / "cwd" / "sub");
  const auto archive = dir.path() / "Update.zip";
  WriteFile(archive, BuildZip({{"sub/", ""}, {"sub/a.txt", "a"}}, {2001, 2, 3, 4, 5, 6}));
  const fs::path previous = fs::current_path();
  fs::current_path(dir.path() / "cwd");
  const bool ok = Unzip(archive.string(), (dir.path() / "t").string(), nullptr);
  fs::current_path(previous);
  ASSERT_TRUE(ok);
  EXPECT_EQ(fs::last_write_time(dir.path() / "cwd" / "sub"), cwd_time);
  EXPECT_LT(fs::last_write_time(dir.path() / "t" / "sub"), cwd_time - std::chrono::hours(24 * 365));
}

TEST(Unzip, NamesFromWindowsZippersBecomeUtf8Paths) {
  TempDir dir;
  const auto archive = dir.path() / "Update.zip";
  WriteFile(archive,
            BuildZip({
                {"Ra\x9fun \xe6ifre\xa7.rpt", "cp852"},  // "Račun Šifrež.rpt", no UTF-8 mark
                {"\xc5\xa0ifre.txt", "utf8", true},      // "Šifre.txt", marked UTF-8
                {"Izvjestaji\\Mjesecni\\r.rpt", "r"},
                {"Prazno\\", ""},
            }));
  const auto target = dir.path() / "t";
  ASSERT_TRUE(Unzip(archive.string(), target.string(), nullptr));
  EXPECT_EQ(ReadFile(target / "Račun Šifrež.rpt"), "cp852");
  EXPECT_EQ(ReadFile(target / "Šifre.txt"), "utf8");
  EXPECT_EQ(ReadFile(target / "Izvjestaji" / "Mjesecni" / "r.rpt"), "r");
  EXPECT_TRUE(fs::is_directory(target / "Prazno"));
}

TEST(Unzip, WritesNothingOutsideTheTarget) {
  TempDir dir;
  const auto outside = dir.path() / "outside";
  fs::create_directories(outside);
  const auto target = dir.path() / "app" / "Update" / "Update";
  const auto archive = dir.path() / "hostile.zip";
  WriteFile(archive, BuildZip({
                         {"../evil1.txt", "x"},
                         {(outside / "evil2.txt").string(), "x"},
                         {"sub/../../evil3.txt", "x"},
                         {"..\\..\\evil4.txt", "x"},
                         {"C:\\evil5.txt", "x"},
                         {"link", outside.string(), false, 0120777},
                         {"link/evil6.txt", "x"},
                         {"good.txt", "good"},
                     }));
  VirtualClock clock;
  testing::FakeWindow window(clock);
  EXPECT_FALSE(Unzip(archive.string(), target.string(), &window));
  EXPECT_EQ(window.Label1(), "Arhiva je oštećena: hostile.zip");
  EXPECT_EQ(ReadFile(target / "good.txt"), "good");
  // The link is not made, so the entry below it stays inside the target.
  EXPECT_FALSE(fs::is_symlink(target / "link"));
  EXPECT_EQ(ReadFile(target / "link" / "evil6.txt"), "x");
  EXPECT_TRUE(fs::is_empty(outside));
  for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
    const bool in_target = e.path().string().starts_with(target.string() + "/");
    EXPECT_TRUE(in_target || e.path().filename().string().find("evil") == std::string::npos)
        << e.path();
  }
}

TEST(Unzip, MissingOrDamagedArchivesAreReportedInTheStatusLine) {
  TempDir dir;
  const std::string whole = BuildZip({{"a.txt", std::string(1000, 'a')}, {"b.txt", "b"}});
  struct Case {
    const char* name;
    std::optional<std::string> bytes;  // nullopt: no such file
    const char* status;
  };
  const Case cases[] = {
      {"Update.zip", std::nullopt, "Arhiva nije pronađena: Update.zip"},
      {"empty.zip", "", "Arhiva je oštećena: empty.zip"},
      {"text.zip", "this is not an archive", "Arhiva je oštećena: text.zip"},
      {"cut.zip", whole.substr(0, whole.size() / 2), "Arhiva je oštećena: cut.zip"},
  };
  for (const auto& c : cases) {
    const auto archive = dir.path() / c.name;
    if (c.bytes) WriteFile(archive, *c.bytes);
    VirtualClock clock;
    testing::FakeWindow window(clock);
    EXPECT_FALSE(Unzip(archive.string(), (dir.path() / "t").string(), &window)) << c.name;
    EXPECT_EQ(window.Label1(), c.status);
    EXPECT_FALSE(Unzip(archive.string(), (dir.path() / "t").string(), nullptr)) << c.name;
  }
}

}  // namespace
}  // namespace zepr
