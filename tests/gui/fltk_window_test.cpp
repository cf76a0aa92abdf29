// The FLTK main window and message dialog in this process, on a private X server: what they
// draw, and how they answer real key presses and clicks sent through the X server.
#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "app/fltk/colours.h"
#include "app/fltk/main_form.h"
#include "app/fltk/poruka_dialog.h"
#include "app/fltk/widgets.h"
#include "app/fltk_view.h"
#include "config/password_scramble.h"
#include "core/wait.h"
#include "support/sandbox.h"
#include "toolkit_x.h"
#include "x_server.h"

namespace zepr {
namespace {

using testing::Shot;
constexpr auto kSteps = StepList::kJvInstallLabel1;

// One X server per test process (the toolkit opens its display once).
testing::XServer* SharedServer(std::string* why_not) {
  static std::string reason;
  static std::unique_ptr<testing::XServer> server = [] {
    auto s = testing::XServer::Start(&reason);
    if (s) setenv("DISPLAY", s->display().c_str(), 1);
    return s;
  }();
  *why_not = reason;
  return server.get();
}

// Lets the window run until the condition holds or 10 s pass.
bool PumpUntil(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    Fl::wait(0.02);
  }
  return true;
}

Shot Capture(Fl_Window& window) {
  Fl::flush();
  return testing::CaptureWindow(testing::ToolkitDisplay(), testing::ToolkitWindow(window));
}

bool Is(testing::Rgb8 c, Rgb colour) { return testing::Near(c, colour.r, colour.g, colour.b, 40); }

// A borderless window at the screen's top left, shown and painted, for drawing checks.
class TestWindow : public Fl_Double_Window {
 public:
  TestWindow(int w, int h) : Fl_Double_Window(0, 0, w, h) {}
  Shot ShowAndCapture() {
    end();
    border(0);
    show();
    wait_for_expose();
    return Capture(*this);
  }
};

// Dark pixels of the text drawn in one of our labels without any wrapping: how much ink the
// whole text has, as the measure of whether all of it is shown elsewhere.
int InkOfWholeText(const std::string& text, Fl_Font font, int size, Fl_Color background) {
  TestWindow window(1000, 60);
  TextLabel label(0, 0, 1000, 60, font, size, FL_BLACK, background,
                  FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE);
  label.SetText(text);
  const Shot shot = window.ShowAndCapture();
  return shot.Count(0, 0, shot.w(), shot.h(), testing::Dark);
}

class FltkWindowTest : public ::testing::Test {
 public:
  void SetUp() override {
    std::string why_not;
    server_ = SharedServer(&why_not);
    if (!server_) GTEST_SKIP() << why_not;
    app_view_ = MakeFltkView(clock_);
    ASSERT_NE(app_view_, nullptr);
    view_ = dynamic_cast<FltkView*>(app_view_.get());
    ASSERT_NE(view_, nullptr);
  }

  MainForm& form() { return view_->Form(); }
  unsigned long Xid(Fl_Window& w) { return testing::ToolkitWindow(w); }

  // xdotool against our X server; the events arrive through the toolkit's event loop.
  void Xdo(std::vector<std::string> args) {
    args.insert(args.begin(), testing::FindProgram("xdotool"));
    auto r = testing::RunProgram(args, {"DISPLAY=" + server_->display()});
    ASSERT_EQ(r.exit_code, 0) << r.output;
  }
  void Keys(Fl_Window& window, const std::vector<std::string>& keys) {
    Xdo({"windowfocus", "--sync", std::to_string(Xid(window))});
    std::vector<std::string> args{"key", "--delay", "30"};
    args.insert(args.end(), keys.begin(), keys.end());
    Xdo(args);
  }
  // The pointer arrives first and the click follows, as an operator's hand would do it.
  void Click(Fl_Window& window, int x, int y, int repeat = 1) {
    Xdo({"mousemove", "--window", std::to_string(Xid(window)), std::to_string(x),
         std::to_string(y)});
    for (int i = 0; i < 5; ++i) Fl::wait(0.02);
    Xdo({"click", "--repeat", std::to_string(repeat), "--delay", "60", "1"});
  }
  // A loop that fails to end on its own still ends, so a fault fails the test instead of
  // hanging it.
  void EndLoopAfter(double seconds) {
    Fl::add_timeout(
        seconds, [](void* view) { static_cast<FltkView*>(view)->RequestEnd(); }, view_);
  }
  void ShowForm() {
    view_->Show();
    ASSERT_TRUE(PumpUntil([&] { return form().visible(); }));
  }

