// The Windows back end (our ZIP reader) against the Linux one (libarchive): on the same good,
// damaged and hostile archives both must give the same files or the same refusal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

#include "install/unzip_backend.h"
#include "support/fake_window.h"
#include "support/sandbox.h"
#include "unzip_small_disk.h"
#include "zip_writer.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::BuildZip;
using testing::kDeflated;
using testing::kStored;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
using testing::ZipEntry;

// Every entry of a folder with its type and permission bits, time and contents. Folders made on
// the way to a file have the time they were made, which differs from run to run.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
  std::map<std::string, std::string> entries;
  if (!fs::exists(folder)) return entries;
  const auto recent = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) - 600;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    struct stat st {};
    lstat(e.path().c_str(), &st);
    std::string& line = entries[fs::relative(e.path(), folder).string()];
    line = std::to_string(st.st_mode) + " " +
           (st.st_mtim.tv_sec > recent
                ? std::string("now")
                : std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec));
    if (e.is_regular_file()) {
      const std::string data = ReadFile(e.path());
      line += " " + (data.size() <= 16 ? "[" + data + "]"
                                       : std::to_string(data.size()) + " bytes " +
                                             std::to_string(std::hash<std::string>{}(data)));
    }
  }
  return entries;
}

// Runs a shell command in `folder`; false when it failed.
bool RunIn(const fs::path& folder, const std::string& command) {
  const std::string line = "cd '" + folder.string() + "' && (" + command + ") >/dev/null 2>&1";
  return std::system(line.c_str()) == 0;
}

// Files for the zip tool: a small tree with odd-second times, a program and Unix modes.
void MakeSourceTree(const fs::path& folder) {
  std::string large;
  for (int i = 0; large.size() < 200000; ++i) large += std::to_string(i * 7919 % 10007) + ' ';
  WriteFile(folder / "a.txt", "alpha");
  WriteFile(folder / "sub" / "deep" / "large.txt", large);
  WriteFile(folder / "sub" / "empty.txt", "");
  WriteFile(folder / "Tool.exe", "MZ");
  WriteFile(folder / "run.sh", "#!/bin/sh\n");
  fs::permissions(folder / "run.sh", fs::perms(0750));
  fs::create_directories(folder / "void");
  const auto time = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    fs::last_write_time(e.path(), time + std::chrono::seconds(e.path().string().size() % 7));
  }
  fs::last_write_time(folder / "sub", time - std::chrono::seconds(3));
}

// The archive with its end record's comment set to `comment`.
std::string WithComment(std::string zip, const std::string& comment) {
  zip[zip.size() - 2] = static_cast<char>(comment.size() & 0xFF);
  zip[zip.size() - 1] = static_cast<char>(comment.size() >> 8);
  return zip + comment;
}

std::string WithByteChanged(std::string zip, size_t at) {
  zip[at] ^= 0x20;
  return zip;
}

// The archive with a little-endian field at `at` set to value.
std::string WithField(std::string zip, size_t at, uint32_t value, int bytes = 4) {
  for (int i = 0; i < bytes; ++i) zip[at + i] = static_cast<char>(value >> (8 * i));
  return zip;
}

// Where the local header and the directory record of the entry named `name` begin.
size_t LocalHeader(const std::string& zip, const std::string& name) { return zip.find(name) - 30; }
size_t DirectoryRecord(const std::string& zip, const std::string& name) {
  return zip.find(name, zip.find("PK\x01\x02")) - 46;
}

// The first part of one archive and the rest of another of the same layout, as a download
// continued from a partial file of an earlier version makes it: the directory is the second
// archive's, the local headers and data up to `cut` the first one's.
std::string Spliced(const std::string& first, const std::string& second, size_t cut) {
  return first.substr(0, cut) + second.substr(cut);
}

