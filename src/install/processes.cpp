#include "install/processes.h"

#include <algorithm>
#include <array>

#include "core/text.h"

namespace zepr {
namespace {

// The kernel keeps at most this many characters of a process's short name.
constexpr size_t kShortNameLimit = 15;

std::string_view FileNamePart(std::string_view path) {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Programs that run another program's file: the file, not the runner, is the program a
// user means by name (a script, or a Windows executable under an emulator).
bool IsInterpreter(std::string_view exe_file_name) {
  const std::string name = AsciiUpper(exe_file_name);
  static constexpr std::array<std::string_view, 8> kExact = {"SH",  "BASH", "DASH",    "ZSH",
                                                             "KSH", "MKSH", "BUSYBOX", "TCLSH"};
  static constexpr std::array<std::string_view, 13> kPrefixes = {
      "PYTHON", "PERL",  "RUBY",     "NODE", "JAVA", "MONO", "DOTNET",
      "WINE",   "QEMU-", "LD-LINUX", "PHP",  "LUA",  "BOX64"};
  if (std::find(kExact.begin(), kExact.end(), name) != kExact.end()) return true;
  return std::any_of(kPrefixes.begin(), kPrefixes.end(),
                     [&](std::string_view prefix) { return name.starts_with(prefix); });
}

bool NamedByExecutable(const platform::ProcessEntry& process) {
  return !process.exe_path.empty() && !IsInterpreter(FileNamePart(process.exe_path));
}

}  // namespace

std::string_view ProgramNameOf(std::string_view name) {
  constexpr std::string_view kSuffix32 = " *32";
  if (name.ends_with(kSuffix32)) name.remove_suffix(kSuffix32.size());
  return name;
}

bool IsUsableProgramName(std::string_view name) {
  const std::string trimmed = Trim(name);
  if (trimmed.empty()) return false;
  const auto dot = trimmed.rfind('.');
  return dot == std::string::npos || !Trim(std::string_view(trimmed).substr(0, dot)).empty();
}

std::vector<std::string> ProgramNames(const platform::ProcessEntry& process) {
  if (NamedByExecutable(process)) return {std::string(FileNamePart(process.exe_path))};
  std::vector<std::string> names;
  if (!process.short_name.empty()) names.push_back(process.short_name);
  if (!process.args.empty()) {
    names.emplace_back(FileNamePart(process.args[0]));
    const auto first_operand =
        std::find_if(process.args.begin() + 1, process.args.end(),
                     [](const std::string& a) { return !a.starts_with('-'); });
    if (first_operand != process.args.end()) names.emplace_back(FileNamePart(*first_operand));
  }
  std::erase_if(names, [](const std::string& n) { return n.empty(); });
  return names;
}

bool HasProgramName(const platform::ProcessEntry& process, std::string_view name,
                    bool path_allowed) {
  if (name.empty()) return false;
  for (const auto& candidate : ProgramNames(process)) {
    if (EqualsAsciiNoCase(candidate, name)) return true;
  }
  if (!NamedByExecutable(process) && process.short_name.size() == kShortNameLimit &&
      name.size() > kShortNameLimit &&
      EqualsAsciiNoCase(name.substr(0, kShortNameLimit), process.short_name)) {
    return true;
  }
  return path_allowed && !process.exe_path.empty() && EqualsAsciiNoCase(process.exe_path, name);
}

std::vector<int> ProcessesToStop(const std::vector<platform::ProcessEntry>& processes,
                                 std::string_view name, StopMatch match, int self_pid,
                                 int parent_pid) {
  std::vector<int> pids;
  name = ProgramNameOf(name);
  if (!IsUsableProgramName(name)) return pids;
  for (const auto& process : processes) {
    if (process.pid == self_pid) continue;
    if (match == StopMatch::kModuleName && process.pid == parent_pid) continue;
    if (HasProgramName(process, name, match == StopMatch::kName)) pids.push_back(process.pid);
  }
  return pids;
}

namespace {

bool TerminateSelected(const std::string& name, StopMatch match) {
  const auto pids = ProcessesToStop(platform::ListProcesses(), name, match,
                                    platform::CurrentProcessId(), platform::ParentProcessId());
  bool last = false;
  for (int pid : pids) last = platform::TerminateProcess(pid);
  return last;
}

}  // namespace

bool TerminateAllByName(const std::string& name) {
  return TerminateSelected(name, StopMatch::kName);
}

bool TerminateByModuleName(const std::string& name) {
  return TerminateSelected(name, StopMatch::kModuleName);
}

platform::StartResult SystemProcesses::StartProgram(const std::vector<std::string>& argv,
                                                    bool hidden, bool wait) {
  return platform::StartProgram(argv, hidden, wait);
}

bool SystemProcesses::IsProgramRunning(const std::string& exe_name) {
  const std::string_view name = ProgramNameOf(exe_name);
  const int self = platform::CurrentProcessId();
  const auto processes = platform::ListProcesses();
  return std::any_of(processes.begin(), processes.end(), [&](const platform::ProcessEntry& p) {
    return p.pid != self && HasProgramName(p, name, true);
  });
}

void SystemProcesses::StopProgram(const std::string& exe_name) {
  TerminateByModuleName(exe_name);
  TerminateAllByName(exe_name);
  TerminateAllByName(ReplaceAll(exe_name, ".exe", ""));
  TerminateAllByName(ReplaceAll(exe_name, ".EXE", ""));
  TerminateAllByName(exe_name + " *32");
  clock_.Sleep(kStopPauseMs);
}

}  // namespace zepr
