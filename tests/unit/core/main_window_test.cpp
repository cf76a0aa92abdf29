#include "core/main_window.h"

#include <gtest/gtest.h>

#include "core/errors.h"
#include "support/fake_window.h"

namespace zepr {
namespace {

using testing::FakeWindow;
constexpr auto kSteps = StepList::kJvInstallLabel1;

struct Mark {
  int image;
  bool bold;
  bool operator==(const Mark&) const = default;
};

std::vector<Mark> Marks(const MainWindow& w) {
  std::vector<Mark> out;
  for (const auto& l : w.Lines(kSteps)) out.push_back({l.image, l.bold});
  return out;
}

TEST(UpdateProg, MarksStepsAsSpecifiedForAllThreeCases) {
  VirtualClock clock;
  FakeWindow w(clock);
  w.SetLines(kSteps, {"a", "b", "c", "d"});
  w.SetLineState(kSteps, 3, 2, true);

  w.UpdateProg(kSteps, 0, 1);  // only line 0 marked, everything else reset
  EXPECT_EQ(Marks(w), (std::vector<Mark>{{0, true}, {-1, false}, {-1, false}, {-1, false}}));

  w.UpdateProg(kSteps, 1, 1);
  w.UpdateProg(kSteps, 2, 1);
  EXPECT_EQ(Marks(w), (std::vector<Mark>{{1, false}, {1, false}, {0, true}, {-1, false}}));

  w.UpdateProg(kSteps, 3, 1);
  w.UpdateProg(kSteps, 4, 1);  // past the end: last two lines done, none bold
  EXPECT_EQ(Marks(w), (std::vector<Mark>{{1, false}, {1, false}, {1, false}, {1, false}}));
}

TEST(UpdateProg, LineOutsideTheListRaises) {
  VirtualClock clock;
  FakeWindow w(clock);
  w.SetLines(kSteps, {"only"});
  EXPECT_THROW(w.SetLineState(kSteps, 1, 0, false), UpdateError);
  EXPECT_THROW(w.SetLineStateExclusive(kSteps, -1, 0, false), UpdateError);
}

TEST(Statistics, FormatsWithCommaGroupingAndPointDecimals) {
  EXPECT_EQ(FormatGrouped2(1536 / 1024.0), "1.50");
  EXPECT_EQ(FormatGrouped2(1234567 / 1024.0), "1,205.63");
  EXPECT_EQ(FormatGrouped2(1234567890.0), "1,234,567,890.00");
  EXPECT_EQ(FormatGrouped2(0), "0.00");
  EXPECT_EQ(FormatFixed2(1234.5), "1234.50");
  EXPECT_EQ(FormatElapsed(3'723'000), "1:02:03");
}

// The user's separators: hr_HR writes "." for thousands and "," for decimals; fr_FR groups
// with U+202F, three bytes in UTF-8.
TEST(Statistics, FormatsWithTheGivenSeparators) {
  const NumberSeparators croatian{".", ","};
  const NumberSeparators narrow_space{"\u202F", ","};
  const NumberSeparators long_marks{"\u00A0\u00A0", "\u2396"};
  struct Case {
    double value;
    const NumberSeparators& separators;
    std::string grouped;
    std::string fixed;
  } cases[] = {
      {1234567 / 1024.0, croatian, "1.205,63", "1205,63"},
      {1234567890.0, croatian, "1.234.567.890,00", "1234567890,00"},
      {-1234.5, croatian, "-1.234,50", "-1234,50"},
      {999.999, croatian, "1.000,00", "1000,00"},
      {1234567890.0, narrow_space, "1\u202F234\u202F567\u202F890,00", "1234567890,00"},
      {0.25, narrow_space, "0,25", "0,25"},
      {1234.5, long_marks, "1\u00A0\u00A0234\u239650", "1234\u239650"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatGrouped2(c.value, c.separators), c.grouped) << c.value;
    EXPECT_EQ(FormatFixed2(c.value, c.separators), c.fixed) << c.value;
  }
}

TEST(Statistics, WindowWritesWithItsSeparatorsAndEmptyOnesKeepTheDefaults) {
  VirtualClock clock;
  FakeWindow w(clock);
  w.SetProgressMax(2 * 1024 * 1024);
  w.SetNumberSeparators({".", ","});
  w.IdFTP1WorkBegin(2 * 1024 * 1024);
  clock.Advance(3000);
  w.IdFTP1Work(1024 * 1024 + 512);
  EXPECT_EQ(w.Statistics()[1], "341,50 Kb/s");
  EXPECT_EQ(w.Statistics()[2], "2.048,00 Kb");
  EXPECT_EQ(w.Statistics()[3], "1.024,50 Kb");

  w.SetNumberSeparators({"\u202F", ""});  // a locale without a decimal mark keeps the point
  w.IdFTP1Work(1024 * 1024 + 512);
  EXPECT_EQ(w.Statistics()[2], "2\u202F048.00 Kb");
  w.SetNumberSeparators({"", ""});  // C and POSIX have no grouping mark: the comma stays
  w.IdFTP1Work(1024 * 1024 + 512);
  EXPECT_EQ(w.Statistics()[2], "2,048.00 Kb");
  EXPECT_EQ(w.Statistics()[1], "341.50 Kb/s");
}

TEST(Statistics, TwoMegabyteFileAfterFourSecondsWithOneMegabyteDone) {
  VirtualClock clock;
  FakeWindow w(clock);
  w.SetProgressMax(2 * 1024 * 1024);
  w.IdFTP1WorkBegin(2 * 1024 * 1024);
  EXPECT_EQ(w.Statistics(), (std::array<std::string, 4>{}));  // empty before progress

  w.IdFTP1Work(0);  // no time has passed: speed stays empty, the rest is written
  EXPECT_EQ(w.Statistics()[1], "");
  EXPECT_EQ(w.Statistics()[2], "2,048.00 Kb");

  clock.Advance(4000);
  w.IdFTP1Work(1024 * 1024);
  EXPECT_EQ(w.Statistics()[0], "0:00:04");
  EXPECT_EQ(w.Statistics()[1], "256.00 Kb/s");
  EXPECT_EQ(w.Statistics()[2], "2,048.00 Kb");
  EXPECT_EQ(w.Statistics()[3], "1,024.00 Kb");
  EXPECT_EQ(w.Progress(), 1024 * 1024);

  w.IdFTP1WorkEnd();
  EXPECT_EQ(w.Statistics(), (std::array<std::string, 4>{}));
}

TEST(FormKeyDown, LettersToggleBoxesEvenWhenHiddenAndEscRequestsTheEnd) {
  VirtualClock clock;
  FakeWindow w(clock);
  ASSERT_FALSE(w.CheckBox(3).visible);
  const bool box1 = w.Checked(1), box2 = w.Checked(2), box3 = w.Checked(3);
  w.FormKeyDown('L');
  EXPECT_NE(w.Checked(3), box3);
  w.FormKeyDown('S');
  EXPECT_EQ(w.Checked(3), box3);
  w.FormKeyDown('U');
  w.FormKeyDown('B');
  EXPECT_NE(w.Checked(1), box1);
  EXPECT_NE(w.Checked(2), box2);
  w.FormKeyDown('X');
  EXPECT_FALSE(w.EndRequested());
  w.FormKeyDown(27);
  EXPECT_TRUE(w.EndRequested());
}

TEST(pNaslovClick, ShowsTenParametersWithEscapesDecoded) {
  VirtualClock clock;
  FakeWindow w(clock);
  w.SetCommandLine({"App", "S", "E", "F", "3", "srv,a7891+b7893+,c", "", "", "", "tenth"});
  w.pNaslovClick();
  ASSERT_EQ(w.dialogs.size(), 1u);
  EXPECT_EQ(w.dialogs[0].title, "Parametri");
  EXPECT_EQ(w.dialogs[0].text,
            "Param1: App\rParam2: S\rParam3: E\rParam4: F\rParam5: 3\rParam6: srv,a,b%,c\r"
            "Param7: \rParam8: \rParam9: \rParam10: tenth\r");
}

TEST(ShowPoruka, ReturnsAtOnceAfterTheEndWasRequested) {
  VirtualClock clock;
  FakeWindow w(clock);
  EXPECT_TRUE(w.ShowPoruka("Greška!", "one"));
  w.RequestEnd();
  EXPECT_TRUE(w.ShowPoruka("Greška!", "two"));
  ASSERT_EQ(w.dialogs.size(), 1u);
  EXPECT_EQ(w.dialogs[0].text, "one");
}

}  // namespace
}  // namespace zepr