TEST(UnzipBackends, GiveTheSameFilesOrTheSameRefusal) {
  if (std::system("zip -v >/dev/null 2>&1") != 0) GTEST_SKIP() << "the zip tool is missing";
  TempDir dir;
  const fs::path source = dir.path() / "source";
  MakeSourceTree(source);
  const std::vector<ZipEntry> plain = {{"Install.Ini", "[KILL]"},
                                       {"sub/", ""},
                                       {"sub/a.dll", "a"},
                                       {"sub/deep/b.txt", "bbbb", false, 0, kDeflated},
                                       {"last.bin", std::string(3000, 'z'), false, 0, kDeflated}};
  const std::string whole = BuildZip(plain);
  const size_t last_data = whole.find("last.bin") + 8;

  // Two versions of one archive, alike in every size; the program differs.
  auto version = [](char v) {
    return BuildZip({{"Install.Ini", "[KILL]"},
                     {"Program.dll", std::string("program, verzija ") + v},
                     {"Citaj.txt", std::string(500, v), false, 0, kDeflated}});
  };
  const std::string v1 = version('1'), v2 = version('2');
  const std::string descriptor = BuildZip(
      {{"a.txt", "descriptor"}, {"b.txt", "deflated", false, 0, kDeflated, false, false, true}});
  const std::string zip64 =
      BuildZip({{"a.txt", "zip64", false, 0, kStored, false, true},
                {"b.txt", "deflated zip64", false, 0, kDeflated, false, true}});

  struct Case {
    const char* name;
    // Writes the archive to the given path; false when the tool failed.
    std::function<bool(const fs::path&)> make;
    bool unpacks;
  };
  auto bytes = [](std::string zip) {
    return [zip](const fs::path& path) {
      WriteFile(path, zip);
      return true;
    };
  };
  auto zip_tool = [&](std::string options) {
    return [&source, options](const fs::path& path) {
      return RunIn(source, "zip -q -r " + options + " '" + path.string() + "' .");
    };
  };
  const Case cases[] = {
      {"deflated by the zip tool", zip_tool(""), true},
      {"stored by the zip tool", zip_tool("-0"), true},
      {"zip64", zip_tool("-fz"), true},
      {"data descriptors (streamed)",
       [&](const fs::path& path) {
         return RunIn(source, "zip -q -r - . | cat > '" + path.string() + "'");
       },
       true},
      {"read from a pipe",
       [&](const fs::path& path) {
         return RunIn(source, "printf piped | zip -q - - | cat > '" + path.string() + "'");
       },
       true},
      {"links", zip_tool("-y"),  // no link yet: made below before this case runs
       true},
      {"hand-made, stored and deflated", bytes(whole), true},
      {"unix modes",
       bytes(BuildZip({{"run.sh", "#!", false, 0100750},
                       {"suid", "s", false, 0104755},
                       {"bare", "b", false, 0100000},
                       {"udir/", "", false, 040700},
                       {"udir/x", "x", false, 0100600},
                       {"fifo", "f", false, 0010644},
                       {"device", "d", false, 0020644},
                       {"link", "a.txt", false, 0120777}})),
       true},
      {"cp852 and utf-8 names",
       bytes(BuildZip({{"Ra\x9fun \xe6ifre\xa7.rpt", "cp852"},
                       {"\xc5\xa0ifre.txt", "utf8", true},
                       {"Izvjestaji\\Mjesecni\\r.rpt", "r"},
                       {"Prazno\\", ""}})),
       true},
      {"hostile names",
       bytes(BuildZip({{"../evil1.txt", "x"},
                       {"/tmp/evil2.txt", "x"},
                       {"sub/../../evil3.txt", "x"},
                       {"..\\..\\evil4.txt", "x"},
                       {"C:\\evil5.txt", "x"},
                       {"C:evil6.txt", "x"},
                       {"./good.txt", "good"}})),
       true},
      {"a name made twice", bytes(BuildZip({{"twice.txt", "first"}, {"twice.txt", "second"}})),
       true},
      {"a file, then a folder of its name", bytes(BuildZip({{"f", "file"}, {"f/", ""}})), true},
      {"a folder, then a file of its name", bytes(BuildZip({{"g/", ""}, {"g", "file"}})), true},
      // Contradicts itself: the folder above the second entry is a file of the archive.
      {"a file, then a file below it", bytes(BuildZip({{"h", "file"}, {"h/x.txt", "x"}})), false},
      {"empty archive", bytes(BuildZip({})), true},
      {"comment after the end record", bytes(WithComment(whole, "Made for ZEPR PK\x05\x06 ok")),
       true},
      {"bytes before the archive", bytes("MZ self-extractor stub" + whole), true},
      {"bad crc, stored", bytes(WithByteChanged(whole, whole.find("sub/a.dll") + 9)), false},
      {"bad crc, deflated", bytes(WithByteChanged(whole, last_data + 100)), false},
      {"truncated", bytes(whole.substr(0, whole.size() / 2)), false},
      {"directory missing", bytes(whole.substr(0, whole.find("PK\x01\x02"))), false},
      {"end record cut", bytes(whole.substr(0, whole.size() - 3)), false},
      {"not an archive", bytes("this is not an archive"), false},
      {"empty file", bytes(""), false},
      {"encrypted by the zip tool", zip_tool("-P secret"), false},
      {"encrypted flag", bytes(BuildZip({{"a.txt", "a"}, {"b.txt", "b", false, 0, kStored, true}})),
       false},
      {"unknown method", bytes(BuildZip({{"a.txt", "a"}, {"b.txt", "b", false, 0, 77}})), false},
      {"unknown method of a refused entry", bytes(BuildZip({{"../b.txt", "b", false, 0, 77}})),
       false},
      // Each entry's local header must say what the directory says of it.
      {"spliced from two versions", bytes(Spliced(v1, v2, v1.find("Citaj.txt") - 30)), false},
      {"a local name other than the directory's",
       bytes(WithByteChanged(whole, whole.find("sub/a.dll") + 4)), false},
      {"a local method other than the directory's",
       bytes(WithField(whole, DirectoryRecord(whole, "sub/a.dll") + 10, kDeflated, 2)), false},
      {"a local size other than the directory's",
       bytes(WithField(whole, LocalHeader(whole, "last.bin") + 22, 3001)), false},
      {"a directory crc other than the local header's and the data's",
       bytes(WithField(whole, DirectoryRecord(whole, "sub/a.dll") + 16, 0x12345678)), false},
      {"data descriptors, hand-made", bytes(descriptor), true},
      {"data descriptor, a directory crc other than the data's",
       bytes(WithField(descriptor, DirectoryRecord(descriptor, "b.txt") + 16, 0x12345678)), false},
      {"data descriptor, a local size other than the directory's",
       bytes(WithField(descriptor, LocalHeader(descriptor, "b.txt") + 22, 9)), false},
      {"zip64 sizes, hand-made", bytes(zip64), true},
      {"a local zip64 size other than the directory's",
       bytes(WithField(zip64, LocalHeader(zip64, "b.txt") + 30 + 5 + 4, 15)), false},
      {"bad crc of a refused entry",
       bytes(WithByteChanged(BuildZip({{"../b.txt", "bbb"}}), 30 + 8 + 1)), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string_view(c.name) == "links") fs::create_symlink("a.txt", source / "a-link");
    const fs::path archive = dir.path() / "Update.zip";
    fs::remove(archive);
    ASSERT_TRUE(c.make(archive));
    std::map<std::string, std::string> results[2];
    std::string labels[2];
    const unzip::Unpacker backends[2] = {unzip::UnpackWithLibarchive, unzip::UnpackWithZipReader};
    for (int b = 0; b < 2; ++b) {
      const fs::path target = dir.path() / ("t" + std::to_string(b)) / "Update";
      fs::remove_all(target.parent_path());
      VirtualClock clock;
      testing::FakeWindow window(clock);
      const UnzipResult result =
          unzip::UnzipWith(backends[b], archive.string(), target.string(), &window);
      EXPECT_EQ(result.outcome,
                c.unpacks ? UnzipResult::Outcome::kOk : UnzipResult::Outcome::kMissingOrDamaged)
          << "back end " << b << ": " << result.file << ": " << result.reason;
      results[b] = Snapshot(target.parent_path());
      labels[b] = window.Label1();
    }
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(labels[0], labels[1]);
    if (c.unpacks) {
      EXPECT_FALSE(results[1].empty());
    }
  }
}