  testing::XServer* server_ = nullptr;
  SystemClock clock_;
  std::unique_ptr<AppView> app_view_;
  FltkView* view_ = nullptr;
};

TEST_F(FltkWindowTest, StepListDrawsEachImageAndStatusIsPaintedAtOnce) {
  view_->SetLines(kSteps, {"Spajam se na internet server", "Skidam Update.zip datoteke",
                           "Raspakiravam", "Instaliram"});
  view_->SetLineState(kSteps, 0, 0, true);
  view_->SetLineState(kSteps, 1, 1, false);
  view_->SetLineState(kSteps, 2, 2, false);
  ShowForm();
  Fl::flush();
  const Shot before = Capture(form());

  const StepListBox& list = form().JvInstallLabel1;
  const Rgb marks[] = {kActiveMark, kDoneMark, kFailedMark};
  for (int line = 0; line < 4; ++line) {
    const int top = list.y() + list.LineTop(line);
    for (int m = 0; m < 3; ++m) {
      const int n = before.Count(list.x(), top, StepListBox::kTextOffset, list.LinePitch(),
                                 [&](testing::Rgb8 c) { return Is(c, marks[m]); });
      if (m == line) {
        EXPECT_GT(n, 15) << "line " << line << " lacks its mark";
      } else {
        EXPECT_EQ(n, 0) << "line " << line << " shows mark " << m;
      }
    }
    // Every line has its text.
    EXPECT_GT(before.Count(list.x() + StepListBox::kTextOffset, top, 200, list.LinePitch(),
                           testing::Dark),
              20)
        << line;
  }

  // Label1 is painted by the call itself, before the event loop runs again.
  const TextLabel& status = form().Label1;
  EXPECT_EQ(before.Count(status.x(), status.y(), status.w(), status.h(), testing::Dark), 0);
  view_->SetLabel1("Neuspješno kopiranje sa share foldera: \r/mnt/share/");
  const Shot after = Capture(form());
  EXPECT_GT(after.Count(status.x(), status.y(), status.w(), status.h() / 3, testing::Dark), 50);
  EXPECT_GT(after.Count(status.x(), status.y() + status.h() / 3, status.w(), status.h() / 3,
                        testing::Dark),
            20)
      << "the CR breaks the line";
}

// A long address after "Skinuo sam datoteku" in the status is wrapped inside the label, all of
// it readable, where it used to run past the label's right edge and be cut off.
TEST_F(FltkWindowTest, StatusShowsALongAddressWholeAcrossLines) {
  const std::string text =
      "Skinuo sam datoteku \rhttp://localhost:8080/download/_UPDATE/update.php?file=DEMO/_SVI/"
      "UPDATE.ZIP";
  const int whole = InkOfWholeText(DisplayText(text), FL_HELVETICA_BOLD, 11, FL_WHITE);
  ShowForm();
  view_->SetLabel1(text);
  const Shot shot = Capture(form());
  const TextLabel& status = form().Label1;
  const int shown = shot.Count(status.x(), status.y(), status.w(), status.h(), testing::Dark);
  EXPECT_NEAR(shown, whole, whole / 12) << "ink of the whole text " << whole;
  // The address needs two lines below the first one.
  const int line = testing::LineHeight(FL_HELVETICA_BOLD, 11);
  for (int n = 0; n < 3; ++n) {
    EXPECT_GT(
        shot.Count(status.x(), status.y() + n * line + 2, status.w(), line - 4, testing::Dark), 40)
        << "line " << n;
  }
}

// Ordinary text, centred or not, wraps to the same pixels as the toolkit's own wrapping.
TEST_F(FltkWindowTest, OrdinaryTextWrapsAsTheToolkitWrapsIt) {
  const std::string texts[] = {
      "Neuspješno kopiranje sa share foldera: /mnt/share/Demo/UPDATE.ZIP nije pronađen",
      "Greška pri spajanju na server, provjerite postavke i pokušajte ponovno kasnije. "
      "Ako se greška ponavlja  javite se   podršci.",
      "\n\nKrivi parametri za lokaciju na internetu!\nDrugi red\n\n",
      "  a bb ccc dddd eeeee ffffff ggggggg hhhhhhhh iiiiiiiii jjjjjjjjjj kkkkkkkkkkk llllllllllll",
  };
  for (const Fl_Align align :
       {FL_ALIGN_CENTER | FL_ALIGN_INSIDE, FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE}) {
    for (const std::string& text : texts) {
      TestWindow window(2 * 322 + 40, 120);
      const auto both = testing::WrappedBothWays(322, window.h(), text, align);
      const Shot shot = window.ShowAndCapture();
      const Shot toolkit = shot.Crop(0, 0, 322, shot.h());
      const Shot ours = shot.Crop(322 + 40, 0, 322, shot.h());
      EXPECT_GT(toolkit.Count(0, 0, 322, shot.h(), testing::Dark), 100) << text;
      EXPECT_EQ(testing::DifferentPixels(toolkit, ours, 0), 0) << text;
    }
  }
}

TEST_F(FltkWindowTest, CheckBoxesShowTheirStateAndLetterKeysToggleThemEvenHidden) {
  view_->SetCheckBox(1, {"update (U)", true, false});
  view_->SetCheckBox(2, {"obrisati skriptu (B)", true, true});
  view_->SetCheckBox(3, {"izvršiti skriptu (S)", false, true});
  ShowForm();
  Fl::flush();
  auto ticks = [&](const Shot& shot, const OptionBox& box) {
    return shot.Count(box.BoxX() + 1, box.BoxY() + 1, OptionBox::kBoxSize - 2,
                      OptionBox::kBoxSize - 2, testing::Dark);
  };
  auto frame = [&](const Shot& shot, const OptionBox& box) {
    return shot.Count(box.BoxX(), box.BoxY(), OptionBox::kBoxSize, 1,
                      [](testing::Rgb8 c) { return !testing::Near(c, 255, 255, 255, 10); });
  };
  Shot shot = Capture(form());
  EXPECT_EQ(ticks(shot, form().CheckBox1), 0);
  EXPECT_GT(ticks(shot, form().CheckBox2), 8);
  EXPECT_EQ(frame(shot, form().CheckBox3), 0) << "a hidden box is not drawn";

  // Modifiers are not looked at: Ctrl+B toggles like B.
  Keys(form(), {"u", "ctrl+b", "s"});
  ASSERT_TRUE(PumpUntil([&] {
    return view_->Checked(1) && !view_->Checked(2) && !view_->Checked(3);
  })) << view_->Checked(1)
      << view_->Checked(2) << view_->Checked(3);
  Fl::flush();
  shot = Capture(form());
  EXPECT_GT(ticks(shot, form().CheckBox1), 8);
  EXPECT_EQ(ticks(shot, form().CheckBox2), 0);
  EXPECT_EQ(frame(shot, form().CheckBox3), 0);

  Keys(form(), {"l"});
  ASSERT_TRUE(PumpUntil([&] { return view_->Checked(3); }));
  // A click on a shown box toggles it too.
  Click(form(), form().CheckBox1.BoxX() + 5, form().CheckBox1.BoxY() + 5);
  ASSERT_TRUE(PumpUntil([&] { return !view_->Checked(1); }));
}

TEST_F(FltkWindowTest, StatisticsBlockFollowsItsVisibility) {
  view_->SetStatisticsVisible(false);
  ShowForm();
  const TextLabel& caption = form().Label4;
  const TextLabel& value = form().Label11;
  Fl::flush();
  Shot shot = Capture(form());
  EXPECT_EQ(shot.Count(caption.x(), caption.y(), caption.w(), 64, testing::Dark), 0);

  view_->SetStatisticsVisible(true);
  view_->SetProgressMax(2 * 1024 * 1024);
  view_->IdFTP1WorkBegin(2 * 1024 * 1024);
  clock_.Sleep(5);
  view_->IdFTP1Work(1024 * 1024);
  Fl::flush();
  shot = Capture(form());
  EXPECT_GT(shot.Count(caption.x(), caption.y(), caption.w(), caption.h(), testing::Dark), 30);
  EXPECT_GT(shot.Count(value.x(), value.y(), value.w(), value.h(), testing::Dark), 20);
  // Half of the progress bar is filled, ending in green.
  const ProgressBar& bar = form().Napredak;
  const auto greenish = [](testing::Rgb8 c) { return c.g > c.r + 30 && c.g > c.b; };
  EXPECT_GT(shot.Count(bar.x(), bar.y(), bar.w() / 2 - 4, bar.h(), greenish), 100);
  EXPECT_EQ(shot.Count(bar.x() + bar.w() / 2 + 4, bar.y(), bar.w() / 2 - 8, bar.h(), greenish), 0);
}

// The password tool: Ctrl+P shows and focuses ePass; the window still sees every key first;
// a double-click on ePass or on eURL scrambles the text of ePass.
TEST_F(FltkWindowTest, PasswordToolScramblesOnDoubleClickWhileWindowPreviewsKeys) {
  ShowForm();
  EXPECT_FALSE(form().ePass.visible());
  Keys(form(), {"ctrl+p"});
  ASSERT_TRUE(PumpUntil([&] { return view_->PassVisible() && Fl::focus() == &form().ePass; }));
  const bool box2 = view_->Checked(2), box3 = view_->Checked(3);
  Keys(form(), {"l", "b", "x"});
  ASSERT_TRUE(PumpUntil([&] { return view_->Pass() == "lbx"; })) << view_->Pass();
  EXPECT_EQ(std::string(form().ePass.value()), "lbx");
  EXPECT_NE(view_->Checked(3), box3) << "L reached the window before the box";
  EXPECT_NE(view_->Checked(2), box2) << "B reached the window before the box";

  Click(form(), form().ePass.x() + 20, form().ePass.y() + 8, 2);
  const std::string once = EditBoxText(ePassDblClickText("lbx"));
  ASSERT_TRUE(PumpUntil([&] { return view_->Pass() == once; })) << view_->Pass();
  EXPECT_EQ(once.front(), '/');

  view_->ShowFailedUrl("http://host/download/_UPDATE/update.php?file=K/S/UPDATE.ZIP");
  Fl::flush();
  EXPECT_TRUE(form().eURL.visible());
  EXPECT_EQ(std::string(form().eURL.value()), view_->Url());
  Click(form(), form().eURL.x() + 20, form().eURL.y() + 10, 2);
  const std::string twice = EditBoxText(ePassDblClickText(once));
  ASSERT_TRUE(PumpUntil([&] { return view_->Pass() == twice; })) << view_->Pass();
  EXPECT_EQ(std::string(form().eURL.value()), view_->Url()) << "eURL itself is not touched";
}

// What the dialog looked like while it was up.
struct SeenDialog {
  bool seen = false;
  int w = 0, h = 0, label_h = 0, buttons = 0, button_w = 0;
  std::string title, caption, text;
};

// Watches for the modal dialog, notes it and closes it the given way.
class DialogCloser {
 public:
  explicit DialogCloser(std::function<void(Fl_Window&)> close) : close_(std::move(close)) {
    Fl::add_timeout(0.05, &DialogCloser::Tick, this);
  }
  ~DialogCloser() { Fl::remove_timeout(&DialogCloser::Tick, this); }
  SeenDialog seen;

