#include "install/unzip.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <vector>

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
  std::string large;
  for (int i = 0; large.size() < 300000; ++i) large += "red " + std::to_string(i * 7919) + '\n';
  WriteFile(archive, BuildZip({{"Install.Ini", "[KILL]"},
                               {"sub/", ""},
                               {"sub/a.dll", "a"},
                               {"sub/deep/b.txt", "b", false, 0, testing::kDeflated},
                               {"large.txt", large, false, 0, testing::kDeflated},
                               {"empty.txt", ""}}));
  for (const std::string separator : {"", "/"}) {
    const fs::path target = dir.path() / ("Update" + separator) / "Update";
    const std::string target_text = target.string() + separator;
    ASSERT_TRUE(Unzip(archive.string(), target_text, nullptr)) << target_text;
    EXPECT_EQ(ReadFile(target / "Install.Ini"), "[KILL]");
    EXPECT_EQ(ReadFile(target / "sub" / "a.dll"), "a");
    EXPECT_EQ(ReadFile(target / "sub" / "deep" / "b.txt"), "b");
    EXPECT_EQ(ReadFile(target / "large.txt"), large);
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

// Refused entries are skipped without failing the archive: the rest still installs.
TEST(Unzip, WritesNothingOutsideTheTargetAndUnpacksTheRest) {
  TempDir dir;
  const auto outside = dir.path() / "outside";
  fs::create_directories(outside);
  const auto target = dir.path() / "app" / "Update" / "Update";
  // A link already in the target must not lead the unpack out either.
  fs::create_directories(target);
  fs::create_directory_symlink(outside, target / "old-link");
  const auto archive = dir.path() / "hostile.zip";
  WriteFile(archive, BuildZip({
                         {"../evil1.txt", "x"},
                         {(outside / "evil2.txt").string(), "x"},
                         {"sub/../../evil3.txt", "x"},
                         {"..\\..\\evil4.txt", "x"},
                         {"C:\\evil5.txt", "x"},
                         {"link", outside.string(), false, 0120777},
                         {"link/evil6.txt", "x"},
                         {"old-link/evil7.txt", "x"},
                         {"good.txt", "good"},
                     }));
  VirtualClock clock;
  testing::FakeWindow window(clock);
  EXPECT_TRUE(Unzip(archive.string(), target.string(), &window));
  EXPECT_EQ(window.Label1(), "");
  EXPECT_EQ(ReadFile(target / "good.txt"), "good");
  // The link is not made, so the entry below it stays inside the target.
  EXPECT_FALSE(fs::is_symlink(target / "link"));
  EXPECT_EQ(ReadFile(target / "link" / "evil6.txt"), "x");
  EXPECT_EQ(ReadFile(target / "old-link" / "evil7.txt"), "x");
  EXPECT_TRUE(fs::is_empty(outside));
  for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
    const bool in_target = e.path().string().starts_with(target.string() + "/");
    EXPECT_TRUE(in_target || e.path().filename().string().find("evil") == std::string::npos)
        << e.path();
  }
}

// Whatever stands at the target's own name is never followed: a link (to a folder, or to one
// that is not there) and a file give way to a real folder, and nothing reaches where a link
// leads.
TEST(Unzip, ALinkOrAFileAtTheTargetGivesWayToAFolder) {
  TempDir dir;
  const auto archive = dir.path() / "Update.zip";
  WriteFile(archive, BuildZip({{"a.txt", "a"}, {"sub/b.txt", "b"}}));
  const auto outside = dir.path() / "outside";
  WriteFile(outside / "keep.txt", "keep");
  const auto nowhere = dir.path() / "nowhere";
  const struct {
    const char* name;
    std::function<void(const fs::path&)> plant;
  } cases[] = {
      {"a link to a folder", [&](const fs::path& t) { fs::create_directory_symlink(outside, t); }},
      {"a link to nothing", [&](const fs::path& t) { fs::create_directory_symlink(nowhere, t); }},
      {"a file", [&](const fs::path& t) { WriteFile(t, "a file"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto target = dir.path() / c.name / "Update";
    fs::create_directories(target.parent_path());
    c.plant(target);
    ASSERT_TRUE(Unzip(archive.string(), target.string(), nullptr));
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(target)));
    EXPECT_EQ(ReadFile(target / "a.txt"), "a");
    EXPECT_EQ(ReadFile(target / "sub" / "b.txt"), "b");
    EXPECT_EQ(testing::ListFolder(target.parent_path()), std::vector<std::string>{"Update"});
  }
  EXPECT_EQ(testing::ListFolder(outside), std::vector<std::string>{"keep.txt"});
  EXPECT_FALSE(fs::exists(fs::symlink_status(nowhere)));
}

// What a folder holds: every entry with its mode, time and (for files) contents.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
  std::map<std::string, std::string> entries;
  if (!fs::exists(folder)) return entries;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    struct stat st {};
    lstat(e.path().c_str(), &st);
    std::string& line = entries[fs::relative(e.path(), folder).string()];
    line = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec);
    if (e.is_regular_file()) {
      line += " " + std::to_string(std::hash<std::string>{}(ReadFile(e.path())));
    }
  }
  return entries;
}

// The archive with one byte of the named entry's data changed (its local header comes first in
// the archive and has no extra field).
std::string WithDataByteChanged(std::string zip, const std::string& name) {
  zip[zip.find(name) + name.size() + 3] ^= 0x20;
  return zip;
}

