// The Windows ZEPRUpdate.exe under Wine, with its window on a private X server: where the window
// stands, what it draws, and how it answers the operator's keys. The Windows build folder comes
// from ZEPR_WINDOWS_BUILD_DIR; the Wine prefix from ZEPR_WINEPREFIX, else a fresh one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "support/sandbox.h"
#include "x_server.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::BackgroundProgram;
using testing::Shot;

struct Geometry {
  int x = -1, y = -1, w = 0, h = 0;
};

constexpr int kWidth = 583;
constexpr int kHeight = 366;
constexpr const char* kTitle = "ZEPR nadogradnja aplikacije";

class WineWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* build = std::getenv("ZEPR_WINDOWS_BUILD_DIR");
    if (!build || !*build) GTEST_SKIP() << "ZEPR_WINDOWS_BUILD_DIR names no Windows build";
    const fs::path program = fs::path(build) / "bin" / "ZEPRUpdate.exe";
    if (!fs::exists(program)) GTEST_SKIP() << program << " is not built";
    wine_ = testing::FindProgram("wine");
    if (wine_.empty()) GTEST_SKIP() << "Wine is not installed (Debian package wine)";
    if (testing::FindProgram("xdotool").empty()) GTEST_SKIP() << "xdotool is not installed";
    std::string why_not;
    server_ = testing::XServer::Start(&why_not);
    if (!server_) GTEST_SKIP() << why_not;
    fs::copy_file(program, exe_);
    const char* prefix = std::getenv("ZEPR_WINEPREFIX");
    prefix_ = prefix && *prefix ? fs::path(prefix) : dir_.path() / "wineprefix";
  }

  void TearDown() override {
    // A prefix of our own goes with the test; its server must not outlive it.
    if (server_ && !std::getenv("ZEPR_WINEPREFIX")) {
      const std::string wineserver = testing::FindProgram("wineserver");
      if (!wineserver.empty()) testing::RunProgram({wineserver, "-k"}, Env());
    }
  }

  std::vector<std::string> Env() const {
    return {"DISPLAY=" + server_->display(), "WINEPREFIX=" + prefix_.string(), "WINEDEBUG=-all",
            // No desktop integration or Mono/Gecko prompts while a fresh prefix is made.
            "WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe="};
  }

  testing::ProcessResult Xdo(std::vector<std::string> args) {
    args.insert(args.begin(), testing::FindProgram("xdotool"));
    return testing::RunProgram(args, {"DISPLAY=" + server_->display()});
  }

  std::unique_ptr<BackgroundProgram> Start(std::vector<std::string> params) {
    params.insert(params.begin(), exe_.string());
    params.insert(params.begin(), wine_);
    return std::make_unique<BackgroundProgram>(params, Env(), dir_.path() / "out.txt");
  }

  // The visible window of the program with that title, 0 when none within the time. A fresh
  // prefix takes a while to be made before the program starts.
  unsigned long FindWindow(const BackgroundProgram& program, const std::string& title,
                           int ms = 90000) {
    for (int waited = 0; waited <= ms; waited += 100) {
      auto r = Xdo({"search", "--all", "--onlyvisible", "--pid", std::to_string(program.pid()),
                    "--name", "^" + title + "$"});
      if (r.exit_code == 0 && !r.output.empty()) return std::stoul(r.output);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
  }

  Geometry GeometryOf(unsigned long window) {
    auto r = Xdo({"getwindowgeometry", std::to_string(window)});
    Geometry g;
    const auto pos = r.output.find("Position: ");
    const auto size = r.output.find("Geometry: ");
    if (pos == std::string::npos || size == std::string::npos) return g;
    std::sscanf(r.output.c_str() + pos, "Position: %d,%d", &g.x, &g.y);
    std::sscanf(r.output.c_str() + size, "Geometry: %dx%d", &g.w, &g.h);
    return g;
  }

  void Keys(unsigned long window, const std::vector<std::string>& keys) {
    ASSERT_EQ(Xdo({"windowfocus", "--sync", std::to_string(window)}).exit_code, 0);
    std::vector<std::string> args{"key", "--delay", "40"};
    args.insert(args.end(), keys.begin(), keys.end());
    ASSERT_EQ(Xdo(args).exit_code, 0);
  }

  // The whole screen, as the operator would see it.
  Shot Screenshot(const std::string& name) {
    const fs::path ppm = dir_.path() / (name + ".ppm");
    auto r = testing::RunProgram(
        {testing::FindProgram("import"), "-window", "root", "-depth", "8", ppm.string()},
        {"DISPLAY=" + server_->display()});
    EXPECT_EQ(r.exit_code, 0) << r.output;
    if (const char* keep = std::getenv("ZEPR_GUI_SHOTS")) {
      testing::ConvertImage(ppm, fs::path(keep) / ("wine-" + name + ".png"));
    }
    return Shot::ReadPpm(ppm);
  }

  // Until the window shows its pixels: Wine maps it before the first paint arrives.
  Shot PaintedWindow(const std::string& name, const Geometry& g) {
    Shot shot;
    for (int i = 0; i < 50; ++i) {
      shot = Screenshot(name).Crop(g.x, g.y, kWidth, kHeight);
      if (testing::Near(shot.at(450, 8), 255, 255, 255, 0)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return shot;
  }

  std::string Output() { return testing::ReadFile(dir_.path() / "out.txt"); }

  std::unique_ptr<testing::XServer> server_;
  testing::TempDir dir_;
  fs::path exe_ = dir_.path() / "ZEPRUpdate.exe";
  fs::path prefix_;
  std::string wine_;
};

bool Greenish(testing::Rgb8 c) { return c.g > c.r + 40 && c.g > c.b + 10; }

// An update type outside 1..8 runs nothing, so the window keeps its first look for as long
// as the test needs.
TEST_F(WineWindowTest, WindowOpensCentredWithoutBorderAndLooksAsDesigned) {
  auto program = Start({"Demo", "DEMO", "Demo", "_SVI", "9"});
  const unsigned long window = FindWindow(*program, kTitle);
  ASSERT_NE(window, 0u) << Output();
  const Geometry g = GeometryOf(window);
  EXPECT_EQ(g.w, kWidth);
  EXPECT_EQ(g.h, kHeight);
  EXPECT_EQ(g.x, (1024 - kWidth) / 2);
  EXPECT_EQ(g.y, (768 - kHeight) / 2);
  EXPECT_TRUE(testing::WindowIsBorderless(server_->display(), window));

  const Shot shot = PaintedWindow("type9", g);
  // White header band with the green title; grey status panel; white body; the picture.
  EXPECT_TRUE(testing::Near(shot.at(450, 8), 255, 255, 255, 0));
  EXPECT_GT(shot.Count(0, 0, 400, 49, Greenish), 300);
  EXPECT_EQ(shot.Count(400, 0, 183, 49, Greenish), 0) << "the title is longer than expected";
  EXPECT_TRUE(testing::Near(shot.at(300, 50), 221, 221, 221, 0)) << "the line under the header";
  EXPECT_TRUE(testing::Near(shot.at(565, 290), 221, 221, 221, 0));
  EXPECT_TRUE(testing::Near(shot.at(575, 100), 255, 255, 255, 0));
  EXPECT_GT(shot.Count(9, 60, 170, 300, Greenish), 170 * 300 / 2);
  // The four design-time steps, each a line of text: ink separated by blank rows (a few blank
  // rows between the letters and their descenders do not part a line).
  int lines = 0;
  int blank_rows = 3;
  for (int y = 60; y < 140; ++y) {
    if (shot.Count(211, y, 200, 1, testing::Dark) == 0) {
      ++blank_rows;
      continue;
    }
    if (blank_rows >= 3) ++lines;
    blank_rows = 0;
  }
  EXPECT_EQ(lines, 4);
  // "Status :", the statistics captions, and "tip: 9" at the right end of the type line.
  EXPECT_GT(shot.Count(187, 157, 56, 16, testing::Dark), 20);
  EXPECT_GT(shot.Count(188, 153 + 78, 170, 64, testing::Dark), 200);
  EXPECT_GT(shot.Count(500, 310, 71, 20, testing::Dark), 20);
  // Nothing drawn where the hidden check boxes stand.
  EXPECT_EQ(shot.Count(453, 3, 122, 45, testing::Dark), 0);

  Keys(window, {"Escape"});
  int code = -1;
  EXPECT_TRUE(program->WaitForExit(20000, &code)) << Output();
  EXPECT_EQ(code, 0);
}

// Type 4 without a customer folder stops at once with the message dialog and leaves its window
// open with the three boxes shown: unchecked, checked, checked. The letter keys toggle them.
TEST_F(WineWindowTest, MessageDialogClosesOnEscAndLetterKeysToggleTheCheckBoxes) {
  const fs::path share = dir_.path() / "share";
  fs::create_directories(share);
  auto program = Start({"Demo", "DEMO", "Demo", "", "4", share.string(), "x", "skripta.sql", ""});
  const unsigned long window = FindWindow(*program, kTitle);
  ASSERT_NE(window, 0u) << Output();
  const unsigned long dialog = FindWindow(*program, "Update", 30000);
  ASSERT_NE(dialog, 0u) << "no message dialog about the missing address\n" << Output();
  const Geometry d = GeometryOf(dialog);
  EXPECT_EQ(d.w, 497);
  EXPECT_GT(d.h, 130);
  const Shot dialog_shot = Screenshot("type4-dialog").Crop(d.x, d.y, d.w, d.h);
  // Title band with its green caption, the text on grey, and the one wide button.
  EXPECT_GT(dialog_shot.Count(0, 0, 300, 39, Greenish), 100);
  EXPECT_GT(dialog_shot.Count(0, 39, d.w, d.h - 130, testing::Dark), 100);
  EXPECT_TRUE(testing::Near(dialog_shot.at(250, d.h - 86 + 6 + 2), 255, 255, 255, 0))
      << "the button";

  Keys(dialog, {"Escape"});
  for (int i = 0; i < 100 && FindWindow(*program, "Update", 0) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(FindWindow(*program, "Update", 0), 0u) << "Esc did not close the message dialog";

  const Geometry g = GeometryOf(window);
  // The boxes' places: CheckBox1 500,31; CheckBox2 453,17; CheckBox3 458,3; each box square
  // at the right end of its 17 px high strip (which ends at 575).
  auto ticked = [&](const Shot& shot, int top) {
    return shot.Count(g.x + 575 - 12, g.y + top + 4, 10, 10, testing::Dark) > 8;
  };
  Shot shot = Screenshot("type4-before");
  EXPECT_FALSE(ticked(shot, 31));
  EXPECT_TRUE(ticked(shot, 17));
  EXPECT_TRUE(ticked(shot, 3));

  Keys(window, {"u", "b", "s"});
  bool toggled = false;
  for (int i = 0; i < 50 && !toggled; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    shot = Screenshot("type4-after");
    toggled = ticked(shot, 31) && !ticked(shot, 17) && !ticked(shot, 3);
  }
  EXPECT_TRUE(toggled);

  Keys(window, {"Escape"});
  int code = -1;
  EXPECT_TRUE(program->WaitForExit(20000, &code)) << Output();
  EXPECT_EQ(code, 1);  // no internet location: a wrong parameter
}

}  // namespace
}  // namespace zepr
