#pragma once

#include "core/main_window.h"
#include "core/run_params.h"

namespace zepr {

// The single pass of work after the window is up: dispatches on the update type.
class UpdateRun {
 public:
  UpdateRun(RunParams& run, MainWindow& window) : run_(run), window_(window) {}

  // Timer1's handler: the timer is one-shot, so the run starts once.
  void Timer1Timer();
  void Update();

 private:
  RunParams& run_;
  MainWindow& window_;
};

}  // namespace zepr
