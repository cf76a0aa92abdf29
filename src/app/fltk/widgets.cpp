#include "app/fltk/widgets.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>

#include <algorithm>

#include "app/fltk/artwork.h"
#include "app/fltk/colours.h"

namespace zepr {

namespace {

double CurrentFontWidth(std::string_view text) {
  return fl_width(text.data(), static_cast<int>(text.size()));
}

}  // namespace

void DrawPlainText(const std::string& text, int x, int y, int w, int h, Fl_Align align) {
  if (align & FL_ALIGN_WRAP) {
    const std::string wrapped = WrapText(text, w, CurrentFontWidth);
    fl_draw(wrapped.c_str(), x, y, w, h, align & ~FL_ALIGN_WRAP, nullptr, 0);
  } else {
    fl_draw(text.c_str(), x, y, w, h, align, nullptr, 0);
  }
}

int MeasurePlainText(const std::string& text, int width) {
  const std::string wrapped = WrapText(text, width, CurrentFontWidth);
  int w = 0;  // no wrapping by the toolkit
  int h = 0;
  fl_measure(wrapped.c_str(), w, h, 0);
  return h;
}

namespace {

// Clicks land on release inside the widget, as a button's would.
int HandleClick(Fl_Widget& widget, int event, const std::function<void()>& click) {
  switch (event) {
    case FL_ENTER:
      if (click && widget.window()) widget.window()->cursor(FL_CURSOR_HAND);
      return 1;
    case FL_LEAVE:
      if (widget.window()) widget.window()->cursor(FL_CURSOR_DEFAULT);
      return 1;
    case FL_PUSH:
      return click ? 1 : 0;
    case FL_RELEASE:
      if (click && Fl::event_inside(&widget)) click();
      return 1;
    default:
      return 0;
  }
}

}  // namespace

TextLabel::TextLabel(int x, int y, int w, int h, Fl_Font font, int size, Fl_Color text_colour,
                     Fl_Color background, Fl_Align align)
    : Fl_Widget(x, y, w, h), font_(font), size_(size), text_colour_(text_colour), align_(align) {
  box(FL_FLAT_BOX);
  color(background);
}

void TextLabel::SetText(std::string text) {
  text = DisplayText(text);
  if (text == text_) return;
  text_ = std::move(text);
  if (box() == FL_NO_BOX && parent()) {
    parent()->damage(FL_DAMAGE_ALL, x(), y(), w(), h());
  } else {
    redraw();
  }
}

void TextLabel::draw() {
  draw_box();
  fl_font(font_, size_);
  fl_color(text_colour_);
  DrawPlainText(text_, x() + margin_, y(), w() - 2 * margin_, h(), align_);
}

HeaderBand::HeaderBand(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {
  box(FL_FLAT_BOX);
  color(FL_WHITE);
}

void HeaderBand::SetText(std::string text) {
  text_ = DisplayText(text);
  redraw();
}

int HeaderBand::handle(int event) { return HandleClick(*this, event, click_); }

void HeaderBand::draw() {
  draw_box();
  fl_push_clip(x(), y(), w(), h());
  fl_font(FL_HELVETICA, layout::kHeaderFontSize);
  fl_color(kGreen.fl());
  DrawPlainText(text_, x(), y(), w(), h(), FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
  fl_pop_clip();
}

PictureBox::PictureBox(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) { box(FL_NO_BOX); }

int PictureBox::handle(int event) { return HandleClick(*this, event, click_); }

void PictureBox::draw() { DrawPicture(x(), y(), w(), h()); }

StepListBox::StepListBox(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {
  box(FL_FLAT_BOX);
  color(FL_WHITE);
}

int StepListBox::LinePitch() {
  fl_font(FL_HELVETICA, kFontSize);
  return std::max(kIconSize, fl_height()) + kLineSpacing;
}

void StepListBox::SetLines(std::vector<StepLine> lines, int top_line) {
  lines_ = std::move(lines);
  top_line_ = std::max(0, top_line);
  redraw();
}

void StepListBox::draw() {
  draw_box();
  fl_push_clip(x(), y(), w(), h());
  const int pitch = LinePitch();
  for (size_t i = static_cast<size_t>(top_line_); i < lines_.size(); ++i) {
    const int top = y() + LineTop(static_cast<int>(i) - top_line_);
    if (top >= y() + h()) break;
    const StepLine& line = lines_[i];
    DrawStepIcon(StepIconFor(line.image), x() + (kTextOffset - kIconSize) / 2,
                 top + (pitch - kLineSpacing - kIconSize) / 2, kIconSize);
    fl_font(line.bold ? FL_HELVETICA_BOLD : FL_HELVETICA, kFontSize);
    fl_color(FL_BLACK);
    DrawPlainText(DisplayText(line.text), x() + kTextOffset, top, w() - kTextOffset,
                  pitch - kLineSpacing, FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
  }
  fl_pop_clip();
}

// Transparent: the three boxes overlap a little in the header band.
OptionBox::OptionBox(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {
  box(FL_NO_BOX);
  visible_focus(0);
}

void OptionBox::SetState(const CheckBoxState& state) {
  state_ = state;
  if (state_.visible) {
    show();
  } else {
    hide();
  }
  if (parent()) parent()->damage(FL_DAMAGE_ALL, x(), y(), w(), h());
}

int OptionBox::handle(int event) {
  switch (event) {
    case FL_FOCUS:
      return 0;  // never takes the focus, so Tab passes by
    case FL_PUSH:
      return 1;
    case FL_RELEASE:
      if (click_ && Fl::event_inside(this)) click_();
      return 1;
    default:
      return 0;
  }
}

void OptionBox::draw() {
  fl_font(FL_HELVETICA_BOLD, layout::kCheckBoxFontSize);
  fl_color(FL_BLACK);
  const int text_right = BoxX() - 4;
  DrawPlainText(DisplayText(state_.caption), x(), y(), text_right - x(), h(),
                FL_ALIGN_RIGHT | FL_ALIGN_INSIDE);
  fl_color(FL_WHITE);
  fl_rectf(BoxX(), BoxY(), kBoxSize, kBoxSize);
  fl_color(kBoxFrame.fl());
  fl_rect(BoxX(), BoxY(), kBoxSize, kBoxSize);
  if (state_.checked) DrawTick(BoxX() + 1, BoxY() + 1, kBoxSize - 2);
}

ProgressBar::ProgressBar(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {
  box(FL_FLAT_BOX);
  color(FL_WHITE);
}

void ProgressBar::SetRange(int64_t max, int64_t position) {
  if (max == max_ && position == position_) return;
  max_ = max;
  position_ = position;
  redraw();
}

void ProgressBar::draw() {
  draw_box();
  fl_color(kLineGrey.fl());
  fl_rect(x(), y(), w(), h());
  if (max_ <= 0 || position_ <= 0) return;
  const double fraction = std::min(1.0, static_cast<double>(position_) / static_cast<double>(max_));
  const int inner = w() - 4;
  const int filled = static_cast<int>(inner * fraction);
  constexpr int kBlock = layout::kProgressBlock;
  constexpr int kGap = layout::kProgressGap;
  // Blocks grow greener towards the end of the bar.
  for (int left = 0; left < filled; left += kBlock + kGap) {
    const int width = std::min(kBlock, filled - left);
    const int t = left * 255 / std::max(1, inner);
    const layout::Colour colour = layout::ProgressBlockColour(t);
    fl_color(colour.r, colour.g, colour.b);
    fl_rectf(x() + 2 + left, y() + 2, width, h() - 4);
  }
}

EditBox::EditBox(int x, int y, int w, int h) : Fl_Input(x, y, w, h) {
  textfont(FL_HELVETICA);
  textsize(layout::kEditFontSize);
}

int EditBox::handle(int event) {
  const int used = Fl_Input::handle(event);
  if (event == FL_PUSH && Fl::event_clicks() > 0 && double_click_) {
    Fl::event_clicks(0);  // a third click starts a new pair
    double_click_();
    return 1;
  }
  return used;
}

}  // namespace zepr