 private:
  static void Tick(void* data) {
    auto* self = static_cast<DialogCloser*>(data);
    Fl_Window* dialog = Fl::modal();
    if (!dialog || !dialog->visible()) {
      Fl::repeat_timeout(0.05, &DialogCloser::Tick, data);
      return;
    }
    SeenDialog& s = self->seen;
    s.seen = true;
    s.w = dialog->w();
    s.h = dialog->h();
    s.caption = dialog->label() ? dialog->label() : "";
    for (int i = 0; i < dialog->children(); ++i) {
      Fl_Widget* child = dialog->child(i);
      if (auto* band = dynamic_cast<HeaderBand*>(child)) s.title = band->Text();
      if (auto* label = dynamic_cast<TextLabel*>(child)) {
        s.text = label->Text();
        s.label_h = label->h();
      }
      if (auto* button = dynamic_cast<Fl_Button*>(child); button && button->visible()) {
        ++s.buttons;
        s.button_w = button->w();
      }
    }
    Fl::flush();
    self->close_(*dialog);
  }
  std::function<void(Fl_Window&)> close_;
};

void SendCloseBox(Fl_Window& window) {
  testing::SendCloseRequest(testing::ToolkitDisplay(), testing::ToolkitWindow(window));
}

TEST_F(FltkWindowTest, DialogGrowsWithItsTextAndEscButtonAndCloseBoxCloseIt) {
  ShowForm();
  struct Case {
    const char* how;
    std::string text;
    std::function<void(FltkWindowTest&, Fl_Window&)> close;
  };
  const std::string ten_lines = "1\r2\r3\r4\r5\r6\r7\r8\r9\r10";
  const Case cases[] = {
      {"Esc", "", [](FltkWindowTest& t, Fl_Window& d) { t.Keys(d, {"Escape"}); }},
      {"button", "Krivi parametri za lokaciju na internetu!",
       [](FltkWindowTest& t, Fl_Window& d) {
         t.Click(d, kPorukaButtonLeft + 100, d.h() - 86 + kPorukaButtonTop + 10);
       }},
      {"close box", ten_lines, [](FltkWindowTest&, Fl_Window& d) { SendCloseBox(d); }},
  };
  std::vector<SeenDialog> seen;
  for (const Case& c : cases) {
    DialogCloser closer([&](Fl_Window& d) { c.close(*this, d); });
    EXPECT_TRUE(view_->ShowPoruka("Greška!", c.text)) << c.how;
    seen.push_back(closer.seen);
    const SeenDialog& s = seen.back();
    ASSERT_TRUE(s.seen) << c.how;
    EXPECT_EQ(s.caption, "Update");
    EXPECT_EQ(s.title, ">Greška!");
    EXPECT_EQ(s.text, PorukaLabelText(c.text));
    EXPECT_EQ(s.w, kPorukaWidth);
    EXPECT_EQ(s.h, s.label_h + 130) << c.how;
    EXPECT_EQ(s.buttons, 1);
    EXPECT_EQ(s.button_w, 277);
  }
  // The empty text still has its four line breaks; ten lines make a taller dialog.
  EXPECT_GT(seen[0].label_h, 0);
  EXPECT_EQ(seen[0].label_h, seen[1].label_h);
  EXPECT_GT(seen[2].h, seen[1].h + 100);
}

// A failed address longer than the dialog is wide shows whole, over several lines inside the
// label's margins; the dialog grows for them. It used to be centred on one line and cut at
// both ends.
TEST_F(FltkWindowTest, DialogShowsALongAddressWholeAcrossLines) {
  const std::string url =
      "http://update.example.com:8080/download/_UPDATE/update.php?file=KLIJENT/"
      "SEKCIJA_SA_DUGIM_IMENOM/UPDATE.ZIP";
  const int whole = InkOfWholeText(url, FL_HELVETICA_BOLD, 11, kGrey.fl());
  ShowForm();
  auto show = [&](const std::string& text, Shot* shot) {
    DialogCloser closer([&](Fl_Window& d) {
      d.wait_for_expose();
      *shot = Capture(d);
      d.hide();
    });
    view_->ShowPoruka("Greška!", text);
    return closer.seen;
  };
  Shot short_shot, long_shot;
  const SeenDialog short_dialog = show("UPDATE.ZIP", &short_shot);
  const SeenDialog long_dialog = show(url, &long_shot);
  ASSERT_TRUE(long_dialog.seen);
  EXPECT_GE(long_dialog.label_h, short_dialog.label_h + testing::LineHeight(FL_HELVETICA_BOLD, 11))
      << "no room for a second line";
  EXPECT_EQ(long_dialog.h, long_dialog.label_h + 130);

  const int top = kPorukaTitleHeight;
  const int margin = (kPorukaWidth - kPorukaTextWidth) / 2;
  const int shown = long_shot.Count(0, top, kPorukaWidth, long_dialog.label_h, testing::Dark);
  EXPECT_NEAR(shown, whole, whole / 12) << "ink of the whole address " << whole;
  EXPECT_EQ(long_shot.Count(0, top, margin, long_dialog.label_h, testing::Dark), 0);
  EXPECT_EQ(long_shot.Count(kPorukaWidth - margin, top, margin, long_dialog.label_h, testing::Dark),
            0);
}

TEST_F(FltkWindowTest, HeaderClickShowsParametersAndPictureClickTurnsOnManualMode) {
  view_->SetHeader(" >Nadogradnja aplikacije Demo");
  view_->SetCommandLine(
      {"Demo", "DEMO", "Demo", "_SVI", "3", "srv,sa,pa7891+ss,db", "0", "", "", "deseti"});
  ShowForm();
  DialogCloser closer([&](Fl_Window& d) { Keys(d, {"Escape"}); });
  Click(form(), 450, 40);
  ASSERT_TRUE(PumpUntil([&] { return closer.seen.seen && !Fl::modal(); }));
  EXPECT_EQ(closer.seen.title, ">Parametri");
  EXPECT_NE(closer.seen.text.find("Param6: srv,sa,pa,ss,db\nParam7: 0\n"), std::string::npos)
      << closer.seen.text;
  EXPECT_NE(closer.seen.text.find("Param10: deseti\n"), std::string::npos);

  EXPECT_FALSE(view_->ManualMode());
  Click(form(), 90, 200);
  ASSERT_TRUE(PumpUntil([&] { return view_->ManualMode(); }));
}

// Esc in the middle of the run asks for the end; the run goes on to its own end and the loop
// stops when the timer's callback returns. The window stays up meanwhile.
TEST_F(FltkWindowTest, EscDuringTheRunEndsTheLoopOnlyAfterTheRunReturns) {
  ShowForm();
  bool run_went_on = false;
  bool shown_after_esc = false;
  EndLoopAfter(20);
  view_->StartTimer(10, [&] {
    Keys(form(), {"Escape"});
    ASSERT_TRUE(PumpUntil([&] { return view_->EndRequested(); }));
    WaitPumpingMessages(*view_, 50);
    shown_after_esc = form().visible();
    // A dialog after the request is not shown at all.
    EXPECT_TRUE(view_->ShowPoruka("Greška!", "ne prikazuje se"));
    run_went_on = true;
  });
  view_->RunMessageLoop();
  EXPECT_TRUE(run_went_on);
  EXPECT_TRUE(shown_after_esc);
}

TEST_F(FltkWindowTest, EscOutsideTheRunEndsTheLoopAtOnce) {
  ShowForm();
  bool fired = false;
  view_->StartTimer(30000, [&] { fired = true; });
  EndLoopAfter(20);
  Keys(form(), {"Escape"});
  view_->RunMessageLoop();
  EXPECT_TRUE(view_->EndRequested());
  EXPECT_FALSE(fired);
}

}  // namespace
}  // namespace zepr
