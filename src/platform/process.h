#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zepr::platform {

// One running process as the system reports it.
struct ProcessEntry {
  int pid = 0;
  // The executable's full path; "" when the system does not tell (another user's process).
  std::string exe_path;
  // The kernel's short name of the process; on Linux at most 15 characters, so a longer
  // executable name arrives cut. On Windows the executable's file name.
  std::string short_name;
  // The command line's arguments as far as they can be read, argv[0] first. Windows does not
  // tell another process's command line: empty there.
  std::vector<std::string> args;
  // When the process started, in the system's own units: with the pid it names this one
  // process, since a pid is given again to a new process once the old one has ended. 0 on
  // Windows for a process we may not open.
  uint64_t start_time = 0;
};

// Every living process (ended ones not yet reaped and kernel threads left out).
std::vector<ProcessEntry> ListProcesses();

int CurrentProcessId();
int ParentProcessId();

// Asks the listed process to end (Windows: its windows are asked to close), and ends it by
// force when it has not ended after a short grace period. Only the process that was listed is
// signalled: when its pid now belongs to another process (another start time), the listed one
// has ended and nothing is sent. True when it has ended. On Windows the updater and its parent
// are refused (false).
bool TerminateProcess(const ProcessEntry& process);

// How a start went.
struct StartResult {
  bool started = false;
  // A waited program's exit status; 128 + the signal's number when a signal ended it.
  int exit_status = 0;
  // Why the program could not be started, in the system's words.
  std::string error;
  explicit operator bool() const { return started; }
};

// Starts argv[0] (a path, or a bare name looked up on the search path) with the arguments,
// never through a shell. hidden: the program's standard streams go to the null device.
// A program started without waiting runs in a session of its own, so it outlives us.
StartResult StartProgram(const std::vector<std::string>& argv, bool hidden, bool wait);

}  // namespace zepr::platform
