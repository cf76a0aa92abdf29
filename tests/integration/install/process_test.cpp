#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "core/text.h"
#include "install/file_copy.h"
#include "install/processes.h"
#include "support/sandbox.h"

extern char** environ;

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;

// Stops reach every program of a name on the machine, so each test process uses names of
// its own: tests running at the same time never stop each other's programs.
std::string Unique(const std::string& stem) { return stem + std::to_string(getpid()) + ".exe"; }

bool WaitFor(const std::function<bool()>& condition) {
  for (int i = 0; i < 2000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

class ProcessTest : public ::testing::Test {
 protected:
  // A copy of the stand-in application under the given name, in a folder of its own.
  std::string Program(const std::string& name, const std::string& folder = "app") {
    const fs::path path = dir_.path() / folder / name;
    fs::create_directories(path.parent_path());
    fs::copy_file(testing::BuildDir() / "bin" / "Demo.exe", path);
    return path.string();
  }
  std::string Started(const std::string& program) {
    return ReadFile(fs::path(program).parent_path() / "started.txt");
  }
  // Started without waiting; true once it has recorded its start.
  bool Launch(const std::string& program) {
    return processes_.StartProgram({program, "--live-ms=60000"}, false, false) &&
           WaitFor([&] { return !Started(program).empty(); });
  }
  static const platform::ProcessEntry* Find(
      const std::vector<platform::ProcessEntry>& listed,
      const std::function<bool(const platform::ProcessEntry&)>& match) {
    const auto it = std::find_if(listed.begin(), listed.end(), match);
    return it == listed.end() ? nullptr : &*it;
  }

  TempDir dir_;
  VirtualClock clock_;
  SystemProcesses processes_{clock_};
};

TEST_F(ProcessTest, StartWaitsForTheEndAndPassesArgumentsWhole) {
  const std::string demo = Program(Unique("Demo"));
  ASSERT_TRUE(processes_.StartProgram({demo, "a b", "čćž", "", "--live-ms=300"}, false, true));
  EXPECT_EQ(Started(demo), "a b\tčćž\t\t--live-ms=300\n");
  EXPECT_FALSE(processes_.IsProgramRunning(fs::path(demo).filename()));
  // Hidden and by bare name from the search path.
  EXPECT_TRUE(processes_.StartProgram({"true"}, true, true));
}

TEST_F(ProcessTest, StartWithoutWaitReturnsWhileTheProgramRuns) {
  const std::string name = Unique("Demo");
  const std::string demo = Program(name);
  ASSERT_TRUE(Launch(demo));
  EXPECT_TRUE(processes_.IsProgramRunning(name));
  processes_.StopProgram(name);
  EXPECT_FALSE(processes_.IsProgramRunning(name));
}

TEST_F(ProcessTest, StartFailsForWhatCannotRun) {
  const fs::path text = dir_.path() / "notes.exe";
  testing::WriteFile(text, "no program here\n");
  fs::permissions(text, fs::perms::owner_all);
  const std::vector<std::vector<std::string>> cases = {
      {},
      {""},
      {(dir_.path() / "missing.exe").string()},
      {"no-such-program-anywhere"},
      {text.string()},
      {dir_.path().string()},
  };
  for (const auto& argv : cases) {
    EXPECT_FALSE(processes_.StartProgram(argv, false, true)) << (argv.empty() ? "" : argv[0]);
  }
}

TEST_F(ProcessTest, RunningTestByWholeNameOrPath) {
  const std::string name = Unique("Demo");
  const std::string demo = Program(name);
  ASSERT_TRUE(Launch(demo));
  struct Case {
    std::string name;
    bool running;
  };
  const Case cases[] = {
      {name, true},
      {AsciiUpper(name), true},
      {name + " *32", true},
      {demo, true},
      {fs::path(name).stem().string(), false},
      {name.substr(1), false},
      {"X" + name, false},
      {"", false},
      {".exe", false},
  };
  for (const auto& c : cases) EXPECT_EQ(processes_.IsProgramRunning(c.name), c.running) << c.name;
  processes_.StopProgram(name);
}

TEST_F(ProcessTest, StopEndsEveryInstanceOnlyOfThatNameAndPausesOnTheClock) {
  const std::string name = Unique("Demo");
  const std::vector<std::string> stopped = {Program(name, "one"), Program(name, "two")};
  const std::vector<std::string> kept = {Program("My" + name), Program(name + ".bak")};
  for (const auto& p : stopped) ASSERT_TRUE(Launch(p));
  for (const auto& p : kept) ASSERT_TRUE(Launch(p));

  const auto start = std::chrono::steady_clock::now();
  processes_.StopProgram(name);
  EXPECT_EQ(clock_.slept_ms(), SystemProcesses::kStopPauseMs);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2900));

  EXPECT_FALSE(processes_.IsProgramRunning(name));
  for (const auto& p : kept) EXPECT_TRUE(processes_.IsProgramRunning(p)) << p;
  for (const auto& p : kept) processes_.StopProgram(fs::path(p).filename());
  for (const auto& p : kept) EXPECT_FALSE(processes_.IsProgramRunning(p)) << p;
}

