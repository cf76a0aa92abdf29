#include "install/files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

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

TEST(CollectFolderTree, FolderEntryComesBeforeItsContentsAndDotlessNamesAreLeftOut) {
  TempDir dir;
  const std::string f = (dir.path() / "F").string();
  WriteFile(f + "/a.txt", "a");
  WriteFile(f + "/README", "r");
  WriteFile(f + "/sub/b.dll", "b");
  const std::vector<std::string> expected = {f + "/a.txt", f + "/sub/", f + "/sub/b.dll"};
  EXPECT_EQ(CollectFolderTree("*.*", f), expected);
  EXPECT_EQ(CollectFolderTree("*.*", f + "//"), expected);
  EXPECT_TRUE(CollectFolderTree("*.*", f + "/missing").empty());
}

TEST(CollectFolderTree, MatchingFolderListedTwiceTrailingDotSkippedLinksNotFollowed) {
  TempDir dir;
  const std::string f = dir.folder() + "F";
  WriteFile(f + "/Rep.v2/x.rpt", "x");
  WriteFile(f + "/odd.", "o");
  fs::create_directories(dir.path() / "outside");
  WriteFile(dir.path() / "outside" / "secret.txt", "s");
  std::vector<std::string> expected = {f + "/Rep.v2", f + "/Rep.v2/", f + "/Rep.v2/x.rpt"};
  if (testing::kSymlinks) {
    fs::create_directory_symlink(dir.path() / "outside", f + "/link.d");
    expected.push_back(f + "/link.d");
  }
  EXPECT_EQ(CollectFolderTree("*.*", f), expected);
}

TEST(DeleteFolderSilently, DeletesWhatExistsAndReportsWhatDoesNot) {
  TempDir dir;
  WriteFile(dir.path() / "tree" / "a" / "b.txt", "b");
  WriteFile(dir.path() / "file.txt", "f");
  fs::create_directories(dir.path() / "kept");
  WriteFile(dir.path() / "kept" / "k.txt", "k");
  if (testing::kSymlinks) fs::create_directory_symlink(dir.path() / "kept", dir.path() / "link");

  EXPECT_TRUE(DeleteFolderSilently((dir.path() / "tree").string()));
  EXPECT_TRUE(DeleteFolderSilently((dir.path() / "file.txt").string()));
  // A link goes, never what it points at.
  if (testing::kSymlinks) {
    EXPECT_TRUE(DeleteFolderSilently((dir.path() / "link").string()));
  }
  EXPECT_FALSE(DeleteFolderSilently((dir.path() / "missing").string()));

  EXPECT_FALSE(fs::exists(dir.path() / "tree"));
  EXPECT_FALSE(fs::exists(dir.path() / "file.txt"));
  EXPECT_EQ(ReadFile(dir.path() / "kept" / "k.txt"), "k");
}

TEST(CopyFileReplacing, ReplacesWholeKeepsTheTimeAndLeavesNothingBehind) {
  TempDir dir;
  const fs::path source = dir.path() / "new.dll";
  const fs::path target = dir.path() / "app" / "old.dll";
  WriteFile(source, "new contents");
  WriteFile(target, "old");
  fs::last_write_time(source, fs::file_time_type::clock::now() - std::chrono::hours(48));
  const auto stamp = fs::last_write_time(source);  // as kept: whole seconds on Windows

  ASSERT_TRUE(CopyFileReplacing(source.string(), target.string()));
  EXPECT_EQ(ReadFile(target), "new contents");
  EXPECT_EQ(fs::last_write_time(target), stamp);
  EXPECT_EQ(std::distance(fs::directory_iterator(target.parent_path()), fs::directory_iterator()),
            1);

  // Failures leave the target as it was.
  EXPECT_FALSE(CopyFileReplacing((dir.path() / "missing").string(), target.string()));
  EXPECT_FALSE(CopyFileReplacing(dir.path().string(), target.string()));
  std::error_code error;
  EXPECT_FALSE(
      CopyFileReplacing(source.string(), (dir.path() / "nofolder" / "x").string(), false, &error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  EXPECT_EQ(ReadFile(target), "new contents");
}

// A replacement keeps the replaced file's permissions; a new file takes the source's; a script
// copy (owner_writable) lets the owner write whatever it replaced.
TEST(CopyFileReplacing, PermissionsOfTheReplacedFileOrElseOfTheSource) {
  struct Case {
    const char* name;
    int source_mode;
    int target_mode;  // 0: no target yet
    bool owner_writable;
    int expected;
  };
  const Case cases[] = {
      {"replaced program stays executable", 0644, 0755, false, 0755},
      {"replaced private file stays private", 0755, 0600, false, 0600},
      {"new file takes the source's mode", 0640, 0, false, 0640},
      {"script copy over a read-only file", 0644, 0444, true, 0644},
      {"script copy of a new read-only file", 0444, 0, true, 0644},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path source = dir.path() / "new.bin";
    const fs::path target = dir.path() / "app.bin";
    WriteFile(source, "new");
    fs::permissions(source, fs::perms(c.source_mode));
    if (c.target_mode != 0) {
      WriteFile(target, "old");
      fs::permissions(target, fs::perms(c.target_mode));
    }
    ASSERT_TRUE(CopyFileReplacing(source.string(), target.string(), c.owner_writable));
    EXPECT_EQ(ReadFile(target), "new");
    if (testing::kPosixModes) {
      EXPECT_EQ(fs::status(target).permissions(), fs::perms(c.expected));
    } else {  // only the read-only attribute
      EXPECT_EQ(fs::status(target).permissions() & fs::perms::owner_write,
                fs::perms(c.expected) & fs::perms::owner_write);
    }
  }
}

// A link at the target is replaced by the file; what it pointed at stays as it was.
TEST(CopyFileReplacing, ReplacesALinkNotWhatItPointsAt) {
  if (!testing::kSymlinks)
    GTEST_SKIP() << "no links on Windows for a plain user or std::filesystem under mingw";
  TempDir dir;
  WriteFile(dir.path() / "new.txt", "new");
  WriteFile(dir.path() / "elsewhere.txt", "elsewhere");
  fs::permissions(dir.path() / "elsewhere.txt", fs::perms(0600));
  fs::create_symlink(dir.path() / "elsewhere.txt", dir.path() / "link.txt");
  ASSERT_TRUE(
      CopyFileReplacing((dir.path() / "new.txt").string(), (dir.path() / "link.txt").string()));
  EXPECT_FALSE(fs::is_symlink(dir.path() / "link.txt"));
  EXPECT_EQ(ReadFile(dir.path() / "link.txt"), "new");
  EXPECT_EQ(ReadFile(dir.path() / "elsewhere.txt"), "elsewhere");
}

}  // namespace
}  // namespace zepr
