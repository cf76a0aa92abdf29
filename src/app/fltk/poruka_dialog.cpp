#include "app/fltk/poruka_dialog.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/fl_draw.H>

#include <algorithm>

#include "app/fltk/artwork.h"
#include "app/fltk/colours.h"
#include "app/fltk/widgets.h"

namespace zepr {

namespace {

constexpr Fl_Font kTextFont = FL_HELVETICA_BOLD;
constexpr int kTextSize = layout::kPorukaFontSize;

// White with a green caption while the pointer is over it.
class PorukaButton : public Fl_Button {
 public:
  PorukaButton(int x, int y, int w, int h) : Fl_Button(x, y, w, h) {
    box(FL_FLAT_BOX);
    color(FL_WHITE);
  }

  int handle(int event) override {
    if (event == FL_ENTER || event == FL_LEAVE) {
      hot_ = event == FL_ENTER;
      redraw();
      Fl_Button::handle(event);
      return 1;
    }
    return Fl_Button::handle(event);
  }

 protected:
  void draw() override {
    fl_color(value() ? Rgb(layout::kPressed).fl() : FL_WHITE);
    fl_rectf(x(), y(), w(), h());
    fl_color(kLineGrey.fl());
    fl_rect(x(), y(), w(), h());
    constexpr int kIcon = layout::kPorukaButtonIconSize;
    fl_font(FL_HELVETICA_BOLD, layout::kPorukaButtonFontSize);
    const char* caption = layout::kPorukaButtonText;
    const int text_w = static_cast<int>(fl_width(caption));
    const int left = x() + (w() - kIcon - 6 - text_w) / 2;
    DrawOkIcon(left, y() + (h() - kIcon) / 2, kIcon);
    fl_color(hot_ ? kGreen.fl() : FL_BLACK);
    fl_draw(caption, left + kIcon + 6, y(), text_w + 2, h(), FL_ALIGN_LEFT | FL_ALIGN_INSIDE,
            nullptr, 0);
    if (Fl::focus() == this) draw_focus(FL_FLAT_BOX, x() + 2, y() + 2, w() - 4, h() - 4);
  }

 private:
  bool hot_ = false;
};

int MeasureLabel(const std::string& text, int width) {
  fl_font(kTextFont, kTextSize);
  return MeasurePlainText(text, width);
}

class PorukaDialog : public Fl_Double_Window {
 public:
  PorukaDialog(const std::string& title, const std::string& text, int label_height)
      : Fl_Double_Window(kPorukaWidth, label_height + kPorukaExtraHeight, layout::kPorukaCaption),
        pNaslov(0, 0, kPorukaWidth, kPorukaTitleHeight),
        LabPoruka(0, kPorukaTitleHeight, kPorukaWidth, label_height, kTextFont, kTextSize, FL_BLACK,
                  kGrey.fl(), FL_ALIGN_CENTER | FL_ALIGN_INSIDE | FL_ALIGN_WRAP),
        Panel2(FL_FLAT_BOX, 0, kPorukaTitleHeight + label_height, kPorukaWidth, kPorukaSpacerHeight,
               nullptr),
        Panel1(FL_FLAT_BOX, 0, kPorukaTitleHeight + label_height + kPorukaSpacerHeight,
               kPorukaWidth, h() - kPorukaTitleHeight - label_height - kPorukaSpacerHeight,
               nullptr),
        BtnOk(kPorukaButtonLeft, Panel1.y() + kPorukaButtonTop, kPorukaButtonWidth,
              kPorukaButtonHeight) {
    end();
    color(FL_WHITE);
    pNaslov.SetText(">" + title);
    // The text wraps at the width its height was measured for.
    LabPoruka.SetMargin((kPorukaWidth - kPorukaTextWidth) / 2);
    LabPoruka.SetText(PorukaLabelText(text));
    Panel2.color(FL_WHITE);
    Panel1.color(kGrey.fl());
    BtnOk.callback([](Fl_Widget* button, void*) { button->window()->hide(); });
    set_modal();
    // The default callback hides the dialog on Esc and on the close box.
  }

 private:
  HeaderBand pNaslov;
  TextLabel LabPoruka;
  Fl_Box Panel2;
  Fl_Box Panel1;
  PorukaButton BtnOk;
};

}  // namespace

void ShowPorukaDialog(Fl_Window* owner, const std::string& title, const std::string& text) {
  const int label_height = PorukaHeight(text, MeasureLabel) - kPorukaExtraHeight;
  PorukaDialog dialog(title, text, label_height);
  int ox = 0, oy = 0, ow = 0, oh = 0;
  if (owner && owner->shown()) {
    ox = owner->x();
    oy = owner->y();
    ow = owner->w();
    oh = owner->h();
  } else {
    Fl::screen_xywh(ox, oy, ow, oh, 0);
  }
  // A text taller than the screen keeps its title band on the screen.
  dialog.position(ox + (ow - dialog.w()) / 2, std::max(0, oy + (oh - dialog.h()) / 2));
  dialog.show();
  while (dialog.shown()) Fl::wait();
}

}  // namespace zepr
