#include "app/win32_view.h"

#include <windows.h>

#include "app/win32/main_form.h"

namespace zepr {

namespace {

// A service or a scheduled task without a logged-on user runs in a window station nobody sees;
// a window there would wait for keys that never come.
bool InteractiveWindowStation() {
  HWINSTA station = GetProcessWindowStation();
  if (!station) return false;
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) return true;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

std::unique_ptr<AppView> MakeWin32View(Clock& clock) {
  if (!InteractiveWindowStation()) return nullptr;
  return win32::Win32View::Create(clock);
}

}  // namespace zepr
