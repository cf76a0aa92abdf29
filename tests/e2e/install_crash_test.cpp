// The updater killed in the middle of an install: its next start puts the application folder
// back as it was, whatever the moment of the kill.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
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

struct Outcome {
  testing::ProcessResult install;
  testing::ProcessResult restart;
  std::vector<std::pair<std::string, std::string>> before, after;
  bool journal_left = false;
};

// Type 8 installs the archive already in the working folder; the kill comes after the given
// number of files. Type 9 then only starts and ends.
Outcome KilledAndRestarted(size_t kill_after) {
  AppSandbox box;
  Prepare(box);
  Outcome outcome;
  outcome.before = ApplicationFolder(box);
  outcome.install = testing::RunProgram(
      {box.updater().string(), testing::kTitle, testing::kSection, box.app(), kClient, "8", "x",
       "0"},
      {"DISPLAY=", "ZEPR_TEST_KILL_AFTER_FILES=" + std::to_string(kill_after)}, box.path());
  outcome.journal_left = fs::exists(box.path() / "Update" / "Install.journal");
  outcome.restart = box.Run(kClient, "9");
  outcome.after = ApplicationFolder(box);
  return outcome;
}

TEST(InstallCrash, KilledInstallIsUndoneAtTheNextStart) {
  const std::vector<size_t> kill_points = {0, 1, kFiles / 2, kFiles - 1};
  std::vector<Outcome> outcomes(kill_points.size());
  {
    // Each run waits seconds for programs to stop; the sandboxes run side by side.
    std::vector<std::jthread> runs;
    for (size_t i = 0; i < kill_points.size(); ++i) {
      runs.emplace_back([&, i] { outcomes[i] = KilledAndRestarted(kill_points[i]); });
    }
  }
  for (size_t i = 0; i < kill_points.size(); ++i) {
    SCOPED_TRACE("killed after " + std::to_string(kill_points[i]) + " files");
    const Outcome& o = outcomes[i];
    EXPECT_EQ(o.install.exit_code, 128 + 9) << o.install.output;
    EXPECT_TRUE(o.journal_left);
    EXPECT_EQ(o.restart.exit_code, 0) << o.restart.output;
    EXPECT_EQ(o.after, o.before);
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
