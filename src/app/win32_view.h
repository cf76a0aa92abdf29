#pragma once

#include <memory>

#include "app/app_view.h"

namespace zepr {

// The Win32 main window; null when no interactive desktop can be used (a service's window
// station, no display under Wine) or the window cannot be made.
std::unique_ptr<AppView> MakeWin32View(Clock& clock);

}  // namespace zepr
