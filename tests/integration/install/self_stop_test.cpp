#include <gtest/gtest.h>

#include <filesystem>

#include "install/processes.h"

namespace zepr {
namespace {

// An application named like the updater must never make the updater stop itself.
TEST(StopProgram, NeverStopsTheUpdaterItself) {
  const auto self = std::filesystem::read_symlink("/proc/self/exe");
  VirtualClock clock;
  SystemProcesses processes(clock);
  for (const std::string& name : {self.filename().string(), self.string()}) {
    processes.StopProgram(name);
    EXPECT_FALSE(TerminateAllByName(name));
    EXPECT_FALSE(TerminateByModuleName(name));
    // The updater is not the program it asks about.
    EXPECT_FALSE(processes.IsProgramRunning(name));
  }
  SUCCEED() << "still running";
}

}  // namespace
}  // namespace zepr
