#include "platform/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "core/path_text.h"
#include "core/text.h"
#include "support/sandbox.h"

namespace zepr::platform {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::WriteFile;

// Names outside ASCII, so that a path taken in the wrong code page shows.
class FilesTest : public ::testing::Test {
 protected:
  std::string At(const std::string& name) const { return Utf8FromPath(dir_.path()) + "/" + name; }
  static bool Writable(const std::string& path) {
    return (fs::status(PathFromUtf8(path)).permissions() & fs::perms::owner_write) !=
           fs::perms::none;
  }
  static void MakeReadOnly(const std::string& path) {
    fs::permissions(PathFromUtf8(path),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
  }

  testing::TempDir dir_;
};

TEST_F(FilesTest, OneLockHolderAtATime) {
  const std::string journal = At("dnevnik-š.journal");
  std::error_code error;
  File holder = File::OpenLocked(journal, false, error);
  ASSERT_TRUE(holder) << error.message();
  ASSERT_FALSE(holder.Append("held"));

  // Another handle, even in this process, is refused without an error when it does not wait.
  File second = File::OpenLocked(journal, false, error);
  EXPECT_FALSE(second);
  EXPECT_FALSE(error) << error.message();

  ASSERT_FALSE(holder.Close());
  second = File::OpenLocked(journal, false, error);
  ASSERT_TRUE(second) << error.message();
  std::string bytes;
  ASSERT_FALSE(second.ReadAll(bytes));
  EXPECT_EQ(bytes, "held");
}

// Whether the waiter opened the file before the holder removed it or after, it ends up holding
// the file the name shows, not a removed one that nobody else would lock.
TEST_F(FilesTest, WaiterLocksTheFileTheNameShowsAfterTheHolderRemovedIt) {
  const std::string journal = At("dnevnik.journal");
  std::error_code error;
  File holder = File::OpenLocked(journal, false, error);
  ASSERT_TRUE(holder) << error.message();
  std::error_code waiter_error;
  std::thread waiter([&] {
    File file = File::OpenLocked(journal, true, waiter_error);
    if (file) waiter_error = file.Append("waiter");
  });
  ASSERT_FALSE(holder.Append("old"));
  ASSERT_FALSE(holder.RemoveName(journal));
  ASSERT_FALSE(holder.Close());
  waiter.join();
  EXPECT_FALSE(waiter_error) << waiter_error.message();
  EXPECT_EQ(ReadFile(PathFromUtf8(journal)), "waiter");
}

TEST_F(FilesTest, WritesAppendsTruncatesAndReadsPastOneBuffer) {
  std::error_code error;
  File file = File::CreateNew(At("podaci.bin"), error);
  ASSERT_TRUE(file) << error.message();
  const std::string big(100000, 'x');
  ASSERT_FALSE(file.WriteAt("abc", 0));
  ASSERT_FALSE(file.Truncate(1));
  ASSERT_FALSE(file.Append(big));
  ASSERT_FALSE(file.WriteAt("Z", 3));
  ASSERT_FALSE(file.SyncData());
  ASSERT_FALSE(file.Close());

  const File again = File::OpenForReading(At("podaci.bin"), error);
  ASSERT_TRUE(again) << error.message();
  std::string bytes;
  ASSERT_FALSE(again.ReadAll(bytes));
  EXPECT_EQ(bytes, "a" + big.substr(0, 2) + "Z" + big.substr(3));

  // A new file never takes the place of anything.
  EXPECT_FALSE(File::CreateNew(At("podaci.bin"), error));
  EXPECT_EQ(error, std::errc::file_exists);
  EXPECT_FALSE(File::OpenForReading(At("nema.bin"), error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  EXPECT_FALSE(error.message().empty());
}

TEST_F(FilesTest, RenameReplacesAFileReadOnlyOrNotButNeverAFolder) {
  WriteFile(PathFromUtf8(At("novi-č.txt")), "new");
  WriteFile(PathFromUtf8(At("stari-ć.txt")), "old");
  MakeReadOnly(At("stari-ć.txt"));
  ASSERT_FALSE(Rename(At("novi-č.txt"), At("stari-ć.txt")));
  EXPECT_EQ(ReadFile(PathFromUtf8(At("stari-ć.txt"))), "new");
  EXPECT_FALSE(fs::exists(PathFromUtf8(At("novi-č.txt"))));

  fs::create_directory(PathFromUtf8(At("mapa")));
  const std::error_code error = Rename(At("stari-ć.txt"), At("mapa"));
  EXPECT_TRUE(error);
  EXPECT_FALSE(OnAnotherFileSystem(error));
  EXPECT_EQ(ReadFile(PathFromUtf8(At("stari-ć.txt"))), "new");
  EXPECT_TRUE(fs::is_directory(PathFromUtf8(At("mapa"))));

  EXPECT_EQ(Rename(At("nema.txt"), At("x.txt")), std::errc::no_such_file_or_directory);
}

TEST_F(FilesTest, RenameToAnotherFileSystemIsReportedAsSuch) {
  // Memory-backed /dev/shm is another file system than the temporary folder on most machines.
  std::error_code ec;
  const fs::path other = "/dev/shm";
  if (!fs::is_directory(other, ec)) GTEST_SKIP() << "no second file system to rename to";
  WriteFile(PathFromUtf8(At("a.txt")), "a");
  const std::string target =
      Utf8FromPath(other / ("zepr-files-test-" + Utf8FromPath(dir_.path().filename())));
  const std::error_code error = Rename(At("a.txt"), target);
  if (!error) {
    RemoveFile(target);
    GTEST_SKIP() << "/dev/shm is on the same file system here";
  }
  EXPECT_TRUE(OnAnotherFileSystem(error)) << error.message();
  EXPECT_EQ(ReadFile(PathFromUtf8(At("a.txt"))), "a");
}

// The replaced file's permissions win over the source's; the script's copy may always be written.
TEST_F(FilesTest, CopyTakesThePermissionsOfWhatItReplaces) {
  struct Case {
    const char* name;
    bool source_read_only;
    int replaced;  // 0: nothing replaced, 1: a writable file, 2: a read-only one
    bool owner_writable;
    bool writable;
  };
  const Case cases[] = {
      {"new file like its read-only source", true, 0, false, false},
      {"writable file replaced by a read-only source", true, 1, false, true},
      {"read-only file stays read-only", false, 2, false, false},
      {"script copy over a read-only file", false, 2, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string source = At(std::string("izvor-") + c.name);
    const std::string replaced = At(std::string("cilj-") + c.name);
    const std::string copy = At(std::string("kopija-") + c.name);
    WriteFile(PathFromUtf8(source), "new");
    fs::last_write_time(PathFromUtf8(source),
                        fs::file_time_type::clock::now() - std::chrono::hours(48));
    if (c.source_read_only) MakeReadOnly(source);
    if (c.replaced != 0) {
      WriteFile(PathFromUtf8(replaced), "old");
      if (c.replaced == 2) MakeReadOnly(replaced);
    }
    ASSERT_FALSE(CopyFileAs(source, copy, replaced, c.owner_writable));
    EXPECT_EQ(ReadFile(PathFromUtf8(copy)), "new");
    EXPECT_EQ(Writable(copy), c.writable);
    EXPECT_EQ(fs::last_write_time(PathFromUtf8(copy)), fs::last_write_time(PathFromUtf8(source)));
    // Whatever it became, it can go again.
    EXPECT_FALSE(RemoveFile(copy));
    EXPECT_FALSE(fs::exists(PathFromUtf8(copy)));
  }
}

TEST_F(FilesTest, CopyFailuresLeaveNothingAndKeepWhatIsThere) {
  WriteFile(PathFromUtf8(At("izvor.txt")), "new");
  WriteFile(PathFromUtf8(At("postoji.txt")), "there");
  EXPECT_EQ(CopyFileAs(At("izvor.txt"), At("postoji.txt"), "", false), std::errc::file_exists);
  EXPECT_EQ(ReadFile(PathFromUtf8(At("postoji.txt"))), "there");
  EXPECT_EQ(CopyFileAs(At("nema.txt"), At("kopija.txt"), "", false),
            std::errc::no_such_file_or_directory);
  EXPECT_EQ(CopyFileAs(Utf8FromPath(dir_.path()), At("kopija.txt"), "", false),
            std::errc::invalid_argument);
  EXPECT_TRUE(CopyFileAs(At("izvor.txt"), At("nema/kopija.txt"), "", false));
  EXPECT_EQ(testing::ListFolder(dir_.path()),
            (std::vector<std::string>{"izvor.txt", "postoji.txt"}));
}

TEST_F(FilesTest, MayRewriteOnlyAWritableRegularFile) {
  WriteFile(PathFromUtf8(At("pisati.ini")), "w");
  WriteFile(PathFromUtf8(At("samo-čitati.ini")), "r");
  MakeReadOnly(At("samo-čitati.ini"));
  fs::create_directory(PathFromUtf8(At("mapa.ini")));
  EXPECT_FALSE(MayRewrite(At("pisati.ini")));
  // Read-only binds a privileged process too.
  EXPECT_EQ(MayRewrite(At("samo-čitati.ini")), std::errc::permission_denied);
  EXPECT_EQ(MayRewrite(At("mapa.ini")), std::errc::invalid_argument);
  EXPECT_EQ(MayRewrite(At("nema.ini")), std::errc::no_such_file_or_directory);
}

TEST_F(FilesTest, RemovesFilesAndOnlyEmptyFolders) {
  WriteFile(PathFromUtf8(At("puna/f.txt")), "f");
  fs::create_directory(PathFromUtf8(At("prazna")));
  EXPECT_TRUE(RemoveEmptyFolder(At("puna")));
  EXPECT_TRUE(RemoveFile(At("puna")));
  EXPECT_FALSE(RemoveFile(At("puna/f.txt")));
  EXPECT_FALSE(RemoveEmptyFolder(At("puna")));
  EXPECT_FALSE(RemoveEmptyFolder(At("prazna")));
  EXPECT_EQ(RemoveFile(At("nema.txt")), std::errc::no_such_file_or_directory);

  ASSERT_FALSE(CreatePrivateFolder(At("sigurnost")));
  EXPECT_TRUE(CreatePrivateFolder(At("sigurnost")));
  EXPECT_EQ(testing::ListFolder(dir_.path()), (std::vector<std::string>{"sigurnost"}));
}

TEST_F(FilesTest, RemoveTreeTakesReadOnlyFilesButNotWhatALinkLeadsTo) {
  WriteFile(PathFromUtf8(At("stablo/a/b.txt")), "b");
  MakeReadOnly(At("stablo/a/b.txt"));
  WriteFile(PathFromUtf8(At("vani/k.txt")), "k");
  std::error_code no_links;  // where the runtime makes no links, the rest still counts
  fs::create_directory_symlink(PathFromUtf8(At("vani")), PathFromUtf8(At("stablo/veza")), no_links);
  EXPECT_FALSE(RemoveTree(At("stablo/")));
  EXPECT_FALSE(fs::exists(PathFromUtf8(At("stablo"))));
  EXPECT_EQ(ReadFile(PathFromUtf8(At("vani/k.txt"))), "k");
  EXPECT_FALSE(RemoveTree(At("stablo")));  // nothing there, nothing to do
}

// The program's own folders beside the executable: a link at the name goes and the folder is
// made; a file somebody keeps there stays and the folder is not used.
TEST_F(FilesTest, OwnFolderRemovesALinkAndLeavesAnotherOnesFile) {
  WriteFile(PathFromUtf8(At("tudje/dokument.doc")), "tuđe");
  std::error_code no_links;
  fs::create_directory_symlink(PathFromUtf8(At("tudje")), PathFromUtf8(At("veza")), no_links);
  WriteFile(PathFromUtf8(At("datoteka")), "tuđa datoteka");
  fs::create_directory(PathFromUtf8(At("mapa")));

  EXPECT_EQ(OwnFolder(At("nema"), false), std::errc::no_such_file_or_directory);
  EXPECT_FALSE(fs::exists(PathFromUtf8(At("nema"))));
  for (const char* name : {"nema", "veza", "mapa"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(OwnFolder(At(name), true));
    std::error_code error;
    EXPECT_EQ(KindOf(At(name), error), FolderEntry::Kind::kFolder);
  }
  EXPECT_EQ(ReadFile(PathFromUtf8(At("tudje/dokument.doc"))), "tuđe");
  EXPECT_TRUE(fs::is_empty(PathFromUtf8(At("veza"))));

  EXPECT_EQ(OwnFolder(At("datoteka"), true), std::errc::not_a_directory);
  EXPECT_EQ(ReadFile(PathFromUtf8(At("datoteka"))), "tuđa datoteka");
}

// A folder four levels of 70 characters deep: past the 260 characters at which paths once
// ended on Windows.
std::vector<std::string> DeepFolders(const std::string& root) {
  std::vector<std::string> levels;
  std::string path = root;
  for (int level = 0; level < 4; ++level) {
    path += "/" + std::string(66, 'd') + "-č" + std::to_string(level);
    levels.push_back(path);
  }
  return levels;
}

// A listing that fails must never pass for an empty folder, and a deep folder lists like any
// other, however its path is written: relative, with "." and "..", or doubled separators.
TEST_F(FilesTest, ListsFoldersBeyondTheOldPathLimitWrittenAnyWay) {
  const auto levels = DeepFolders(Utf8FromPath(dir_.path()));
  for (const auto& level : levels) ASSERT_FALSE(CreatePrivateFolder(level)) << level;
  const std::string deep = levels.back();
  ASSERT_GT(PathFromUtf8(deep).native().size(), 260u);
  std::error_code error;
  ASSERT_TRUE(File::CreateNew(deep + "/datoteka-š.txt", error)) << error.message();
  ASSERT_FALSE(CreatePrivateFolder(deep + "/podmapa"));

  const std::string relative = deep.substr(Utf8FromPath(dir_.path()).size() + 1);
  const std::string first = relative.substr(0, relative.find('/'));
  std::vector<std::string> forms = {deep, deep + "/",
                                    deep + "/./../" + Utf8FromPath(PathFromUtf8(deep).filename()),
                                    "./" + first + "/../" + relative, deep + "//podmapa/.."};
  if (testing::kWindows) forms.push_back(ReplaceAll(deep, "/", "\\"));
  const fs::path here = fs::current_path();
  fs::current_path(dir_.path());
  for (const auto& form : forms) {
    std::vector<FolderEntry> entries;
    EXPECT_FALSE(ListFolder(form, entries)) << form;
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    ASSERT_EQ(entries.size(), 2u) << form;
    EXPECT_EQ(entries[0].name, "datoteka-š.txt");
    EXPECT_EQ(entries[0].kind, FolderEntry::Kind::kFile);
    EXPECT_EQ(entries[1].name, "podmapa");
    EXPECT_EQ(entries[1].kind, FolderEntry::Kind::kFolder);
    EXPECT_EQ(KindOf(form + "/podmapa", error), FolderEntry::Kind::kFolder) << form;
  }
  fs::current_path(here);

  for (const auto& missing : {deep + "/nema", deep + "/nema/ni-ovdje", std::string()}) {
    std::vector<FolderEntry> entries;
    EXPECT_EQ(ListFolder(missing, entries), std::errc::no_such_file_or_directory) << missing;
    EXPECT_TRUE(entries.empty()) << missing;
    EXPECT_EQ(KindOf(missing, error), FolderEntry::Kind::kOther) << missing;
    EXPECT_EQ(error, std::errc::no_such_file_or_directory) << missing;
  }
  std::vector<FolderEntry> entries;
  EXPECT_TRUE(ListFolder(deep + "/datoteka-š.txt", entries));
}

// Files down there are written, copied, renamed, tested and removed like any other.
TEST_F(FilesTest, FilesBeyondTheOldPathLimitAreHandledLikeAnyOther) {
  const auto levels = DeepFolders(Utf8FromPath(dir_.path()));
  for (const auto& level : levels) ASSERT_FALSE(CreatePrivateFolder(level)) << level;
  const std::string deep = levels.back();
  const std::string file = deep + "/datoteka-š.txt";
  std::error_code error;
  File written = File::CreateNew(file, error);
  ASSERT_TRUE(written) << error.message();
  ASSERT_FALSE(written.Append("sadržaj"));
  ASSERT_FALSE(written.Close());

  EXPECT_FALSE(CopyFileAs(file, deep + "/kopija.txt", "", false));
  EXPECT_FALSE(Rename(deep + "/kopija.txt", deep + "/preimenovana.txt"));
  EXPECT_FALSE(MayRewrite(deep + "/preimenovana.txt"));
  EXPECT_FALSE(SyncFile(deep + "/preimenovana.txt"));
  {
    const File read = File::OpenForReading(deep + "/preimenovana.txt", error);
    ASSERT_TRUE(read) << error.message();
    std::string bytes;
    EXPECT_FALSE(read.ReadAll(bytes));
    EXPECT_EQ(bytes, "sadržaj");
  }
  EXPECT_EQ(KindOf(deep + "/kopija.txt", error), FolderEntry::Kind::kOther);
  EXPECT_FALSE(RemoveFile(file));
  EXPECT_EQ(KindOf(file, error), FolderEntry::Kind::kOther);

  EXPECT_FALSE(RemoveTree(levels.front()));
  EXPECT_EQ(testing::ListFolder(dir_.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace zepr::platform
