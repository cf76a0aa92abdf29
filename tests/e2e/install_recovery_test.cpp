// The next start after an interrupted install, at the edges: a kill between a new folder and its
// first file, journals that name paths outside the application folder or are damaged, links
// planted at the journal's and the backup folder's names. Whatever the journal says, nothing
// outside the application folder changes and no old file is lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>

#include "e2e/e2e_sandbox.h"
#include "install/install_journal.h"
#include "support/journal_bytes.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using Entries = std::vector<std::pair<std::string, std::string>>;
using testing::AppSandbox;
using testing::JournalBytes;
using testing::JournalRecords;
using testing::kClient;
using testing::LinesStartingWith;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

constexpr const char* kUndoing = "status: Vraćam prijašnje datoteke prekinute instalacije";
constexpr const char* kUndone =
    "status: Prekinuta instalacija je poništena, vraćene su prijašnje datoteke.";
constexpr const char* kNotUndone = "status: Prekinuta instalacija nije poništena do kraja.";
constexpr const char* kOutsideCause = "Uzrok: zapis navodi putanju izvan mape aplikacije: ";
constexpr const char* kDamagedCause = "zapis instalacije je oštećen";
constexpr int kRolledBack = 4;

fs::path Journal(const AppSandbox& box) { return box.path() / "Update" / "Install.journal"; }
fs::path Backup(const AppSandbox& box) { return box.path() / "Update" / "Install.backup"; }

// The application folder without the working folder and the application's own start log.
Entries ApplicationFolder(const AppSandbox& box) {
  auto entries = testing::Tree(box.path());
  std::erase_if(entries, [](const auto& entry) {
    return entry.first.starts_with("Update/") || entry.first == "started.txt";
  });
  return entries;
}

// Where a whole line is in the output; npos when nowhere.
size_t LineAt(const std::string& output, const std::string& line) {
  const auto lines = testing::OutputLines(output);
  const auto found = std::find(lines.begin(), lines.end(), line);
  return found == lines.end() ? std::string::npos : static_cast<size_t>(found - lines.begin());
}

// An application file that an archive of the working folder replaces, and one it adds.
void PrepareSmallUpdate(const AppSandbox& box) {
  WriteFile(box.path() / "App.dat", "old");
  WriteFile(box.path() / "Update" / "Update.zip",
            testing::BuildZip({{"App.dat", "new"}, {"Dodano.txt", "added"}}));
}

void ExpectSmallUpdateInstalled(const AppSandbox& box) {
  EXPECT_EQ(ReadFile(box.path() / "App.dat"), "new");
  EXPECT_EQ(ReadFile(box.path() / "Dodano.txt"), "added");
}

using Record = JournalRecord;
constexpr auto kReplaced = JournalRecord::Kind::kReplaced;
constexpr auto kNewFile = JournalRecord::Kind::kNewFile;
constexpr auto kFolder = JournalRecord::Kind::kFolder;

// The contents of every file below a folder.
std::multiset<std::string> ContentsBelow(const fs::path& folder) {
  std::multiset<std::string> contents;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec)) contents.insert(ReadFile(it->path()));
  }
  return contents;
}

// A kill between making a new folder and putting its first file in it: the next start
// removes the folder too, and says what it did.
TEST(InstallRecovery, KilledInstallIsUndoneWithItsNewFolders) {
  AppSandbox box;
  WriteFile(box.path() / "Lib" / "m.dll", "old");
  WriteFile(box.path() / "Update" / "Update.zip",
            testing::BuildZip({{"Lib\\m.dll", "new"}, {"Nova\\Sub\\n.txt", "added"}}));
  const Entries before = ApplicationFolder(box);

  // Nova/ and Nova/Sub/ made, nothing in them yet.
  const auto killed = box.RunKilledAt("Nova", "mkdir:2:after", kClient, "8", {"x", "0"});
  ASSERT_EQ(killed.exit_code, 128 + 9) << killed.output;
  ASSERT_TRUE(fs::is_directory(box.path() / "Nova" / "Sub"));

  const auto run = box.Run(kClient, "9");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  const size_t undoing = LineAt(run.output, kUndoing);
  EXPECT_NE(undoing, std::string::npos) << run.output;
  EXPECT_GT(LineAt(run.output, kUndone), undoing) << run.output;
  EXPECT_EQ(ApplicationFolder(box), before);
  EXPECT_FALSE(fs::exists(fs::symlink_status(Journal(box))));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Backup(box))));
}

