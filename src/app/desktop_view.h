#pragma once

#include <memory>

#include "app/app_view.h"
#include "core/clock.h"

namespace zepr {

// The system's window for the run; null when no interactive desktop can be used, and the
// headless view takes its place.
std::unique_ptr<AppView> MakeDesktopView(Clock& clock);

}  // namespace zepr
