#include <gtest/gtest.h>

#include "install/processes.h"

namespace zepr {
namespace {

using platform::ProcessEntry;

TEST(ProgramNames, ExecutableNameUnlessAnInterpreterRunsTheProgram) {
  struct Case {
    const char* label;
    ProcessEntry process;
    const char* name;
    bool path_allowed;
    bool expected;
  };
  const ProcessEntry native{10, "/opt/app/Demo.exe", "Demo.exe", {"/opt/app/Demo.exe"}};
  const ProcessEntry editor{11, "/usr/bin/vim", "vim", {"vim", "Demo.exe"}};
  const ProcessEntry script{
      12, "/usr/bin/python3.11", "python3", {"python3", "-u", "/x/Helper.exe"}};
  const ProcessEntry emulated{
      13, "/usr/lib/wine/wine64-preloader", "Demo.exe", {"C:\\Program Files\\Demo\\Demo.exe"}};
  // Another user's program: no executable path, a rewritten command line, a cut short name.
  const ProcessEntry foreign{14, "", "VeryLongApplica", {"app: worker"}};
  const Case cases[] = {
      {"other letter case", native, "demo.EXE", true, true},
      {"whole path", native, "/opt/app/Demo.exe", true, true},
      {"whole path where only names count", native, "/opt/app/Demo.exe", false, false},
      {"part of the name", native, "emo.exe", true, false},
      {"without extension", native, "Demo", true, false},
      {"an ordinary program's argument", editor, "Demo.exe", true, false},
      {"the interpreter", script, "python3.11", true, false},
      {"the script", script, "Helper.exe", true, true},
      {"under an emulator", emulated, "Demo.exe", true, true},
      {"cut short name", foreign, "VeryLongApplicationName.exe", true, true},
      {"short name whole", foreign, "VeryLongApplica", true, true},
      {"short name not cut", native, "Demo.exe.old", true, false},
      {"empty", native, "", true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HasProgramName(c.process, c.name, c.path_allowed), c.expected) << c.label;
  }
}

// The runner's exact name, with a version at most, makes a process known by the program it
// runs; a name that only begins like a runner's is an ordinary program's, whether the
// executable is readable or only the command line is.
TEST(ProgramNames, OnlyInterpretersAreKnownByTheProgramTheyRun) {
  const std::vector<std::string> interpreters = {
      "python3", "python3.11", "PYTHON", "perl",    "perl5.36.0", "ruby3.1",
      "node",    "node20",     "nodejs", "java",    "dotnet",     "php8.2",
      "lua5.4",  "sh",         "bash",   "busybox", "tclsh8.6",
  };
  const std::vector<std::string> emulators = {
      "mono",        "mono-sgen",        "wine",
      "wine64",      "wine64-preloader", "box64",
      "qemu-x86_64", "qemu-arm",         "qemu-aarch64-static",
  };
  const std::vector<std::string> loaders = {"ld-linux.so.2", "ld-linux-x86-64.so.2",
                                            "ld-linux-aarch64.so.1"};
  const std::vector<std::string> programs = {
      "Monolit.exe",        "Pythonic",        "python.exe", "python3-config",
      "nodejs-tool",        "javac",           "perldoc",    "Rubymine",
      "wineserver",         "bashbug",         "shred",      "qemu-img",
      "qemu-system-x86_64", "ld-linux-x86-64", "ld.so",      "python3.11.exe",
  };
  const auto entries = [](const std::string& exe) {
    const std::string path = "/usr/bin/" + exe;
    const std::vector<std::string> args = {path, "-u", "/opt/app/Target.exe"};
    return std::vector<ProcessEntry>{{20, path, exe.substr(0, 15), args},
                                     {21, "", exe.substr(0, 15), args}};
  };
  for (const auto* runners : {&interpreters, &emulators, &loaders}) {
    for (const auto& exe : *runners) {
      for (const auto& process : entries(exe)) {
        EXPECT_TRUE(HasProgramName(process, "Target.exe", false)) << exe << " " << process.pid;
      }
    }
  }
  for (const auto& exe : programs) {
    const auto both = entries(exe);
    EXPECT_EQ(ProgramNames(both[0]), std::vector<std::string>{exe}) << exe;
    for (const auto& process : both) {
      EXPECT_TRUE(HasProgramName(process, exe, false)) << exe << " " << process.pid;
      EXPECT_FALSE(HasProgramName(process, "Target.exe", false)) << exe << " " << process.pid;
    }
  }
}

// Wine puts the Windows program's path (a Windows or a Unix path) in argv[0] once it runs,
// so the program's own arguments, whatever they are, never name the process; only while a
// loader starts the program are the loaders themselves in front of it.
TEST(ProgramNames, AWineProgramIsKnownByItsPathNotByItsArguments) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> names;  // what the process goes by
    std::vector<std::string> not_names;
  };
  const Case cases[] = {
      {{"C:\\x\\Demo.exe", "Other"}, {"Demo.exe"}, {"Other", "Other.exe"}},
      {{"Z:\\tmp\\app\\Other.exe", "Demo"}, {"Other.exe"}, {"Demo", "Demo.exe"}},
      {{"Z:\\tmp\\app\\Other.exe", "Demo.exe", "-x", "Demo"}, {"Other.exe"}, {"Demo.exe"}},
      {{"/tmp/app/Other.exe", "Demo.exe"}, {"Other.exe"}, {"Demo.exe"}},
      {{"/usr/lib/wine/wine64-preloader", "/usr/lib/wine/wine64", "C:\\x\\Demo.exe", "Other"},
       {"Demo.exe"},
       {"Other"}},
      {{"wine", "Demo.exe", "Other.exe"}, {"Demo.exe"}, {"Other.exe"}},
  };
  const std::vector<std::string> loaders = {"/usr/lib/wine/wine64-preloader",
                                            "/usr/lib/wine/wine-preloader", "/usr/lib/wine/wine64",
                                            "/usr/lib/wine/wine", "/usr/bin/wine"};
  for (const auto& loader : loaders) {
    for (const auto& c : cases) {
      const std::string label = loader + " " + c.args[0] + " " + c.args[1];
      const ProcessEntry process{30, loader, "", c.args};
      for (const auto& name : c.names) EXPECT_TRUE(HasProgramName(process, name, true)) << label;
      for (const auto& name : c.not_names) {
        EXPECT_FALSE(HasProgramName(process, name, true)) << label << ": " << name;
        EXPECT_TRUE(ProcessesToStop({process}, name, StopMatch::kName, 1, 2).empty()) << label;
      }
    }
  }
}

