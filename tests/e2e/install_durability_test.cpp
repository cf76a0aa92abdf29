// Removing the journal commits an install and lets its backups go, so whatever the install left
// in the application folder must be on the disk before that: after a power cut the files are
// whole, old or new. The updater's file calls are logged by the crash shim and checked in their
// order. A flush of the whole file system counts for nothing here: not every file system passes
// it down to the files' data.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "e2e/e2e_sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::AppSandbox;
using testing::kClient;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// One line of the shim's log.
struct Call {
  std::string name;
  bool ok = false;
  fs::path path, other;
};

std::vector<Call> ReadLog(const fs::path& log) {
  std::vector<Call> calls;
  for (const auto& line : testing::OutputLines(ReadFile(log))) {
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
      const size_t tab = line.find('\t', start);
      fields.push_back(line.substr(start, tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    if (fields.size() < 3) continue;
    calls.push_back({fields[0], fields[1] == "ok", fields[2], fields.size() > 3 ? fields[3] : ""});
  }
  return calls;
}

// What the log says about the application folder when the journal goes.
struct AtCommit {
  bool journal_removed = false;
  std::vector<std::string> not_on_disk;  // relative paths, each with what is missing
  std::set<std::string> changed_folders;
};

// Follows each file's data through renames (a temporary flushed before it is renamed onto its
// target counts for the target) and each folder's entries. The working folder holds the
// updater's own files (journal, backups, unpacked archive), which the crash tests cover.
AtCommit CheckAtCommit(const std::vector<Call>& calls, const AppSandbox& box,
                       const std::vector<std::string>& installed) {
  const fs::path journal = box.path() / "Update" / "Install.journal";
  const fs::path working = box.path() / "Update";
  const auto relative = [&](const fs::path& path) {
    return path.lexically_relative(box.path()).generic_string();
  };
  enum class Data { kWritten, kFlushed };
  std::map<fs::path, Data> files;
  std::map<fs::path, bool> folders;  // true: changed since its last fsync
  AtCommit result;
  const auto changed = [&](const fs::path& path) {
    const fs::path folder = path.parent_path();
    if (folder == working || relative(folder).starts_with("Update/")) return;
    folders[folder] = true;
    result.changed_folders.insert(relative(folder));
  };
  for (const Call& call : calls) {
    if (!call.ok) continue;
    if (call.name == "unlink" && call.path == journal) {
      result.journal_removed = true;
      break;
    }
    if (call.name == "write" || call.name == "copy_file_range") {
      files[call.path] = Data::kWritten;
    } else if (call.name == "fdatasync" || call.name == "fsync") {
      files[call.path] = Data::kFlushed;
      if (call.name == "fsync" && folders.contains(call.path)) folders[call.path] = false;
    } else if (call.name == "rename") {
      const auto moved = files.extract(call.path);
      files.erase(call.other);
      if (moved) files[call.other] = moved.mapped();
      changed(call.path);
      changed(call.other);
    } else if (call.name == "mkdir") {
      changed(call.path);
    } else if (call.name == "unlink") {
      files.erase(call.path);
      changed(call.path);
    } else if (call.name == "rmdir") {
      // What changed in a folder that is gone now rests on its parent.
      std::erase_if(folders, [&](const auto& folder) {
        return folder.first == call.path ||
               relative(folder.first).starts_with(relative(call.path) + "/");
      });
      changed(call.path);
    }
  }
  for (const auto& name : installed) {
    const auto file = files.find(box.path() / name);
    if (file == files.end()) {
      result.not_on_disk.push_back(name + ": its data never flushed");
    } else if (file->second == Data::kWritten) {
      result.not_on_disk.push_back(name + ": not flushed since it was written");
    }
  }
  for (const auto& [folder, pending] : folders) {
    if (pending) result.not_on_disk.push_back(relative(folder) + "/: entries changed, no fsync");
  }
  return result;
}

constexpr int kReplaced = 6;
constexpr int kAdded = 4;

std::string OldContents(int i) { return "old " + std::to_string(i); }

// Lib/m<i>.dll, each replaced by the update.
void PrepareLib(const AppSandbox& box) {
  for (int i = 0; i < kReplaced; ++i) {
    WriteFile(box.path() / "Lib" / ("m" + std::to_string(i) + ".dll"), OldContents(i));
  }
}

// Replaced files, a file added beside them and files added in new folders: several flushes at
// once, in folders old and new.
TEST(InstallDurability, InstalledFilesAndFoldersAreOnDiskBeforeTheJournalGoes) {
  AppSandbox box;
  TempDir logs;
  PrepareLib(box);
  std::vector<testing::ZipEntry> entries;
  std::vector<std::string> installed;
  for (int i = 0; i < kReplaced; ++i) {
    entries.push_back({"Lib\\m" + std::to_string(i) + ".dll", "new " + std::to_string(i)});
    installed.push_back("Lib/m" + std::to_string(i) + ".dll");
  }
  entries.push_back({"Lib\\Novi.dll", "added beside"});
  installed.push_back("Lib/Novi.dll");
  for (int i = 0; i < kAdded; ++i) {
    entries.push_back({"Nova\\Sub\\n" + std::to_string(i) + ".txt", "added " + std::to_string(i)});
    installed.push_back("Nova/Sub/n" + std::to_string(i) + ".txt");
  }
  WriteFile(box.path() / "Update" / "Update.zip", testing::BuildZip(entries));

  const auto run = box.RunLogged(logs.path() / "calls.log", kClient, "8", {"x", "0"});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  ASSERT_EQ(ReadFile(box.path() / "Lib" / "m0.dll"), "new 0");

  const AtCommit commit = CheckAtCommit(ReadLog(logs.path() / "calls.log"), box, installed);
  ASSERT_TRUE(commit.journal_removed);
  EXPECT_EQ(commit.not_on_disk, std::vector<std::string>{});
  EXPECT_EQ(commit.changed_folders, (std::set<std::string>{".", "Lib", "Nova", "Nova/Sub"}));
}

// An install that fails once some files are replaced: the old files go back, and their folders
// are on disk before the journal that could put them back again goes.
TEST(InstallDurability, RestoredFoldersAreOnDiskBeforeTheJournalGoes) {
  AppSandbox box;
  TempDir logs;
  PrepareLib(box);
  // A folder where the script puts a file fails the install; the stop before it (KILL) has
  // the copies before it made first.
  fs::create_directories(box.path() / "Blok.dll");
  std::string script = "[CPY_.Lib\\]\r\n";
  std::vector<testing::ZipEntry> entries;
  for (int i = 0; i < kReplaced; ++i) {
    const std::string name = "m" + std::to_string(i) + ".dll";
    script += std::to_string(i + 1) + "=" + name + "\r\n";
    entries.push_back({name, "new " + std::to_string(i)});
  }
  script +=
      "[DIR_1]\r\n1=Nova\r\n[CPY_.Nova\\]\r\n1=n0.txt\r\n[KILL]\r\n1=Nitko.exe\r\n"
      "[CPY_.]\r\n1=Blok.dll\r\n";
  entries.push_back({"n0.txt", "added"});
  entries.push_back({"Blok.dll", "cannot go in"});
  entries.push_back({"Install.Ini", script});
  WriteFile(box.path() / "Update" / "Update.zip", testing::BuildZip(entries));

  const auto run = box.RunLogged(logs.path() / "calls.log", kClient, "8", {"x", "0"});
  EXPECT_NE(run.exit_code, 0) << run.output;
  for (int i = 0; i < kReplaced; ++i) {
    EXPECT_EQ(ReadFile(box.path() / "Lib" / ("m" + std::to_string(i) + ".dll")), OldContents(i));
  }
  ASSERT_FALSE(fs::exists(box.path() / "Nova"));

  const AtCommit rollback = CheckAtCommit(ReadLog(logs.path() / "calls.log"), box, {});
  ASSERT_TRUE(rollback.journal_removed);
  EXPECT_EQ(rollback.not_on_disk, std::vector<std::string>{});
  EXPECT_EQ(rollback.changed_folders, (std::set<std::string>{".", "Lib", "Nova"}));
}

}  // namespace
}  // namespace zepr
