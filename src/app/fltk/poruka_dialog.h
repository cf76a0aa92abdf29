#pragma once

#include <string>

#include "app/layout.h"

class Fl_Window;

namespace zepr {

// Shows the dialog modally, centred over owner (or the screen), until the button, Esc or the
// close box closes it.
void ShowPorukaDialog(Fl_Window* owner, const std::string& title, const std::string& text);

}  // namespace zepr