TEST_F(ProcessTest, EmptyOrExtensionOnlyNamesStopNothing) {
  const std::string name = Unique("Demo");
  ASSERT_TRUE(Launch(Program(name)));
  for (const char* empty : {"", " ", ".exe", ".EXE", " *32"}) {
    processes_.StopProgram(empty);
    EXPECT_TRUE(processes_.IsProgramRunning(name)) << "'" << empty << "'";
  }
  EXPECT_EQ(clock_.slept_ms(), 5 * SystemProcesses::kStopPauseMs);
  processes_.StopProgram(name);
}

TEST_F(ProcessTest, ProgramsAreFoundByTheirOwnNamesWhateverRunsThem) {
  // Longer than the kernel's short name; replaced on disk while it runs; a script run by
  // an interpreter.
  const std::string long_name = Unique("VeryLongDemoProgramName");
  ASSERT_TRUE(Launch(Program(long_name)));
  const std::string replaced = Unique("Replaced");
  const std::string replaced_path = Program(replaced);
  ASSERT_TRUE(Launch(replaced_path));
  testing::WriteFile(dir_.path() / "new.exe", "new version");
  ASSERT_TRUE(CopyFileReplacing((dir_.path() / "new.exe").string(), replaced_path));
  const std::string script = Unique("Helper");
  const fs::path script_path = dir_.path() / script;
  testing::WriteFile(script_path, "import time\ntime.sleep(60)\n");
  ASSERT_TRUE(processes_.StartProgram({"python3", script_path.string()}, true, false));

  for (const auto& name : {long_name, replaced, script}) {
    EXPECT_TRUE(WaitFor([&] { return processes_.IsProgramRunning(name); })) << name;
    processes_.StopProgram(name);
    EXPECT_FALSE(processes_.IsProgramRunning(name)) << name;
  }
}

// A name that begins like an interpreter's ("MONO") does not make a program an interpreter:
// the file it is given is not the program it is.
TEST_F(ProcessTest, AProgramNamedLikeAnInterpreterIsKnownByItsOwnNameOnly) {
  const std::string application = Unique("Demo");
  const std::string application_path = Program(application);
  const std::string tool = Unique("Monolit");
  const fs::path tool_path = dir_.path() / "tool" / tool;
  fs::create_directories(tool_path.parent_path());
  fs::copy_file("/usr/bin/tail", tool_path);
  ASSERT_TRUE(processes_.StartProgram({tool_path.string(), "-f", application_path}, true, false));
  ASSERT_TRUE(WaitFor([&] { return processes_.IsProgramRunning(tool); }));

  EXPECT_FALSE(processes_.IsProgramRunning(application));
  processes_.StopProgram(application);
  EXPECT_TRUE(processes_.IsProgramRunning(tool));
  processes_.StopProgram(tool);
  EXPECT_FALSE(processes_.IsProgramRunning(tool));
}