// A journal written by hand whose record reaches outside the application folder: the record
// is not acted on, and the start says why and ends as an install that was not undone.
class PlantedJournal : public ::testing::TestWithParam<const char*> {};

TEST_P(PlantedJournal, NothingOutsideTheApplicationFolderIsTouched) {
  AppSandbox box;
  TempDir outside_dir;
  const fs::path outside = fs::canonical(outside_dir.path());
  WriteFile(outside / "victim.txt", "outside");
  fs::create_directory(outside / "empty");
  WriteFile(box.path() / "Keep.txt", "inside");
  WriteFile(Backup(box) / "b1", "planted backup");
  const std::string victim = (outside / "victim.txt").string();
  const std::map<std::string, Record> records = {
      {"replaced file outside", {kReplaced, victim, "b1", victim + ".tmp"}},
      {"new file outside", {kNewFile, victim, "", ""}},
      {"folder outside", {kFolder, (outside / "empty").string(), "", ""}},
      {"backup outside",
       {kReplaced, (box.path() / "Keep.txt").string(),
        fs::relative(outside / "victim.txt", Backup(box)).string(), ""}},
  };
  WriteFile(Journal(box), JournalBytes({records.at(GetParam())}));
  ASSERT_TRUE(records.at("backup outside").backup.starts_with("../../"));
  const Entries outside_before = testing::Tree(outside);

  const auto run = box.Run(kClient, "9");
  EXPECT_EQ(testing::Tree(outside), outside_before);
  EXPECT_EQ(run.exit_code, kRolledBack) << run.output;
  EXPECT_EQ(LinesStartingWith(run.output, kNotUndone).size(), 1u) << run.output;
  EXPECT_FALSE(LinesStartingWith(run.output, "dialog: ").empty()) << run.output;
  EXPECT_NE(run.output.find(kOutsideCause), std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Records, PlantedJournal,
                         ::testing::Values("replaced file outside", "new file outside",
                                           "folder outside", "backup outside"),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::erase(name, ' ');
                           return name;
                         });

// Links at the journal's and the backup folder's names lead nowhere the updater writes or
// removes: a start and an install remove the links, not what they lead to.
TEST(InstallRecovery, LinksAtTheJournalAndBackupAreNotFollowed) {
  AppSandbox box;
  PrepareSmallUpdate(box);
  TempDir outside;
  WriteFile(outside.path() / "folder" / "a.txt", "a");
  WriteFile(outside.path() / "folder" / "b.txt", "b");
  WriteFile(outside.path() / "journal.txt", "not a journal");
  const Entries outside_before = testing::Tree(outside.path());
  const auto plant = [&] {
    fs::create_directory_symlink(outside.path() / "folder", Backup(box));
    fs::create_symlink(outside.path() / "journal.txt", Journal(box));
  };
  const auto expect_links_gone = [&] {
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(Backup(box))));
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(Journal(box))));
  };

  plant();
  const auto start = box.Run(kClient, "9");
  EXPECT_EQ(testing::Tree(outside.path()), outside_before) << start.output;
  expect_links_gone();

  std::error_code ec;
  fs::remove(Backup(box), ec);
  fs::remove(Journal(box), ec);
  plant();
  const auto install = box.Run(kClient, "8", {"x", "0"});
  EXPECT_EQ(install.exit_code, 0) << install.output;
  EXPECT_EQ(testing::Tree(outside.path()), outside_before);
  expect_links_gone();
  ExpectSmallUpdateInstalled(box);
}

