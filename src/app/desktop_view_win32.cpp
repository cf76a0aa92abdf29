#include "app/desktop_view.h"

#include "app/win32_view.h"

namespace zepr {

std::unique_ptr<AppView> MakeDesktopView(Clock& clock) { return MakeWin32View(clock); }

}  // namespace zepr
