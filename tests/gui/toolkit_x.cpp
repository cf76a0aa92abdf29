#include "toolkit_x.h"

#include <FL/Fl_Widget.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <utility>

#include "app/fltk/widgets.h"

namespace zepr::testing {

_XDisplay* ToolkitDisplay() { return fl_display; }

unsigned long ToolkitWindow(const Fl_Window& window) { return fl_xid(&window); }

int LineHeight(Fl_Font font, int size) {
  fl_font(font, size);
  return fl_height();
}

namespace {

class BothWays : public Fl_Widget {
 public:
  BothWays(int w, int h, std::string text, Fl_Align align)
      : Fl_Widget(0, 0, 2 * w + 40, h),
        box_w_(w),
        text_(std::move(text)),
        align_(align | FL_ALIGN_WRAP) {}

 protected:
  void draw() override {
    fl_color(FL_WHITE);
    fl_rectf(x(), y(), w(), h());
    fl_font(FL_HELVETICA_BOLD, 11);
    fl_color(FL_BLACK);
    fl_draw(text_.c_str(), x(), y(), box_w_, h(), align_, nullptr, 0);
    DrawPlainText(text_, x() + box_w_ + 40, y(), box_w_, h(), align_);
  }

 private:
  int box_w_;
  std::string text_;
  Fl_Align align_;
};

}  // namespace

std::unique_ptr<Fl_Widget> WrappedBothWays(int w, int h, std::string text, Fl_Align align) {
  return std::make_unique<BothWays>(w, h, std::move(text), align);
}

}  // namespace zepr::testing