// A disk that fills up during the unpack fails it, whichever write meets the full disk (a
// file's data, a new file, a new folder): no file of the archive stays behind, whole or with
// holes, the space is given back, and the result names the file as it would have been under
// the target, with the system's reason.
TEST(UnzipBackends, AFullDiskFailsTheUnpackAndNamesTheFile) {
  TempDir dir;
  std::string big;
  for (int i = 0; big.size() < (1 << 20); ++i) big += "blok " + std::to_string(i) + '\n';
  std::vector<ZipEntry> folders;
  for (int i = 10; i < 40; ++i) folders.push_back({"d" + std::to_string(i) + "/f.txt", "f"});
  const struct {
    const char* name;
    const char* disk;
    std::vector<ZipEntry> entries;
    const char* file;  // a pattern below the target
  } cases[] = {
      {"the data fills the disk",
       "size=256k",
       {{"first.txt", "first"}, {"sub/big.bin", big, false, 0, kDeflated}, {"z.txt", "z"}},
       "sub/big\\.bin"},
      {"no inode is left for a folder or a file", "nr_inodes=8", folders, "d[0-9]+(/f\\.txt)?"},
  };
  const unzip::Unpacker backends[2] = {unzip::UnpackWithLibarchive, unzip::UnpackWithZipReader};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path archive = dir.path() / "Update.zip";
    WriteFile(archive, BuildZip(c.entries));
    std::string files[2];
    for (int b = 0; b < 2; ++b) {
      SCOPED_TRACE("back end " + std::to_string(b));
      const fs::path root = dir.path() / ("disk" + std::to_string(b));
      testing::SmallDisk disk(root, c.disk);
      if (!disk.why_not().empty()) GTEST_SKIP() << disk.why_not();
      WriteFile(root / "Update" / "Stari.txt", "od prije");
      const auto before = Snapshot(root);
      const std::string free = disk.Free();
      const fs::path target = root / "Update" / "Update";
      VirtualClock clock;
      testing::FakeWindow window(clock);

      const UnzipResult result =
          unzip::UnzipWith(backends[b], archive.string(), target.string(), &window);
      EXPECT_EQ(result.outcome, UnzipResult::Outcome::kWriteFailed);
      EXPECT_THAT(result.file, ::testing::MatchesRegex(target.string() + "/" + c.file));
      EXPECT_EQ(result.reason, std::generic_category().message(ENOSPC));
      EXPECT_EQ(window.Label1(), "Dekompresiranje nije uspjelo: Update.zip");
      EXPECT_EQ(Snapshot(root), before);
      EXPECT_EQ(disk.Free(), free);
      files[b] = fs::path(result.file).lexically_relative(target).string();
    }
    EXPECT_EQ(files[0], files[1]);
  }
}

}  // namespace
}  // namespace zepr
