// The disk of the application folder fills up while the archive is unpacked: the run must fail
// there and install nothing, never install files of the right size that are full of zeros.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "e2e/e2e_sandbox.h"
#include "integration/install/unzip_small_disk.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::AppSandbox;
using testing::Build;
using testing::HasLine;
using testing::kClient;
using testing::WriteFile;

// Moves the sandbox onto a file system of its own that holds its files with about a megabyte
// to spare.
std::unique_ptr<testing::SmallDisk> OnSmallDisk(const AppSandbox& box) {
  testing::TempDir aside;
  fs::copy(box.path(), aside.path(), fs::copy_options::recursive);
  uint64_t used = 0;
  for (const auto& entry : fs::recursive_directory_iterator(aside.path())) {
    used += 4096 + (entry.is_regular_file() ? (entry.file_size() + 4095) / 4096 * 4096 : 0);
  }
  auto disk =
      std::make_unique<testing::SmallDisk>(box.path(), "size=" + std::to_string(used + (1 << 20)));
  if (disk->why_not().empty()) fs::copy(aside.path(), box.path(), fs::copy_options::recursive);
  return disk;
}

// The name of a file below the application folder as the build's updater writes paths.
std::string AsTheUpdaterNamesIt(Build build, const AppSandbox& box, const std::string& name) {
  const std::string path = box.folder() + name;
  if (build == Build::kLinux) return path;
  std::string windows = "Z:" + path;
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return windows;
}

void ExpectNothingInstalled(Build build, const std::string& reason) {
  AppSandbox box(build);
  WriteFile(box.path() / "Citaj.txt", "stare upute");
  WriteFile(box.path() / "lib.dll", "stara biblioteka");
  std::string library;
  while (library.size() < (4 << 20)) library += "ZEPR biblioteka ";
  WriteFile(box.path() / "Update" / "Update.zip",
            testing::BuildZip(
                {{"Citaj.txt", "nove upute"}, {"lib.dll", library, false, 0, testing::kDeflated}}));
  const auto disk = OnSmallDisk(box);
  if (!disk->why_not().empty()) GTEST_SKIP() << disk->why_not();
  ASSERT_LT(disk->FreeBytes(), library.size());
  // The log folder is there before, and the run's own log is left out of the space compared.
  box.Run(kClient, "9");
  const auto logs_before = testing::ListFolder(box.path() / "ZEPRUpdateLog");
  const auto before = testing::Tree(box.path());
  const std::string free = disk->Free();

  const auto run = box.Run(kClient, "8", {"x", "0"});
  for (const auto& log : testing::ListFolder(box.path() / "ZEPRUpdateLog")) {
    if (std::find(logs_before.begin(), logs_before.end(), log) == logs_before.end())
      fs::remove(box.path() / "ZEPRUpdateLog" / log);
  }
  EXPECT_EQ(run.exit_code, 4) << run.output;
  EXPECT_TRUE(HasLine(run.output, "status: Dekompresiranje nije uspjelo: Update.zip"))
      << run.output;
  EXPECT_TRUE(HasLine(run.output,
                      "dialog: Greška!: Dekompresiranje nije uspjelo, ništa nije instalirano.\\r"
                      "Datoteka: " +
                          AsTheUpdaterNamesIt(build, box, "Update/Update/lib.dll") +
                          "\\rUzrok: " + reason))
      << run.output;
  EXPECT_FALSE(testing::LinesStartingWith(run.output, "mark steps 1 2 ").empty()) << run.output;
  EXPECT_FALSE(HasLine(run.output, "done: Instalacija završena.")) << run.output;
  // No file of the archive anywhere, whole, cut short or full of zeros; no unpack folder, no
  // staging folder; and their space is free again.
  EXPECT_EQ(testing::Tree(box.path()), before);
  EXPECT_FALSE(fs::exists(box.path() / "Update" / "Update"));
  EXPECT_EQ(disk->Free(), free);
  EXPECT_TRUE(box.Starts().empty());
}

TEST(FullDiskRun, UnpackThatFillsTheDiskInstallsNothing) {
  ExpectNothingInstalled(Build::kLinux, "No space left on device");
}

TEST(FullDiskRun, WindowsProgramUnpackThatFillsTheDiskInstallsNothing) {
  const std::string why = testing::WindowsRunsUnavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  // Wine's words for ERROR_DISK_FULL.
  ExpectNothingInstalled(Build::kWindows, "Disk full.");
}

}  // namespace
}  // namespace zepr
