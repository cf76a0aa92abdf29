#include "app/fltk/main_form.h"

#include <FL/Fl.H>

#include "app/fltk/colours.h"
#include "app/fltk/poruka_dialog.h"
#include "config/password_scramble.h"

namespace zepr {

namespace {

// The status panel p and the rows of its statistics block.
constexpr int kPx = 183;
constexpr int kPy = 153;
constexpr int kPw = 387;
constexpr int kCaptionX = kPx + 5;
constexpr int kCaptionW = 170;
constexpr int kValueX = kPx + 180;
constexpr int kValueW = 140;
constexpr int kRowH = 16;

constexpr Fl_Align kRight = FL_ALIGN_RIGHT | FL_ALIGN_INSIDE;
constexpr Fl_Align kTopLeft = FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE;

}  // namespace

MainForm::MainForm()
    : Fl_Double_Window(MainWindow::kWidth, MainWindow::kHeight, "ZEPR nadogradnja aplikacije"),
      Shape1(FL_FLAT_BOX, 0, 51, MainWindow::kWidth, MainWindow::kHeight - 51, nullptr),
      pNaslov(0, 0, MainWindow::kWidth, 49),
      Panel1(FL_FLAT_BOX, 0, 49, MainWindow::kWidth, 2, nullptr),
      Image1(9, 60, 170, 300),
      JvInstallLabel1(183, 60, 386, 80),
      p(FL_FLAT_BOX, kPx, kPy, kPw, 156, nullptr),
      Panel2(FL_FLAT_BOX, kPx, kPy, kPw, 40, nullptr),
      Label3(kPx + 4, kPy + 4, 56, kRowH, FL_HELVETICA_BOLD, 11, FL_BLACK, FL_WHITE, kTopLeft),
      Label1(kPx + 62, kPy + 1, 322, 39, FL_HELVETICA_BOLD, 11, FL_BLACK, FL_WHITE,
             kTopLeft | FL_ALIGN_WRAP | FL_ALIGN_CLIP),
      Panel3(FL_FLAT_BOX, kPx, kPy + 40, kPw, 1, nullptr),
      Napredak(kPx, kPy + 46, kPw, 18),
      Panel4(FL_FLAT_BOX, kPx, kPy + 69, kPw, 1, nullptr),
      Label4(kCaptionX, kPy + 78, kCaptionW, kRowH, FL_HELVETICA_BOLD, 11, FL_BLACK, kGrey.fl(),
             kRight),
      Label8(kValueX, kPy + 78, kValueW, kRowH, FL_HELVETICA, 11, FL_BLACK, kGrey.fl(), kRight),
      Label5(kCaptionX, kPy + 126, kCaptionW, kRowH, FL_HELVETICA_BOLD, 11, FL_BLACK, kGrey.fl(),
             kRight),
      Label9(kValueX, kPy + 126, kValueW, kRowH, FL_HELVETICA, 11, FL_BLACK, kGrey.fl(), kRight),
      Label6(kCaptionX, kPy + 94, kCaptionW, kRowH, FL_HELVETICA_BOLD, 11, FL_BLACK, kGrey.fl(),
             kRight),
      Label10(kValueX, kPy + 94, kValueW, kRowH, FL_HELVETICA, 11, FL_BLACK, kGrey.fl(), kRight),
      Label7(kCaptionX, kPy + 110, kCaptionW, kRowH, FL_HELVETICA_BOLD, 11, FL_BLACK, kGrey.fl(),
             kRight),
      Label11(kValueX, kPy + 110, kValueW, kRowH, FL_HELVETICA, 11, FL_BLACK, kGrey.fl(), kRight),
      Panel5(FL_FLAT_BOX, kPx, kPy + 148, kPw, 1, nullptr),
      // Parked outside the visible area: type 7 keeps its database list there.
      JvInstallLabel2(kPx + 1000, kPy, 386, 5000),
      Label2(184, 310, 387, 38, FL_HELVETICA_BOLD, 13, FL_BLACK, FL_WHITE,
             FL_ALIGN_RIGHT | FL_ALIGN_TOP | FL_ALIGN_INSIDE),
      lUspjesno(268, 318, 227, 28, FL_HELVETICA, 25, kGreen.fl(), FL_WHITE, kTopLeft),
      CheckBox1(500, 31, 75, 17),
      CheckBox2(453, 17, 122, 17),
      CheckBox3(458, 3, 117, 17),
      eURL(179, 14, 254, 24),
      ePass(9, 334, 170, 22) {
  end();
  color(kGrey.fl());
  xclass("ZEPRUpdate");
  Shape1.color(FL_WHITE);
  Panel1.color(kGrey.fl());
  p.color(kGrey.fl());
  Panel2.color(FL_WHITE);
  for (Fl_Box* line : {&Panel3, &Panel4, &Panel5}) line->color(kLineGrey.fl());
  Label3.SetText("Status :");
  Label4.SetText("Ukupno vrijeme :");
  Label5.SetText("Brzina prijenosa :");
  Label6.SetText("Ukupno za prenijeti :");
  Label7.SetText("Preneseno :");
  Napredak.label("Napredak");
  lUspjesno.box(FL_NO_BOX);
  lUspjesno.SetText("Instalacija završena.");
  lUspjesno.hide();
  eURL.hide();
  ePass.hide();
  border(0);
}

namespace {

// The one main window that previews keys (the toolkit's dispatch hook has no user data).
FltkView* key_preview_view = nullptr;

}  // namespace

FltkView::FltkView(Clock& clock) : AppView(clock), form_(std::make_unique<MainForm>()) {
  MainForm& form = *form_;
  // Esc and the close box ask for the end instead of hiding the window.
  form.callback([](Fl_Widget*, void* view) { static_cast<FltkView*>(view)->RequestEnd(); }, this);
  form.pNaslov.OnClick([this] { pNaslovClick(); });
  form.Image1.OnClick([this] { Image1Click(); });
  form.CheckBox1.OnClick([this] { Toggle(1); });
  form.CheckBox2.OnClick([this] { Toggle(2); });
  form.CheckBox3.OnClick([this] { Toggle(3); });
  form.ePass.when(FL_WHEN_CHANGED);
  form.ePass.callback(
      [](Fl_Widget* w, void* view) {
        static_cast<FltkView*>(view)->SetPass(static_cast<EditBox*>(w)->value());
      },
      this);
  form.ePass.OnDoubleClick([this] { ePassDblClick(); });
  form.eURL.OnDoubleClick([this] { ePassDblClick(); });
  key_preview_view = this;
  Fl::event_dispatch(&FltkView::DispatchEvent);
  RefreshAll();
}

FltkView::~FltkView() {
  Fl::remove_timeout(&FltkView::TimerFired, this);
  Fl::remove_idle(&FltkView::WakeLoop, this);
  if (key_preview_view == this) {
    key_preview_view = nullptr;
    Fl::event_dispatch(nullptr);
  }
  form_->hide();
}

int FltkView::DispatchEvent(int event, Fl_Window* window) {
  FltkView* view = key_preview_view;
  if (event == FL_KEYBOARD && view && window == view->form_.get() &&
      (!Fl::modal() || Fl::modal() == window)) {
    if (view->PreviewKey()) return 1;
  }
  return Fl::handle_(event, window);
}

bool FltkView::PreviewKey() {
  const int key = Fl::event_key();
  if ((Fl::event_state() & FL_CTRL) && (key == 'p' || key == 'P')) {
    Kriptajpassword1Click();
    return true;
  }
  if (key == FL_Escape) {
    FormKeyDown(27);
  } else if (key >= 'a' && key <= 'z') {
    FormKeyDown(key - 'a' + 'A');
  } else if (key >= '0' && key <= '9') {
    FormKeyDown(key);
  }
  return false;
}

void FltkView::Kriptajpassword1Click() {
  ShowPass();
  form_->ePass.take_focus();
}

void FltkView::ePassDblClick() { SetPass(EditBoxText(ePassDblClickText(form_->ePass.value()))); }

std::string EditBoxText(std::string text) {
  const size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  return text;
}

void FltkView::ProcessMessages() {
  Fl::check();
  children_.Reap();
}

void FltkView::WaitMessages(uint32_t max_ms) { Fl::wait(max_ms / 1000.0); }

void FltkView::OpenErrorLog(const std::string& path) { children_.OpenWithDesktop(path); }

void FltkView::ApplyPlacement() {
  const Placement& placement = GetPlacement();
  if (placement.centred) {
    int sx = 0, sy = 0, sw = 0, sh = 0;
    Fl::screen_xywh(sx, sy, sw, sh, 0);
    form_->position(sx + (sw - form_->w()) / 2, sy + (sh - form_->h()) / 2);
  } else {
    form_->position(placement.left, placement.top);
  }
}

void FltkView::Show() {
  RefreshAll();
  ApplyPlacement();
  form_->show();
  form_->wait_for_expose();
  Fl::flush();
}

void FltkView::TimerFired(void* data) {
  auto* view = static_cast<FltkView*>(data);
  auto fire = std::move(view->timer_);
  view->timer_ = nullptr;
  view->in_timer_ = true;
  if (fire) fire();
  view->in_timer_ = false;
  if (view->EndRequested()) view->EndRequestedChanged();
}

// Does nothing; while it is registered the toolkit's wait returns at once.
void FltkView::WakeLoop(void* /*data*/) {}

// A request made from a timer callback would otherwise leave the loop asleep in the
// toolkit's wait until some unrelated event came. Not during the run: its remaining waits
// must still sleep rather than spin.
void FltkView::EndRequestedChanged() {
  if (!in_timer_ && !Fl::has_idle(&FltkView::WakeLoop, this)) {
    Fl::add_idle(&FltkView::WakeLoop, this);
  }
}

void FltkView::StartTimer(uint32_t ms, std::function<void()> fire) {
  timer_ = std::move(fire);
  Fl::remove_timeout(&FltkView::TimerFired, this);
  Fl::add_timeout(ms / 1000.0, &FltkView::TimerFired, this);
}

// Esc during the run only asks for the end: the run goes on inside the timer callback and
// the loop ends once that callback has returned.
void FltkView::RunMessageLoop() {
  while (!EndRequested()) Fl::wait();
  Fl::remove_idle(&FltkView::WakeLoop, this);
}

void FltkView::ShowDialog(const std::string& title, const std::string& text) {
  ShowPorukaDialog(form_.get(), title, text);
}

void FltkView::RefreshStatistics() {
  MainForm& form = *form_;
  const auto& values = Statistics();
  form.Label8.SetText(values[0]);
  form.Label9.SetText(values[1]);
  form.Label10.SetText(values[2]);
  form.Label11.SetText(values[3]);
  for (TextLabel* label : {&form.Label4, &form.Label5, &form.Label6, &form.Label7, &form.Label8,
                           &form.Label9, &form.Label10, &form.Label11}) {
    if (StatisticsVisible()) {
      label->show();
    } else {
      label->hide();
    }
  }
}

void FltkView::RefreshCheckBoxes() {
  form_->CheckBox1.SetState(CheckBox(1));
  form_->CheckBox2.SetState(CheckBox(2));
  form_->CheckBox3.SetState(CheckBox(3));
}

void FltkView::RefreshAll() {
  for (Element e : {Element::kHeader, Element::kLabel1, Element::kLabel2, Element::kStepList1,
                    Element::kStepList2, Element::kCheckBoxes, Element::kCompletion, Element::kUrl,
                    Element::kPass, Element::kProgress, Element::kStatistics}) {
    Changed(e);
  }
}

void FltkView::Changed(Element what) {
  MainForm& form = *form_;
  switch (what) {
    case Element::kHeader:
      form.pNaslov.SetText(Header());
      break;
    case Element::kLabel1:
      form.Label1.SetText(Label1());
      // The status is repainted at once, also in the middle of a long step.
      if (form.shown()) Fl::flush();
      break;
    case Element::kLabel2:
      form.Label2.SetText(Label2());
      break;
    case Element::kStepList1:
      form.JvInstallLabel1.SetLines(Lines(StepList::kJvInstallLabel1),
                                    TopLine(StepList::kJvInstallLabel1));
      break;
    case Element::kStepList2:
      form.JvInstallLabel2.SetLines(Lines(StepList::kJvInstallLabel2),
                                    TopLine(StepList::kJvInstallLabel2));
      break;
    case Element::kCheckBoxes:
      RefreshCheckBoxes();
      break;
    case Element::kCompletion:
      if (CompletionVisible() && !form.lUspjesno.visible()) {
        form.lUspjesno.show();
        form.damage(FL_DAMAGE_ALL, form.lUspjesno.x(), form.lUspjesno.y(), 300, form.lUspjesno.h());
        if (form.shown()) Fl::flush();
      }
      break;
    case Element::kUrl:
      form.eURL.value(Url().c_str());
      if (UrlVisible()) form.eURL.show();
      break;
    case Element::kPass:
      if (Pass() != form.ePass.value()) form.ePass.value(Pass().c_str());
      if (PassVisible()) form.ePass.show();
      break;
    case Element::kProgress:
      form.Napredak.SetRange(ProgressMax(), Progress());
      break;
    case Element::kStatistics:
      RefreshStatistics();
      break;
    case Element::kPlacement:
      if (form.shown()) ApplyPlacement();
      break;
  }
}

}  // namespace zepr
