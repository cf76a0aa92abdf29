// Parts of the FLTK window that need no display.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <thread>
#include <vector>

#include "app/fltk/artwork.h"
#include "app/fltk/desktop_open.h"
#include "app/fltk/main_form.h"
#include "app/fltk/poruka_dialog.h"
#include "app/fltk/widgets.h"
#include "support/sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;

// A stand-in for the toolkit: every line break starts a line of 14 px; no wrapping.
int LinesOf14(const std::string& text, int /*width*/) {
  return 14 * static_cast<int>(1 + std::count(text.begin(), text.end(), '\n'));
}

TEST(PorukaLayout, TextIsFramedByTwoBreaksAboveAndBelow) {
  struct Case {
    std::string text;
    std::string label;
  } cases[] = {
      {"", "\n\n\n\n"},
      {"Greška", "\n\nGreška\n\n"},
      {"a\rb", "\n\na\nb\n\n"},
      // A caught error's message may carry CR LF; it is one break, not two.
      {"a\r\nb\nc", "\n\na\nb\nc\n\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(PorukaLabelText(c.text), c.label) << c.text;
}

TEST(PorukaLayout, HeightIsLabelHeightPlus130AndGrowsWithLines) {
  const int one = PorukaHeight("jedan", LinesOf14);
  const int ten = PorukaHeight("1\r2\r3\r4\r5\r6\r7\r8\r9\r10", LinesOf14);
  EXPECT_EQ(one, LinesOf14(PorukaLabelText("jedan"), 0) + 130);
  EXPECT_EQ(ten - one, 9 * 14);
  // The measuring sees the framed text at the label's width.
  std::string seen;
  int seen_width = 0;
  PorukaHeight("", [&](const std::string& text, int width) {
    seen = text;
    seen_width = width;
    return 0;
  });
  EXPECT_EQ(seen, "\n\n\n\n");
  EXPECT_GT(seen_width, 400);
  EXPECT_LE(seen_width, kPorukaWidth);
}

// A stand-in for a font: every character (not byte) is one pixel wide.
double OnePerCharacter(std::string_view text) {
  return static_cast<double>(
      std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines(1);
  for (char c : text) {
    if (c == '\n') {
      lines.emplace_back();
    } else {
      lines.back() += c;
    }
  }
  return lines;
}

TEST(WrapText, BreaksAtBlanksAndInsideWordsWiderThanALine) {
  struct Case {
    std::string text;
    int width;
    std::string wrapped;
  } cases[] = {
      // Ordinary words wrap at blanks; the blanks at a break go, leading ones stay.
      {"one two three four", 9, "one two\nthree\nfour"},
      {"aa  bb", 3, "aa\nbb"},
      {"  ab cd", 5, "  ab\ncd"},
      {"fits exactly", 12, "fits exactly"},
      // Line breaks stay, empty lines too.
      {"\n\nx\n\n", 5, "\n\nx\n\n"},
      // A word too wide for a line starts a new line and is cut where it no longer fits;
      // its last part takes the words after it.
      {"ab abcdefghijkl cd", 5, "ab\nabcde\nfghij\nkl cd"},
      {"Skinuo sam\nhttp://a.b/cdefgh", 8, "Skinuo\nsam\nhttp://a\n.b/cdefg\nh"},
      // Characters are not split, however narrow the line.
      {"ščćžđšč", 3, "ščć\nžđš\nč"},
      {"abc", 0, "a\nb\nc"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WrapText(c.text, c.width, OnePerCharacter), c.wrapped) << c.text;
  }
}

// With proportional widths every line of a long address fits and nothing of it is lost.
TEST(WrapText, LongAddressIsBrokenIntoLinesThatEachFit) {
  const auto width_of = [](std::string_view text) {
    double w = 0;
    for (char c : text) w += c == 'W' || c == '_' ? 2.5 : c == '/' ? 0.75 : 1.5;
    return w;
  };
  const std::string url =
      "http://WWW.host.example/download/_UPDATE/update.php?file=KLIJENT/SEKCIJA/UPDATE.ZIP";
  for (int width : {7, 20, 33, 60}) {
    const auto lines = LinesOf(WrapText(url, width, width_of));
    EXPECT_GE(lines.size(), static_cast<size_t>(width_of(url) / width)) << width;
    std::string joined;
    for (const auto& line : lines) {
      EXPECT_LE(static_cast<int>(width_of(line)), width) << width << ": " << line;
      // Cut where the next character no longer fits.
      if (&line != &lines.back()) {
        EXPECT_GT(static_cast<int>(width_of(line + url[joined.size() + line.size()])), width);
      }
      joined += line;
    }
    EXPECT_EQ(joined, url) << width;
  }
}

TEST(StepImages, EachIndexHasItsOwnPictureAndOthersNone) {
  const std::pair<int, StepIcon> cases[] = {{-1, StepIcon::kNone}, {0, StepIcon::kActive},
                                            {1, StepIcon::kDone},  {2, StepIcon::kFailed},
                                            {3, StepIcon::kNone},  {-7, StepIcon::kNone}};
  for (const auto& [image, icon] : cases) EXPECT_EQ(StepIconFor(image), icon) << image;
}

TEST(EditBox, TextEndsAtTheFirstZeroByte) {
  EXPECT_EQ(EditBoxText(std::string("/ab\0cd/", 7)), "/ab");
  EXPECT_EQ(EditBoxText(std::string("\0x", 2)), "");
  EXPECT_EQ(EditBoxText("//"), "//");
}

TEST(DisplayText, LoneCrAndCrLfBreakOnce) {
  EXPECT_EQ(DisplayText("a\rb\r\nc\n\rd"), "a\nb\nc\n\nd");
  EXPECT_EQ(DisplayText("a@b & c"), "a@b & c");
}

// The error log is handed to the desktop's opener as one argument, from the log's folder,
// without waiting for it.
TEST(OpenWithDesktop, PassesThePathAsOneArgumentAndDoesNotWait) {
  testing::TempDir dir;
  const fs::path bin = dir.path() / "bin";
  fs::create_directories(bin);
  const fs::path record = dir.path() / "record.txt";
  const fs::path release = dir.path() / "release";
  testing::WriteFile(bin / "xdg-open",
                     "#!/bin/sh\n"
                     "printf '%s|%s|%s\\n' \"$#\" \"$PWD\" \"$1\" > '" +
                         record.string() + ".tmp'\nmv '" + record.string() + ".tmp' '" +
                         record.string() +
                         "'\n"
                         "while [ ! -e '" +
                         release.string() + "' ]; do sleep 0.05; done\n");
  fs::permissions(bin / "xdg-open", fs::perms::owner_all);
  const fs::path app = dir.path() / "my app";
  fs::create_directories(app);
  const std::string log = (app / "GreškeSQLUpdate.txt").string();
  testing::WriteFile(log, "x");

  const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", (bin.string() + ":" + old_path).c_str(), 1);
  DetachedChildren children;
  // Returns while the opener still waits for its release: the call does not wait.
  ASSERT_TRUE(children.OpenWithDesktop(log));
  setenv("PATH", old_path.c_str(), 1);
  EXPECT_EQ(children.Running(), 1u);

  for (int i = 0; i < 200 && !fs::exists(record); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  EXPECT_EQ(testing::ReadFile(record), "1|" + app.string() + "|" + log + "\n");
  testing::WriteFile(release, "");
  for (int i = 0; i < 200 && children.Running() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    children.Reap();
  }
  EXPECT_EQ(children.Running(), 0u);
}

TEST(OpenWithDesktop, MissingOpenerIsNoError) {
  const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", "/nonexistent", 1);
  DetachedChildren children;
  EXPECT_FALSE(children.OpenWithDesktop("/tmp/x.txt"));
  setenv("PATH", old_path.c_str(), 1);
  EXPECT_EQ(children.Running(), 0u);
}

}  // namespace
}  // namespace zepr
