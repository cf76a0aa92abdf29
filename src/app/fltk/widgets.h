#pragma once

#include <FL/Fl_Input.H>
#include <FL/Fl_Widget.H>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/layout.h"
#include "core/main_window.h"

namespace zepr {

// Draws text literally: FLTK's own label drawing would take "@..." for a symbol, and an error
// text or a path may well contain "@". Lines are broken at LF; FL_ALIGN_WRAP wraps them with
// WrapText in the current font.
void DrawPlainText(const std::string& text, int x, int y, int w, int h, Fl_Align align);

// Height that DrawPlainText needs for the text wrapped at width, in the current font.
int MeasurePlainText(const std::string& text, int width);

// A label with its own font, colour and alignment. Opaque unless its box is FL_NO_BOX;
// a transparent one makes its parent repaint the area behind it.
class TextLabel : public Fl_Widget {
 public:
  TextLabel(int x, int y, int w, int h, Fl_Font font, int size, Fl_Color text_colour,
            Fl_Color background, Fl_Align align);
  void SetText(std::string text);
  const std::string& Text() const { return text_; }
  // Blank room left and right of the text.
  void SetMargin(int margin) { margin_ = margin; }

 protected:
  void draw() override;

 private:
  std::string text_;
  Fl_Font font_;
  int size_;
  Fl_Color text_colour_;
  Fl_Align align_;
  int margin_ = 0;
};

// A band with a caption (pNaslov of the window and of the dialog); may answer clicks.
class HeaderBand : public Fl_Widget {
 public:
  HeaderBand(int x, int y, int w, int h);
  void SetText(std::string text);
  const std::string& Text() const { return text_; }
  // A clickable band shows the hand cursor.
  void OnClick(std::function<void()> click) { click_ = std::move(click); }
  int handle(int event) override;

 protected:
  void draw() override;

 private:
  std::string text_;
  std::function<void()> click_;
};

// Image1: the picture with the hand cursor.
class PictureBox : public Fl_Widget {
 public:
  PictureBox(int x, int y, int w, int h);
  void OnClick(std::function<void()> click) { click_ = std::move(click); }
  int handle(int event) override;

 protected:
  void draw() override;

 private:
  std::function<void()> click_;
};

// The step list: per line an image (see StepIconFor) and a bold or plain style.
class StepListBox : public Fl_Widget {
 public:
  static constexpr int kIconSize = layout::kStepIconSize;
  static constexpr int kTextOffset = layout::kStepTextOffset;
  static constexpr int kLineSpacing = layout::kStepLineSpacing;
  static constexpr int kFontSize = layout::kStepFontSize;

  StepListBox(int x, int y, int w, int h);
  void SetLines(std::vector<StepLine> lines, int top_line);
  // Top of line i relative to the widget, and the height of a line.
  int LineTop(int i) const { return layout::StepLineTop(i, LinePitch()); }
  static int LinePitch();

 protected:
  void draw() override;

 private:
  std::vector<StepLine> lines_;
  int top_line_ = 0;
};

// An operator check box: caption to the left of the box; Tab passes it by.
class OptionBox : public Fl_Widget {
 public:
  static constexpr int kBoxSize = layout::kCheckBoxSize;

  OptionBox(int x, int y, int w, int h);
  void SetState(const CheckBoxState& state);
  void OnClick(std::function<void()> click) { click_ = std::move(click); }
  int handle(int event) override;
  // The square, in window coordinates.
  int BoxX() const { return x() + w() - kBoxSize - 1; }
  int BoxY() const { return y() + (h() - kBoxSize) / 2; }

 protected:
  void draw() override;

 private:
  CheckBoxState state_;
  std::function<void()> click_;
};

// Napredak: white, gradient blocks that end in green.
class ProgressBar : public Fl_Widget {
 public:
  ProgressBar(int x, int y, int w, int h);
  void SetRange(int64_t max, int64_t position);

 protected:
  void draw() override;

 private:
  int64_t max_ = 100;
  int64_t position_ = 0;
};

// eURL and ePass: an edit box that reports double-clicks.
class EditBox : public Fl_Input {
 public:
  EditBox(int x, int y, int w, int h);
  void OnDoubleClick(std::function<void()> handler) { double_click_ = std::move(handler); }
  int handle(int event) override;

 private:
  std::function<void()> double_click_;
};

}  // namespace zepr
