#include "install/processes.h"

#include <algorithm>
#include <array>

#include "core/run_log.h"
#include "core/text.h"

namespace zepr {
namespace {

// The kernel keeps at most this many characters of a process's short name.
constexpr size_t kShortNameLimit = 15;

std::string_view FileNamePart(std::string_view path) {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsUpperAlnum(char c) { return IsDigit(c) || (c >= 'A' && c <= 'Z'); }

// What distributions append to an interpreter's name: "3", "3.11", "5.36.0", or nothing.
bool IsVersionSuffix(std::string_view s) {
  return s.empty() || (IsDigit(s[0]) && std::all_of(s.begin(), s.end(),
                                                    [](char c) { return IsDigit(c) || c == '.'; }));
}

// A user-mode emulator "QEMU-<ARCH>" or "QEMU-<ARCH>-STATIC" (QEMU-X86_64, QEMU-ARM);
// qemu's tools with names of that form run no program file.
bool IsQemuEmulator(std::string_view name) {
  if (!name.starts_with("QEMU-")) return false;
  name.remove_prefix(5);
  if (name.ends_with("-STATIC")) name.remove_suffix(7);
  static constexpr std::array<std::string_view, 6> kTools = {"IMG",  "NBD",    "IO",
                                                             "EDID", "KEYMAP", "GA"};
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return IsUpperAlnum(c) || c == '_';
  }) && std::find(kTools.begin(), kTools.end(), name) == kTools.end();
}

// The dynamic loader started as a program: "LD-LINUX.SO.2", "LD-LINUX-X86-64.SO.2".
bool IsDynamicLoader(std::string_view name) {
  if (!name.starts_with("LD-LINUX")) return false;
  name.remove_prefix(8);
  const auto so = name.rfind(".SO.");
  if (so == std::string_view::npos) return false;
  const std::string_view arch = name.substr(0, so);
  const std::string_view version = name.substr(so + 4);
  const bool arch_ok = arch.empty() || (arch.size() > 1 && arch[0] == '-' &&
                                        std::all_of(arch.begin() + 1, arch.end(), [](char c) {
                                          return IsUpperAlnum(c) || c == '_' || c == '-';
                                        }));
  return arch_ok && !version.empty() && IsVersionSuffix(version);
}

// Programs that run another program's file: the file, not the runner, is the program a
// user means by name (a script, or a Windows executable under an emulator). Only the
// runners' own names count, so that a program whose name merely begins like one
// ("MONOLIT.EXE", "PYTHONIC") is still known by its own name alone.
bool IsInterpreter(std::string_view exe_file_name) {
  const std::string name = AsciiUpper(exe_file_name);
  static constexpr std::array<std::string_view, 3> kExact = {"MONO-SGEN", "WINE-PRELOADER",
                                                             "WINE64-PRELOADER"};
  // Each also with a version suffix ("PYTHON3.11", "WINE64", "TCLSH8.6").
  static constexpr std::array<std::string_view, 20> kVersioned = {
      "SH",   "BASH", "DASH",   "ZSH",  "KSH",  "MKSH",   "BUSYBOX", "TCLSH", "PYTHON", "PERL",
      "RUBY", "NODE", "NODEJS", "JAVA", "MONO", "DOTNET", "WINE",    "PHP",   "LUA",    "BOX64"};
  if (std::find(kExact.begin(), kExact.end(), name) != kExact.end()) return true;
  const bool versioned =
      std::any_of(kVersioned.begin(), kVersioned.end(), [&](std::string_view base) {
        return name.starts_with(base) &&
               IsVersionSuffix(std::string_view(name).substr(base.size()));
      });
  return versioned || IsQemuEmulator(name) || IsDynamicLoader(name);
}

// Wine's loaders: "WINE", "WINE64", "WINE-PRELOADER", "WINE64-PRELOADER" (a version after
// the first two as for any interpreter).
bool IsWineLoader(std::string_view file_name) {
  const std::string name = AsciiUpper(file_name);
  if (name == "WINE-PRELOADER" || name == "WINE64-PRELOADER") return true;
  return name.starts_with("WINE") && IsVersionSuffix(std::string_view(name).substr(4));
}

bool NamedByExecutable(const platform::ProcessEntry& process) {
  return !process.exe_path.empty() && !IsInterpreter(FileNamePart(process.exe_path));
}

// What runs the process: its executable's file name, or its first argument's when the
// executable is not readable.
std::string_view RunnerName(const platform::ProcessEntry& process) {
  if (!process.exe_path.empty()) return FileNamePart(process.exe_path);
  return process.args.empty() ? std::string_view() : FileNamePart(process.args[0]);
}

// Whether the process runs another program's file.
bool RunsAnotherProgram(const platform::ProcessEntry& process) {
  return IsInterpreter(RunnerName(process));
}

// The file an interpreter runs: its first operand. Wine instead rewrites the command line so
// that the program's own path (a Windows path mostly) is argv[0] and the program's arguments
// follow, which name nothing; only while it starts are the loaders still in front.
std::string_view ProgramRunBy(const platform::ProcessEntry& process) {
  const bool wine = IsWineLoader(RunnerName(process));
  for (size_t i = 0; i < process.args.size(); ++i) {
    const std::string& arg = process.args[i];
    if (i == 0 && !wine) continue;
    if (i > 0 && arg.starts_with('-')) continue;
    if (wine && IsWineLoader(FileNamePart(arg))) continue;
    return FileNamePart(arg);
  }
  return {};
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
  if (!process.args.empty()) names.emplace_back(FileNamePart(process.args[0]));
  if (RunsAnotherProgram(process)) names.emplace_back(ProgramRunBy(process));
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

std::vector<platform::ProcessEntry> ProcessesToStop(
    const std::vector<platform::ProcessEntry>& processes, std::string_view name, StopMatch match,
    int self_pid, int parent_pid) {
  std::vector<platform::ProcessEntry> selected;
  name = ProgramNameOf(name);
  if (!IsUsableProgramName(name)) return selected;
  for (const auto& process : processes) {
    if (process.pid == self_pid) continue;
    if (match == StopMatch::kModuleName && process.pid == parent_pid) continue;
    if (HasProgramName(process, name, match == StopMatch::kName)) selected.push_back(process);
  }
  return selected;
}

namespace {

struct Terminated {
  bool last = false;  // the last stop asked for worked
  int count = 0;
};

Terminated TerminateSelected(const std::string& name, StopMatch match) {
  const auto selected = ProcessesToStop(platform::ListProcesses(), name, match,
                                        platform::CurrentProcessId(), platform::ParentProcessId());
  // Each stop may wait a few seconds, so the later ones are checked to still be the
  // processes that were listed.
  Terminated terminated;
  for (const auto& process : selected) {
    terminated.last = platform::TerminateProcess(process);
    if (terminated.last) ++terminated.count;
    runlog::Write("program " + process.short_name + " (" + std::to_string(process.pid) + ") " +
                  (terminated.last ? "zaustavljen" : "nije zaustavljen"));
  }
  return terminated;
}

}  // namespace

bool TerminateAllByName(const std::string& name) {
  return TerminateSelected(name, StopMatch::kName).last;
}

bool TerminateByModuleName(const std::string& name) {
  return TerminateSelected(name, StopMatch::kModuleName).last;
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
  int stopped = TerminateSelected(exe_name, StopMatch::kModuleName).count;
  for (const auto& name : {exe_name, ReplaceAll(exe_name, ".exe", ""),
                           ReplaceAll(exe_name, ".EXE", ""), exe_name + " *32"}) {
    stopped += TerminateSelected(name, StopMatch::kName).count;
  }
  // The pause is taken whether anything ran or not; the log says why the run stands still.
  runlog::Write("program " + exe_name + ": " +
                (stopped > 0 ? "zaustavljeno procesa: " + std::to_string(stopped)
                             : std::string("nije pokrenut")) +
                "; čekam " + std::to_string(kStopPauseMs / 1000) + " s");
  clock_.Sleep(kStopPauseMs);
}

}  // namespace zepr
