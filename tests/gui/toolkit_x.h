#pragma once

// The toolkit's X connection and window ids, without pulling the X headers (whose macros
// clash with the test framework) into the tests.
class Fl_Window;
struct _XDisplay;

namespace zepr::testing {

_XDisplay* ToolkitDisplay();
unsigned long ToolkitWindow(const Fl_Window& window);

}  // namespace zepr::testing
