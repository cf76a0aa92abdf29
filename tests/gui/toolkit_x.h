#pragma once

// The toolkit's X connection and window ids, without pulling the X headers (whose macros
// clash with the test framework) into the tests.
#include <FL/Enumerations.H>

#include <memory>
#include <string>

class Fl_Widget;
class Fl_Window;
struct _XDisplay;

namespace zepr::testing {

_XDisplay* ToolkitDisplay();
unsigned long ToolkitWindow(const Fl_Window& window);

// The height of a line of text in the font.
int LineHeight(Fl_Font font, int size);

// A widget that draws text in Helvetica bold 11 twice, each in a box w wide: wrapped by the
// toolkit at the left, by our labels' drawing 40 px further right (room for overhanging ink).
std::unique_ptr<Fl_Widget> WrappedBothWays(int w, int h, std::string text, Fl_Align align);

}  // namespace zepr::testing
