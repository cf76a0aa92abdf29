#include "app/fltk_view.h"

namespace zepr {

std::unique_ptr<AppView> MakeFltkView(Clock& /*clock*/) { return nullptr; }

}  // namespace zepr