// A Windows program under Wine: the loader is the executable, and Wine puts the program's
// own path in argv[0], before the program's arguments. Another Windows program that merely
// has the application's title as its first argument is not the application.
TEST_F(ProcessTest, AWineProgramIsStoppedByItsOwnNameNotByItsArguments) {
  const std::string name = Unique("Demo");
  const std::string title = fs::path(name).stem().string();
  const std::string other = Unique("Other");
  struct Wine {
    std::string loader;
    pid_t pid = -1;
    bool reaped = false;
    bool Ended() {
      int status = 0;
      if (!reaped) reaped = waitpid(pid, &status, WNOHANG) == pid;
      return reaped;
    }
  };
  // A Wine-like process: a loader whose argv[0] is not its own path.
  const auto start = [&](const std::string& folder, std::vector<std::string> argv) {
    Wine wine{Program("wine64-preloader", folder)};
    argv.push_back("--live-ms=60000");
    std::vector<char*> c_argv;
    for (auto& arg : argv) c_argv.push_back(arg.data());
    c_argv.push_back(nullptr);
    if (posix_spawn(&wine.pid, wine.loader.c_str(), nullptr, nullptr, c_argv.data(), environ) != 0)
      wine.reaped = true;
    return wine;
  };
  Wine kept = start("other", {"Z:\\tmp\\" + other, title, name});
  Wine stopped = start("demo", {"C:\\app\\" + name});
  for (const auto* wine : {&kept, &stopped}) {
    EXPECT_TRUE(!wine->reaped && WaitFor([&] { return !Started(wine->loader).empty(); }))
        << wine->loader;
  }

  processes_.StopProgram(name);
  EXPECT_TRUE(WaitFor([&] { return stopped.Ended(); }));
  EXPECT_FALSE(kept.Ended());
  EXPECT_TRUE(processes_.IsProgramRunning(other));
  processes_.StopProgram(other);
  EXPECT_TRUE(WaitFor([&] { return kept.Ended(); }));
  for (auto* wine : {&kept, &stopped}) {
    if (wine->Ended()) continue;
    kill(wine->pid, SIGKILL);
    waitpid(wine->pid, nullptr, 0);
  }
}

// Stops come one after another, seconds apart, and a pid may pass to a new process in
// between: only the process that was listed is signalled.
TEST_F(ProcessTest, TerminationReachesOnlyTheListedProcess) {
  // Blanks and parentheses in the short name, which the system's status line does not quote.
  const std::string name = Unique("Odd) (1 2) ");
  ASSERT_TRUE(Launch(Program(name)));
  const auto listed = platform::ListProcesses();
  const auto* self = Find(listed, [](const auto& p) { return p.pid == getpid(); });
  const auto* odd =
      Find(listed, [&](const auto& p) { return fs::path(p.exe_path).filename() == name; });
  ASSERT_TRUE(self && odd);
  // Started after this test process, and the time read from the right field.
  EXPECT_GT(self->start_time, 0u);
  EXPECT_GE(odd->start_time, self->start_time);

  for (const uint64_t other_start : {odd->start_time + 1, odd->start_time - 1, uint64_t{0}}) {
    platform::ProcessEntry successor = *odd;
    successor.start_time = other_start;
    // The listed process counts as ended; the one now under its pid is left alone.
    EXPECT_TRUE(platform::TerminateProcess(successor)) << other_start;
    EXPECT_TRUE(processes_.IsProgramRunning(name)) << other_start;
  }
  EXPECT_TRUE(platform::TerminateProcess(*odd));
  EXPECT_FALSE(processes_.IsProgramRunning(name));
}

}  // namespace
}  // namespace zepr
