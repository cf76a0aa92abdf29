#include "app/update_run.h"

namespace zepr {

void UpdateRun::Timer1Timer() { Update(); }

void UpdateRun::Update() {
  switch (run_.UpdateType) {
    default:
      // Types without a sequence leave the window as it is until the operator closes it.
      break;
  }
  (void)window_;
}

}  // namespace zepr