std::vector<int> Pids(const std::vector<ProcessEntry>& processes) {
  std::vector<int> pids;
  for (const auto& process : processes) pids.push_back(process.pid);
  return pids;
}

TEST(ProcessesToStop, WholeNamesNeverTheUpdaterAndTheParentOnlyByName) {
  const int self = 1;
  const int parent = 2;
  const std::vector<ProcessEntry> processes = {
      {self, "/x/Demo.exe", "Demo.exe", {"/x/Demo.exe"}},
      {parent, "/x/Demo.exe", "Demo.exe", {"/x/Demo.exe"}},
      {3, "/y/DEMO.EXE", "DEMO.EXE", {"/y/DEMO.EXE"}},
      {4, "/x/MyDemo.exe", "MyDemo.exe", {"/x/MyDemo.exe"}},
      {5, "/x/Demo", "Demo", {"/x/Demo"}},
      {6, "/x/ZEPRUpdate.exe", "ZEPRUpdate.exe", {"/x/ZEPRUpdate.exe"}},
  };
  struct Case {
    const char* name;
    StopMatch match;
    std::vector<int> expected;
  };
  const Case cases[] = {
      {"Demo.exe", StopMatch::kName, {parent, 3}},
      {"Demo.exe", StopMatch::kModuleName, {3}},
      {"Demo.exe *32", StopMatch::kName, {parent, 3}},
      {"Demo", StopMatch::kName, {5}},
      {"/x/Demo", StopMatch::kName, {5}},
      {"/x/Demo", StopMatch::kModuleName, {}},
      {"emo.exe", StopMatch::kModuleName, {}},
      {"Update.exe", StopMatch::kModuleName, {}},
      // What an empty application name turns into reaches nothing.
      {"", StopMatch::kName, {}},
      {"  ", StopMatch::kModuleName, {}},
      {".exe", StopMatch::kName, {}},
      {".EXE", StopMatch::kModuleName, {}},
      {" *32", StopMatch::kName, {}},
      {".exe *32", StopMatch::kName, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Pids(ProcessesToStop(processes, c.name, c.match, self, parent)), c.expected)
        << "'" << c.name << "' " << static_cast<int>(c.match);
  }
}

}  // namespace
}  // namespace zepr
