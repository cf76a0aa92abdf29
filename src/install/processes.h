#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "platform/process.h"

namespace zepr {

// The process operations the run needs, behind an interface so unit tests of the run can
// give it fakes. Names are executable file names with their extension ("Demo.exe"),
// compared without regard to ASCII letter case.
class Processes {
 public:
  virtual ~Processes() = default;
  // argv[0] is the program (a path, or a bare name looked up on the search path); no shell
  // is involved, so an argument with blanks stays one argument. hidden: the program gets no
  // console output of ours. wait: returns only after the program has ended, with its exit
  // status. Not started: the system's reason (then nothing is waited for).
  virtual platform::StartResult StartProgram(const std::vector<std::string>& argv, bool hidden,
                                             bool wait) = 0;
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
  static constexpr uint32_t kStopPauseMs = 3000;

  explicit SystemProcesses(Clock& clock) : clock_(clock) {}
  platform::StartResult StartProgram(const std::vector<std::string>& argv, bool hidden,
                                     bool wait) override;
  bool IsProgramRunning(const std::string& exe_name) override;
  void StopProgram(const std::string& exe_name) override;

 private:
  Clock& clock_;
};

// --- the rules behind the operations, usable on any process list -------------------------

// The name without a trailing " *32" (how 32-bit programs were once listed).
std::string_view ProgramNameOf(std::string_view name);

// Names that may never select a process: empty, blank, or only an extension (".exe").
bool IsUsableProgramName(std::string_view name);

// The executable file names a process goes by: its executable's file name; for a script
// interpreter or emulator (or when the executable is not readable) its short name and the
// file name of its first argument instead, and for an interpreter or emulator the file name
// of its first operand too; under Wine's loaders the program is argv[0] (Wine puts the
// Windows program's path there), or while it starts the first operand that is no loader.
// An interpreter is known by its exact name, optionally with a version ("python3.11",
// "wine64", "qemu-x86_64", "ld-linux-x86-64.so.2"); a program named only like the start of
// one ("Monolit.exe") is an ordinary program.
std::vector<std::string> ProgramNames(const platform::ProcessEntry& process);

// Whether the process goes by the name: one of its names equals it whole, or its
// executable's full path does (with path allowed). ASCII letter case is ignored; a short
// name cut by the system matches a longer name that begins with it.
bool HasProgramName(const platform::ProcessEntry& process, std::string_view name,
                    bool path_allowed);

enum class StopMatch {
  kName,        // executable file name or full path
  kModuleName,  // executable file name only; the updater's parent is spared as well
};

// The processes a stop by name reaches: never the updater itself, nothing for a name that
// is not usable.
std::vector<platform::ProcessEntry> ProcessesToStop(
    const std::vector<platform::ProcessEntry>& processes, std::string_view name, StopMatch match,
    int self_pid, int parent_pid);

// Stop every process selected by the name, each only while its pid still belongs to the
// process that was listed; true when the last stop tried succeeded.
bool TerminateAllByName(const std::string& name);
bool TerminateByModuleName(const std::string& name);

}  // namespace zepr
