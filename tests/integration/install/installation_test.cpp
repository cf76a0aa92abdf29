#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "install/install_script.h"
#include "install/unzip.h"
#include "support/sandbox.h"
#include "zip_writer.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;

// An update archive arrives, is unpacked and installed while the application and a helper
// program run: both are stopped first, then the new files replace the old ones.
TEST(Installation, UnpacksStopsTheProgramsAndReplacesTheApplication) {
  testing::TempDir dir;
  const std::string app = dir.folder();
  const std::string app_name = "Demo" + std::to_string(getpid());
  const std::string helper = "Pomocni" + std::to_string(getpid()) + ".exe";
  for (const std::string& name : {app_name + ".exe", helper}) {
    fs::copy_file(testing::BuildDir() / "bin" / "Demo.exe", app + name);
  }
  VirtualClock clock;
  SystemProcesses processes(clock);
  for (const std::string& name : {app_name + ".exe", helper}) {
    ASSERT_TRUE(processes.StartProgram({app + name, "--live-ms=60000"}, false, false));
  }
  const auto starts = [&] { return std::ranges::count(ReadFile(app + "started.txt"), '\n'); };
  for (int i = 0; i < 2000 && starts() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(processes.IsProgramRunning(app_name + ".exe"));
  ASSERT_TRUE(processes.IsProgramRunning(helper));

  fs::create_directories(app + "Update");
  testing::WriteFile(app + "Update/Update.zip",
                     testing::BuildZip({
                         {"Install.Ini", "[KILL]\r\n1=" + helper + "\r\n"},
                         {app_name + ".exe", "new application"},
                         {"Izvjestaji\\Racun.rpt", "report"},
                     }));
  ASSERT_TRUE(Unzip(app + "Update/Update.zip", app + "Update/Update/", nullptr));
  const InstallResult result = InstallDato({"Update.zip"}, app, app_name, processes);
  EXPECT_TRUE(result.ok) << result.file << ": " << result.reason;

  EXPECT_FALSE(processes.IsProgramRunning(app_name + ".exe"));
  EXPECT_FALSE(processes.IsProgramRunning(helper));
  EXPECT_EQ(clock.slept_ms(), 3 * SystemProcesses::kStopPauseMs);
  EXPECT_EQ(ReadFile(app + app_name + ".exe"), "new application");
  EXPECT_EQ(ReadFile(app + "Izvjestaji/Racun.rpt"), "report");
  EXPECT_FALSE(fs::exists(app + "Install.Ini"));
}

}  // namespace
}  // namespace zepr
