#pragma once

#include <windows.h>

#include <string>

namespace zepr::win32 {

// TFrmPoruka: shows the dialog modally, centred over owner (or the screen when the owner is not
// shown), until the button, Esc, Enter or the close box closes it. The owner is disabled
// meanwhile; other windows' messages (timers, painting) keep running.
void ShowPorukaDialog(HWND owner, const std::string& title, const std::string& text);

}  // namespace zepr::win32
