#include "app/headless_view.h"

#include <gtest/gtest.h>

#include <sstream>

#include "app/form_create.h"
#include "support/sandbox.h"

namespace zepr {
namespace {

constexpr auto kSteps = StepList::kJvInstallLabel1;

TEST(HeadlessView, PrintsOneStableLinePerVisibleChange) {
  VirtualClock clock;
  std::ostringstream out;
  HeadlessView view(clock, out);
  RunParams run;
  FormCreate({"App", "S", "E", "F", "3", "s,u,p,d"}, "h", run, view);
  view.Show();
  view.UpdateProg(kSteps, 0, 1);
  view.UpdateProg(kSteps, 1, 1);
  view.SetLabel1("Neuspješno kopiranje sa share foldera: \r/share/");
  view.FormKeyDown('L');
  view.ShowPoruka("Greška!", "tekst");
  view.ShowCompletion();
  view.RequestEnd();
  view.ShowPoruka("Greška!", "after the end");
  EXPECT_EQ(out.str(),
            "header:  >Nadogradnja aplikacije App\n"
            "type: tip: 3\n"
            "steps: Spajam se na internet server | Skidam Update.zip datoteke | Raspakiravam | "
            "Instaliram\n"
            "check 3 off shown: prikaz grešaka (L)\n"
            "mark steps 0 0 bold: Spajam se na internet server\n"
            "mark steps 1 0 bold: Skidam Update.zip datoteke\n"
            "mark steps 0 1 plain: Spajam se na internet server\n"
            "status: Neuspješno kopiranje sa share foldera: \\r/share/\n"
            "check 3 on shown: prikaz grešaka (L)\n"
            "dialog: Greška!: tekst\n"
            "done: Instalacija završena.\n"
            "end\n");
}

TEST(HeadlessView, TimerRunsOnceAfterItsInterval) {
  VirtualClock clock;
  std::ostringstream out;
  HeadlessView view(clock, out);
  int fired = 0;
  view.StartTimer(2000, [&] { ++fired; });
  view.RunMessageLoop();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(clock.slept_ms(), 2000u);
}

TEST(HeadlessView, ErrorLogIsPrintedAsUtf8) {
  testing::TempDir dir;
  testing::WriteFile(dir.path() / "log.txt", "skripta.sql, linija: 3\r\n\x8A\r\n");
  VirtualClock clock;
  std::ostringstream out;
  HeadlessView view(clock, out);
  view.OpenErrorLog((dir.path() / "log.txt").string());
  EXPECT_EQ(out.str(), "log: " + (dir.path() / "log.txt").string() +
                           "\nlog| skripta.sql, linija: 3\nlog| Š\n");
}

}  // namespace
}  // namespace zepr
