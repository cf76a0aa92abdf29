#include "install/folder_tree.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

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
}  // namespace
}  // namespace zepr
