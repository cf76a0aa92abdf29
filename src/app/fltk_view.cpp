#include "app/fltk_view.h"

#include <FL/Fl.H>
#include <FL/x.H>

#include "app/fltk/main_form.h"

namespace zepr {

std::unique_ptr<AppView> MakeFltkView(Clock& clock) {
  // The toolkit would print "Can't open display" and exit the process; open it ourselves
  // so a missing display falls back to the headless view instead.
  if (fl_display == nullptr) {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return nullptr;
    fl_open_display(display);
  }
  return std::make_unique<FltkView>(clock);
}

}  // namespace zepr