// A file where the backup folder belongs does not stop the next install.
TEST(InstallRecovery, FileAtTheBackupFolderDoesNotStopAnInstall) {
  AppSandbox box;
  PrepareSmallUpdate(box);
  WriteFile(Backup(box), "a file, not a folder");
  const auto install = box.Run(kClient, "8", {"x", "0"});
  EXPECT_EQ(install.exit_code, 0) << install.output;
  ExpectSmallUpdateInstalled(box);
}

// An install killed once most old files were in the backup folder, its journal then damaged
// in the middle: the start puts back what the readable records name, deletes no backup it did
// not place, and reports an install not undone whole; nor does a later start lose anything.
TEST(InstallRecovery, DamagedJournalLosesNoOldFile) {
  constexpr int kFiles = 200;
  const auto old_contents = [](int i) { return "old contents " + std::to_string(i); };
  AppSandbox box;
  std::vector<testing::ZipEntry> entries;
  for (int i = 0; i < kFiles; ++i) {
    WriteFile(box.path() / "Lib" / ("m" + std::to_string(i) + ".dll"), old_contents(i));
    entries.push_back({"Lib\\m" + std::to_string(i) + ".dll", "new contents " + std::to_string(i)});
  }
  WriteFile(box.path() / "Update" / "Update.zip", testing::BuildZip(entries));

  const auto killed =
      box.RunKilledAt("Update/Install.backup", "rename:150:after", kClient, "8", {"x", "0"});
  ASSERT_EQ(killed.exit_code, 128 + 9) << killed.output;
  std::string journal = ReadFile(Journal(box));
  const size_t flipped = journal.size() / 2;
  // Before the damage: the files whose old contents wait in the backup folder.
  std::vector<fs::path> placeable;
  for (const Record& record : JournalRecords(std::string_view(journal).substr(0, flipped))) {
    if (record.kind == kReplaced && fs::exists(Backup(box) / record.backup)) {
      placeable.push_back(record.path);
    }
  }
  ASSERT_GT(placeable.size(), 10u);
  journal[flipped] = static_cast<char>(journal[flipped] ^ 0xFF);
  WriteFile(Journal(box), journal);

  const auto lost = [&] {
    const auto kept = ContentsBelow(Backup(box));
    std::vector<int> missing;
    for (int i = 0; i < kFiles; ++i) {
      const fs::path file = box.path() / "Lib" / ("m" + std::to_string(i) + ".dll");
      if (ReadFile(file) != old_contents(i) && !kept.contains(old_contents(i))) {
        missing.push_back(i);
      }
    }
    return missing;
  };
  const auto run = box.Run(kClient, "9");
  EXPECT_EQ(run.exit_code, kRolledBack) << run.output;
  EXPECT_TRUE(!LinesStartingWith(run.output, kNotUndone).empty() ||
              run.output.find(kDamagedCause) != std::string::npos)
      << run.output;
  for (const fs::path& file : placeable) EXPECT_TRUE(ReadFile(file).starts_with("old ")) << file;
  EXPECT_EQ(lost(), std::vector<int>{});

  const auto again = box.Run(kClient, "9");
  EXPECT_EQ(lost(), std::vector<int>{}) << again.output;
}

// A read-only file that a script copy replaces stays read-only.
TEST(InstallRecovery, ScriptCopyKeepsAReadOnlyFileReadOnly) {
  AppSandbox box;
  WriteFile(box.path() / "Ro.dat", "old");
  fs::permissions(box.path() / "Ro.dat", fs::perms(0444));
  WriteFile(box.path() / "Update" / "Update.zip",
            testing::BuildZip({{"Install.Ini", "[CPY_.]\r\n1=Ro.dat\r\n"}, {"Ro.dat", "new"}}));
  const auto install = box.Run(kClient, "8", {"x", "0"});
  EXPECT_EQ(install.exit_code, 0) << install.output;
  EXPECT_EQ(ReadFile(box.path() / "Ro.dat"), "new");
  EXPECT_EQ(fs::status(box.path() / "Ro.dat").permissions(), fs::perms(0444));
}

}  // namespace
}  // namespace zepr
