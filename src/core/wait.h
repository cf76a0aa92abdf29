#pragma once

#include "core/main_window.h"

namespace zepr {

// Returns after ms milliseconds on the tick counter, letting window messages run meanwhile.
// Elapsed time is the unsigned 32-bit difference of two readings, so the counter's
// wrap-around neither ends nor prolongs the wait. It blocks in the window's event wait
// instead of spinning. 0 or less returns at once.
void WaitPumpingMessages(MainWindow& window, int ms);

}  // namespace zepr
