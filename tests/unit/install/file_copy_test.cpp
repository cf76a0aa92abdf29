#include "install/file_copy.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

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
