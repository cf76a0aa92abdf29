#pragma once

#include <string>
#include <vector>

#include "core/clock.h"

namespace zepr {

// The process operations the run needs, behind an interface so unit tests of the run can
// give it fakes. Names are executable file names with their extension ("Demo.exe"),
// compared without regard to ASCII letter case.
class Processes {
 public:
  virtual ~Processes() = default;
  // argv[0] is the program (a path, or a bare name looked up on the search path); no shell
  // is involved, so an argument with blanks stays one argument. hidden: the program gets no
  // console output of ours. wait: returns only after the program has ended. False when the
  // program cannot be started (then nothing is waited for).
  virtual bool StartProgram(const std::vector<std::string>& argv, bool hidden, bool wait) = 0;
  // Whether a program of that executable name (or that whole path) runs, the updater itself
  // not counted. A trailing " *32" on the name is ignored.
  virtual bool IsProgramRunning(const std::string& exe_name) = 0;
  // Stops every running instance of the program (whole names only, never the updater
  // itself), then pauses 3000 ms on the clock without processing window messages.
  virtual void StopProgram(const std::string& exe_name) = 0;
};

// The real processes of this machine.
class SystemProcesses : public Processes {
 public:
  explicit SystemProcesses(Clock& clock) : clock_(clock) {}
  bool StartProgram(const std::vector<std::string>& argv, bool hidden, bool wait) override;
  bool IsProgramRunning(const std::string& exe_name) override;
  void StopProgram(const std::string& exe_name) override;

 private:
  Clock& clock_;
};

}  // namespace zepr
