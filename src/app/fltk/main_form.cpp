#include "app/fltk/main_form.h"

#include <FL/Fl.H>

#include "app/fltk/colours.h"
#include "app/fltk/poruka_dialog.h"
#include "config/password_scramble.h"

namespace zepr {

namespace {

constexpr Fl_Align kRight = FL_ALIGN_RIGHT | FL_ALIGN_INSIDE;
constexpr Fl_Align kTopLeft = FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE;
constexpr int kLabelSize = layout::kLabelFontSize;

}  // namespace

// A rectangle of the shared layout as the toolkit's four constructor arguments.
#define ZEPR_XYWH(r) (r).x, (r).y, (r).w, (r).h

MainForm::MainForm()
    : Fl_Double_Window(layout::kWidth, layout::kHeight, layout::kDesignCaption),
      Shape1(FL_FLAT_BOX, ZEPR_XYWH(layout::kShape1), nullptr),
      pNaslov(ZEPR_XYWH(layout::kHeader)),
      Panel1(FL_FLAT_BOX, ZEPR_XYWH(layout::kPanel1), nullptr),
      Image1(ZEPR_XYWH(layout::kImage1)),
      JvInstallLabel1(ZEPR_XYWH(layout::kJvInstallLabel1)),
      p(FL_FLAT_BOX, ZEPR_XYWH(layout::kP), nullptr),
      Panel2(FL_FLAT_BOX, ZEPR_XYWH(layout::kPanel2), nullptr),
      Label3(ZEPR_XYWH(layout::kLabel3), FL_HELVETICA_BOLD, kLabelSize, FL_BLACK, FL_WHITE,
             kTopLeft),
      Label1(ZEPR_XYWH(layout::kLabel1), FL_HELVETICA_BOLD, kLabelSize, FL_BLACK, FL_WHITE,
             kTopLeft | FL_ALIGN_WRAP | FL_ALIGN_CLIP),
      Panel3(FL_FLAT_BOX, ZEPR_XYWH(layout::kPanel3), nullptr),
      Napredak(ZEPR_XYWH(layout::kNapredak)),
      Panel4(FL_FLAT_BOX, ZEPR_XYWH(layout::kPanel4), nullptr),
      Label4(ZEPR_XYWH(layout::StatisticsCaption(0)), FL_HELVETICA_BOLD, kLabelSize, FL_BLACK,
             kGrey.fl(), kRight),
      Label8(ZEPR_XYWH(layout::StatisticsValue(0)), FL_HELVETICA, kLabelSize, FL_BLACK, kGrey.fl(),
             kRight),
      Label5(ZEPR_XYWH(layout::StatisticsCaption(1)), FL_HELVETICA_BOLD, kLabelSize, FL_BLACK,
             kGrey.fl(), kRight),
      Label9(ZEPR_XYWH(layout::StatisticsValue(1)), FL_HELVETICA, kLabelSize, FL_BLACK, kGrey.fl(),
             kRight),
      Label6(ZEPR_XYWH(layout::StatisticsCaption(2)), FL_HELVETICA_BOLD, kLabelSize, FL_BLACK,
             kGrey.fl(), kRight),
      Label10(ZEPR_XYWH(layout::StatisticsValue(2)), FL_HELVETICA, kLabelSize, FL_BLACK, kGrey.fl(),
              kRight),
      Label7(ZEPR_XYWH(layout::StatisticsCaption(3)), FL_HELVETICA_BOLD, kLabelSize, FL_BLACK,
             kGrey.fl(), kRight),
      Label11(ZEPR_XYWH(layout::StatisticsValue(3)), FL_HELVETICA, kLabelSize, FL_BLACK, kGrey.fl(),
              kRight),
      Panel5(FL_FLAT_BOX, ZEPR_XYWH(layout::kPanel5), nullptr),
      // Parked outside the visible area: type 7 keeps its database list there.
      JvInstallLabel2(ZEPR_XYWH(layout::kJvInstallLabel2)),
      Label2(ZEPR_XYWH(layout::kLabel2), FL_HELVETICA_BOLD, layout::kLabel2FontSize, FL_BLACK,
             FL_WHITE, FL_ALIGN_RIGHT | FL_ALIGN_TOP | FL_ALIGN_INSIDE),
      lUspjesno(ZEPR_XYWH(layout::kLUspjesno), FL_HELVETICA, layout::kLUspjesnoFontSize,
                kGreen.fl(), FL_WHITE, kTopLeft),
      CheckBox1(ZEPR_XYWH(layout::kCheckBox[0])),
      CheckBox2(ZEPR_XYWH(layout::kCheckBox[1])),
      CheckBox3(ZEPR_XYWH(layout::kCheckBox[2])),
      eURL(ZEPR_XYWH(layout::kEUrl)),
      ePass(ZEPR_XYWH(layout::kEPass)) {
  end();
  color(kGrey.fl());
  xclass("ZEPRUpdate");
  Shape1.color(FL_WHITE);
  Panel1.color(kGrey.fl());
  p.color(kGrey.fl());
  Panel2.color(FL_WHITE);
  for (Fl_Box* line : {&Panel3, &Panel4, &Panel5}) line->color(kLineGrey.fl());
  Label3.SetText(layout::kStatusCaption);
  Label4.SetText(layout::kStatisticsCaption[0]);
  Label5.SetText(layout::kStatisticsCaption[1]);
  Label6.SetText(layout::kStatisticsCaption[2]);
  Label7.SetText(layout::kStatisticsCaption[3]);
  Napredak.label(layout::kProgressCaption);
  lUspjesno.box(FL_NO_BOX);
  lUspjesno.SetText(layout::kCompletionText);
  lUspjesno.hide();
  eURL.hide();
  ePass.hide();
  border(0);
}

#undef ZEPR_XYWH

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
