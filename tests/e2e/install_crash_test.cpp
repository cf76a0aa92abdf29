// The updater killed in the middle of an install: its next start puts the application folder
// back as it was, whatever the moment of the kill.
#include <gtest/gtest.h>

#include <iterator>
#include <thread>

#include "e2e/e2e_sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::AppSandbox;
using testing::kClient;
using testing::ReadFile;
using testing::WriteFile;

constexpr int kReplaced = 120;
constexpr int kAdded = 100;
constexpr size_t kFiles = kReplaced + kAdded;

// The application folder without the working folder and the application's own start log.
std::vector<std::pair<std::string, std::string>> ApplicationFolder(const AppSandbox& box) {
  auto entries = testing::Tree(box.path());
  std::erase_if(entries, [](const auto& entry) {
    return entry.first.starts_with("Update/") || entry.first == "started.txt";
  });
  return entries;
}

// An application folder with files of its own (some executable) and an update that replaces
// some of them and adds others in new folders.
void Prepare(const AppSandbox& box) {
  WriteFile(box.path() / "Keep.txt", "not in the update");
  std::vector<testing::ZipEntry> entries;
  for (int i = 0; i < kReplaced; ++i) {
    const std::string name = "Lib/m" + std::to_string(i) + ".dll";
    WriteFile(box.path() / name, "old contents " + std::to_string(i));
    fs::permissions(box.path() / name, fs::perms(i % 3 == 0 ? 0755 : 0644));
    entries.push_back({"Lib\\m" + std::to_string(i) + ".dll",
                       "new contents, longer than the old " + std::to_string(i)});
  }
  for (int i = 0; i < kAdded; ++i) {
    entries.push_back({"Nova\\Sub\\n" + std::to_string(i) + ".txt", "added " + std::to_string(i)});
  }
  WriteFile(box.path() / "Update" / "Update.zip", testing::BuildZip(entries));
}

// Where the updater dies: the n-th file call of a kind on a path of the application folder (see
// AppSandbox::RunKilledAt). Once the journal is gone the install counts as made.
struct KillPoint {
  const char* watch;
  const char* at;
  bool completed;
};
constexpr KillPoint kKillPoints[] = {
    {"Update/Install.journal", "fdatasync:1:after", false},  // begun, nothing changed
    {"Update/Install.journal", "fdatasync:2:after", false},  // records on disk, no file changed
    {"Lib", "rename:1:after", false},    // an old file in the backup, the new one not in place
    {"Lib", "rename:2:after", false},    // the first file replaced
    {"Nova", "rename:50:after", false},  // half the added files
    {"Update/Install.journal", "unlink:1:before", false},  // every file in place
    {"Update/Install.journal", "unlink:1:after", true},
};

struct Outcome {
  testing::ProcessResult install;
  testing::ProcessResult restart;
  std::vector<std::pair<std::string, std::string>> before, after;
  bool journal_left = false;
};

// Type 8 installs the archive already in the working folder, killed at the given point (none:
// it runs to its end). Type 9 then only starts and ends.
Outcome KilledAndRestarted(const KillPoint* kill) {
  AppSandbox box;
  Prepare(box);
  Outcome outcome;
  outcome.before = ApplicationFolder(box);
  outcome.install = kill ? box.RunKilledAt(kill->watch, kill->at, kClient, "8", {"x", "0"})
                         : box.Run(kClient, "8", {"x", "0"});
  outcome.journal_left = fs::exists(box.path() / "Update" / "Install.journal");
  outcome.restart = box.Run(kClient, "9");
  outcome.after = ApplicationFolder(box);
  return outcome;
}

TEST(InstallCrash, KilledInstallIsUndoneAtTheNextStart) {
  constexpr size_t kPoints = std::size(kKillPoints);
  std::vector<Outcome> outcomes(kPoints + 1);  // the last one not killed: the new version
  {
    // Each run waits seconds for programs to stop; the sandboxes run side by side.
    std::vector<std::jthread> runs;
    for (size_t i = 0; i <= kPoints; ++i) {
      runs.emplace_back(
          [&, i] { outcomes[i] = KilledAndRestarted(i < kPoints ? &kKillPoints[i] : nullptr); });
    }
  }
  const Outcome& installed = outcomes[kPoints];
  ASSERT_EQ(installed.install.exit_code, 0) << installed.install.output;
  ASSERT_NE(installed.after, installed.before);
  for (size_t i = 0; i < kPoints; ++i) {
    const KillPoint& kill = kKillPoints[i];
    SCOPED_TRACE(std::string("killed at ") + kill.at + " on " + kill.watch);
    const Outcome& o = outcomes[i];
    EXPECT_EQ(o.install.exit_code, 128 + 9) << o.install.output;
    EXPECT_EQ(o.journal_left, !kill.completed);
    EXPECT_EQ(o.restart.exit_code, 0) << o.restart.output;
    EXPECT_EQ(o.after, kill.completed ? installed.after : o.before);
  }
}

TEST(InstallCrash, CompletedInstallGivesTheNewVersion) {
  AppSandbox box;
  Prepare(box);
  const auto before = ApplicationFolder(box);
  const auto run = box.Run(kClient, "8", {"x", "0"});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  for (int i = 0; i < kReplaced; ++i) {
    const fs::path file = box.path() / "Lib" / ("m" + std::to_string(i) + ".dll");
    EXPECT_EQ(ReadFile(file), "new contents, longer than the old " + std::to_string(i));
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(i % 3 == 0 ? 0755 : 0644)) << file;
  }
  for (int i = 0; i < kAdded; ++i) {
    EXPECT_EQ(ReadFile(box.path() / "Nova" / "Sub" / ("n" + std::to_string(i) + ".txt")),
              "added " + std::to_string(i));
  }
  EXPECT_EQ(ReadFile(box.path() / "Keep.txt"), "not in the update");
  EXPECT_EQ(ApplicationFolder(box).size(), before.size() + kAdded + 2);  // and Nova/, Nova/Sub/
  EXPECT_FALSE(fs::exists(box.path() / "Update" / "Install.journal"));
  EXPECT_FALSE(fs::exists(box.path() / "Update" / "Install.backup"));

  // A later start finds nothing to undo.
  const auto installed = ApplicationFolder(box);
  EXPECT_EQ(box.Run(kClient, "9").exit_code, 0);
  EXPECT_EQ(ApplicationFolder(box), installed);
}

}  // namespace
}  // namespace zepr
