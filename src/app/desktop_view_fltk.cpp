#include "app/desktop_view.h"

#include "app/fltk_view.h"

namespace zepr {

std::unique_ptr<AppView> MakeDesktopView(Clock& clock) { return MakeFltkView(clock); }

}  // namespace zepr
