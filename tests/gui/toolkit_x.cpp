#include "toolkit_x.h"

#include <FL/Fl_Window.H>
#include <FL/x.H>

namespace zepr::testing {

_XDisplay* ToolkitDisplay() { return fl_display; }

unsigned long ToolkitWindow(const Fl_Window& window) { return fl_xid(&window); }

}  // namespace zepr::testing
