#include <gtest/gtest.h>

#include <filesystem>

#include "support/sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::RunProgram;

// The real binary copied into a fresh application folder.
struct Sandbox {
  testing::TempDir dir;
  fs::path exe = dir.path() / "ZEPRUpdate.exe";
  Sandbox() { fs::copy_file(testing::BuildDir() / "bin" / "ZEPRUpdate.exe", exe); }
};

TEST(Startup, NoArgumentsEndsAtOnceSilently) {
  Sandbox box;
  auto r = RunProgram({box.exe.string()});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.output, "");
}

TEST(Startup, HeadlessWithoutDisplayPrintsTheWindowAndEnds) {
  Sandbox box;
  auto r = RunProgram({box.exe.string(), "Demo", "DEMO", "Demo", "_SVI", "9"}, {"DISPLAY="});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.output.find("header:  >Nadogradnja aplikacije Demo\n"), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("type: tip: 9\n"), std::string::npos);
  EXPECT_NE(r.output.find("steps: Spajam se na server... | Prikupljam podatke za update..."),
            std::string::npos);
}

TEST(Startup, ParameterFiveNotAnIntegerIsReported) {
  Sandbox box;
  auto r = RunProgram({box.exe.string(), "Demo", "DEMO", "Demo", "_SVI", "abc"}, {"DISPLAY="});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("dialog: ZEPR Nadogradnja aplikacije: 'abc' is not a valid integer "
                          "value\n"),
            std::string::npos)
      << r.output;
}

}  // namespace
}  // namespace zepr
