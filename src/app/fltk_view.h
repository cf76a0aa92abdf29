#pragma once

#include <memory>

#include "app/app_view.h"

namespace zepr {

// The FLTK main window; null when no display can be opened.
std::unique_ptr<AppView> MakeFltkView(Clock& clock);

}  // namespace zepr
