#include "core/wait.h"

#include <algorithm>

namespace zepr {

void WaitPumpingMessages(MainWindow& window, int ms) {
  if (ms <= 0) return;
  Clock& clock = window.clock();
  const uint32_t start = clock.TickCount();
  const uint32_t total = static_cast<uint32_t>(ms);
  for (;;) {
    window.ProcessMessages();
    const uint32_t elapsed = clock.TickCount() - start;
    if (elapsed >= total) return;
    window.WaitMessages(std::min<uint32_t>(total - elapsed, 50));
  }
}

}  // namespace zepr