// A damaged archive is not installed at all: the target keeps exactly what an earlier unpack
// left there, and a missing target is not made.
TEST(Unzip, MissingOrDamagedArchivesAreReportedInTheStatusLine) {
  TempDir dir;
  const auto app = dir.path() / "app";
  const auto target = app / "Update";
  const auto earlier = dir.path() / "earlier.zip";
  WriteFile(earlier, BuildZip({{"a.txt", "earlier a"}, {"sub/b.txt", "earlier b"}}));
  ASSERT_TRUE(Unzip(earlier.string(), target.string(), nullptr));

  // Whole entries first, so an unpack that stops at the damage has already written them.
  const std::vector<ZipEntry> good = {{"a.txt", "new a"},
                                      {"new.txt", "new"},
                                      {"sub/c.txt", "c", false, 0, testing::kDeflated},
                                      {"newdir/d.txt", "d"}};
  auto with_last = [&](ZipEntry last) {
    auto entries = good;
    entries.push_back(std::move(last));
    return entries;
  };
  const std::string last_data(4000, 'z');
  const std::string whole = BuildZip(with_last({"last.bin", last_data}));
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
      // Every entry whole, the directory missing: the download stopped at the end of the data.
      {"no-directory.zip", whole.substr(0, whole.find("PK\x01\x02")),
       "Arhiva je oštećena: no-directory.zip"},
      {"crc.zip", WithDataByteChanged(whole, "last.bin"), "Arhiva je oštećena: crc.zip"},
      {"crc-deflated.zip",
       WithDataByteChanged(
           BuildZip(with_last({"last.bin", last_data, false, 0, testing::kDeflated})), "last.bin"),
       "Arhiva je oštećena: crc-deflated.zip"},
      {"locked.zip", BuildZip(with_last({"last.bin", last_data, false, 0, testing::kStored, true})),
       "Arhiva je oštećena: locked.zip"},
      {"method.zip", BuildZip(with_last({"last.bin", last_data, false, 0, 77})),
       "Arhiva je oštećena: method.zip"},
  };
  const auto before = Snapshot(app);
  for (const auto& c : cases) {
    const auto archive = dir.path() / c.name;
    if (c.bytes) WriteFile(archive, *c.bytes);
    VirtualClock clock;
    testing::FakeWindow window(clock);
    EXPECT_FALSE(Unzip(archive.string(), target.string(), &window)) << c.name;
    EXPECT_EQ(window.Label1(), c.status);
    EXPECT_EQ(Snapshot(app), before) << c.name;

    const auto missing = dir.path() / "missing";
    EXPECT_FALSE(Unzip(archive.string(), (missing / "deeper" / "Update").string(), nullptr))
        << c.name;
    EXPECT_FALSE(fs::exists(missing)) << c.name;
  }
  // The same archive whole is installed.
  WriteFile(dir.path() / "whole.zip", whole);
  ASSERT_TRUE(Unzip((dir.path() / "whole.zip").string(), target.string(), nullptr));
  EXPECT_EQ(ReadFile(target / "a.txt"), "new a");
  EXPECT_EQ(ReadFile(target / "sub" / "b.txt"), "earlier b");
  EXPECT_EQ(ReadFile(target / "sub" / "c.txt"), "c");
  EXPECT_EQ(ReadFile(target / "last.bin"), last_data);
  EXPECT_EQ(ReadFile(target / "newdir" / "d.txt"), "d");
  // Nothing is left beside the target.
  EXPECT_EQ(std::distance(fs::directory_iterator(app), fs::directory_iterator()), 1);
}

// Sets the process umask for the test and restores it.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : previous_(umask(mask)) {}
  ~ScopedUmask() { umask(previous_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t previous_;
};

// The install step passes these modes on to new files of the application, so a program from a
// Windows zipper must come out executable.
TEST(Unzip, FilesGetTheirUnixModeOrTheUsualOnesLessTheUmask) {
  TempDir dir;
  const auto archive = dir.path() / "Update.zip";
  WriteFile(archive, BuildZip({
                         {"Demo.exe", "MZ"},
                         {"TOOL.EXE", "MZ"},
                         {"readme.txt", "r"},
                         {"dir/", ""},
                         {"deep/er/x.txt", "x"},
                         {"run.sh", "#!", false, 0100750},
                         {"secret.key", "s", false, 0100600},
                         {"notes.txt", "n", false, 0100664},
                         {"suid", "s", false, 0104755},
                         {"unix.exe", "u", false, 0100644},
                         {"udir/", "", false, 040700},
                     }));
  const std::pair<const char*, mode_t> expected[] = {
      {"Demo.exe", 0755},   {"TOOL.EXE", 0755},  {"readme.txt", 0644},    {"dir", 0755},
      {"deep", 0755},       {"deep/er", 0755},   {"deep/er/x.txt", 0644}, {"run.sh", 0750},
      {"secret.key", 0600}, {"notes.txt", 0664}, {"suid", 0755},          {"unix.exe", 0644},
      {"udir", 0755},
  };
  for (const mode_t mask : {0002, 0027}) {
    const auto target = dir.path() / ("t" + std::to_string(mask));
    {
      ScopedUmask scoped(mask);
      ASSERT_TRUE(Unzip(archive.string(), target.string(), nullptr));
    }
    for (const auto& [name, mode] : expected) {
      struct stat st {};
      ASSERT_EQ(stat((target / name).c_str(), &st), 0) << name;
      EXPECT_EQ(st.st_mode & 07777, mode & ~mask) << name << " umask " << std::oct << mask;
    }
  }
}

}  // namespace
}  // namespace zepr
