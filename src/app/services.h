#pragma once

#include <memory>

#include "app/run_ports.h"
#include "core/main_window.h"
#include "core/run_params.h"

namespace zepr {

// The real services of this machine, built once in main and handed to the run.
class SystemServices {
 public:
  SystemServices(RunParams& run, MainWindow& window);
  ~SystemServices();
  SystemServices(const SystemServices&) = delete;
  SystemServices& operator=(const SystemServices&) = delete;

  RunServices services();

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace zepr
