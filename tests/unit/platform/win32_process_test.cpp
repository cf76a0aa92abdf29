// The Windows process layer against the real system (Wine on the build machine): command lines
// that split back into the same arguments, started programs, the process list and stops.
#include <windows.h>
// After windows.h:
#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/path_text.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/win32/command_line.h"
#include "platform/win32/wide.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;

// The test program is also the child that the tests start:
//   --child-args <file> <args...>  writes how its output is connected and its arguments to the
//                                  file, then ends with status 7;
//   --child-sleep <file>           writes its pid to the file, then sleeps until it is stopped;
//   --child-stop-parent <file>     tries to stop its parent (the test) and writes what it saw.
void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(PathFromUtf8(path), std::ios::binary) << content;
}

std::string OutputKind() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return "none";
  if (GetConsoleMode(out, &mode)) return "console";
  return GetFileType(out) == FILE_TYPE_CHAR ? "device" : "file";
}

const bool kIsChild = [] {
  const std::vector<std::string> args = platform::CommandLineArguments(0, nullptr);
  if (args.size() >= 3 && args[1] == "--child-args") {
    std::string content = OutputKind() + '\0';
    for (size_t i = 3; i < args.size(); ++i) content += args[i] + '\0';
    WriteFile(args[2], content);
    ExitProcess(7);
  }
  if (args.size() >= 3 && args[1] == "--child-sleep") {
    WriteFile(args[2], std::to_string(GetCurrentProcessId()));
    for (;;) Sleep(1000);
  }
  if (args.size() >= 3 && args[1] == "--child-stop-parent") {
    const int parent = platform::ParentProcessId();
    std::string seen = std::to_string(parent);
    for (const auto& process : platform::ListProcesses()) {
      if (process.pid == parent)
        seen += platform::TerminateProcess(process) ? " ended" : " refused";
    }
    WriteFile(args[2], seen);
    ExitProcess(0);
  }
  return false;
}();

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> SplitNul(const std::string& bytes) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : bytes) {
    if (c == '\0') {
      parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  return parts;
}

std::string SelfPath() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return platform::WideToUtf8(path);
}

class TempFolder {
 public:
  TempFolder() {
    path_ = fs::temp_directory_path() / (L"zepr-win32-" + std::to_wstring(GetCurrentProcessId()) +
                                         L"-" + std::to_wstring(counter_++));
    fs::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  static inline int counter_ = 0;
  fs::path path_;
};

std::vector<std::wstring> SplitLikeTheSystem(const std::wstring& line) {
  int count = 0;
  wchar_t** parts = CommandLineToArgvW(line.c_str(), &count);
  std::vector<std::wstring> args(parts, parts + count);
  LocalFree(parts);
  return args;
}

// Quotes, backslashes before quotes and at the end, blanks, empty arguments, and letters
// outside every ANSI code page.
const std::vector<std::wstring> kHardArguments = {
    L"",
    L"plain",
    L"two words",
    L"\"",
    L"say \"hi\"",
    L"a\\b",
    L"end\\",
    L"end with blank\\",
    L"\\\\server\\share\\",
    L"back\\\"quote",
    L"back\\\\\"quotes",
    L"\\\"",
    L"\\\\",
    L"tab\there",
    L"new\nline",
    L" ",
    L"x\"\"y",
    L"\"quoted\"",
    L"Čćžšđ \u65E5\u672C \U0001F600",
};

TEST(Win32CommandLine, SplitsBackIntoTheSameArguments) {
  for (const auto& arg : kHardArguments) {
    const std::vector<std::wstring> argv{L"C:\\Program Files\\App\\prog.exe", arg, L"after"};
    const std::wstring line = platform::BuildCommandLine(argv);
    EXPECT_EQ(SplitLikeTheSystem(line), argv) << platform::WideToUtf8(line);
  }
  std::vector<std::wstring> all{L"prog"};
  all.insert(all.end(), kHardArguments.begin(), kHardArguments.end());
  EXPECT_EQ(SplitLikeTheSystem(platform::BuildCommandLine(all)), all);
  // Nothing is quoted that needs no quotes.
  EXPECT_EQ(platform::BuildCommandLine({L"prog", L"a\\b", L"-x"}), L"prog a\\b -x");
}

TEST(Win32StartProgram, ChildGetsItsArgumentsIntactAndItsStatusComesBack) {
  TempFolder dir;
  const std::string report = Utf8FromPath(dir.path() / L"args \u0160.bin");
  std::vector<std::string> args{SelfPath(), "--child-args", report};
  for (const auto& arg : kHardArguments) args.push_back(platform::WideToUtf8(arg));

  const platform::StartResult result = platform::StartProgram(args, true, true);
  ASSERT_TRUE(result) << result.error;
  EXPECT_EQ(result.exit_status, 7);
  const auto parts = SplitNul(ReadFile(PathFromUtf8(report)));
  ASSERT_FALSE(parts.empty());
  // Hidden: the output goes to the null device, not to our console or files.
  EXPECT_EQ(parts[0], "device");
  EXPECT_EQ(std::vector<std::string>(parts.begin() + 1, parts.end()),
            std::vector<std::string>(args.begin() + 3, args.end()));
}

TEST(Win32StartProgram, BareNamesAreFoundOnThePathAndMissingProgramsReported) {
  const platform::StartResult exited = platform::StartProgram({"cmd", "/c", "exit 9"}, true, true);
  ASSERT_TRUE(exited) << exited.error;
  EXPECT_EQ(exited.exit_status, 9);

  for (const std::string& missing :
       {std::string("zepr-no-such-program"), std::string("C:\\zepr\\no such folder\\prog.exe"),
        std::string()}) {
    const platform::StartResult result = platform::StartProgram({missing}, false, true);
    EXPECT_FALSE(result) << missing;
    EXPECT_FALSE(result.error.empty()) << missing;
  }
}

std::optional<platform::ProcessEntry> Listed(int pid) {
  for (auto& process : platform::ListProcesses()) {
    if (process.pid == pid) return process;
  }
  return std::nullopt;
}

TEST(Win32Processes, ListHoldsThisProgramWithItsFullPath) {
  const auto self = Listed(platform::CurrentProcessId());
  ASSERT_TRUE(self);
  EXPECT_EQ(self->exe_path, SelfPath());
  EXPECT_EQ(platform::ExecutableFolder() + self->short_name, SelfPath());
  EXPECT_NE(self->start_time, 0u);
}

// A child of ours that sleeps until it is stopped; ended by force if a test leaves it.
class SleepingChild {
 public:
  SleepingChild() {
    const fs::path pid_file = dir_.path() / L"pid";
    const platform::StartResult result =
        platform::StartProgram({SelfPath(), "--child-sleep", Utf8FromPath(pid_file)}, true, false);
    EXPECT_TRUE(result) << result.error;
    // The child writes its pid once it runs.
    for (int i = 0; i < 3000 && pid_ == 0; ++i) {
      const std::string text = ReadFile(pid_file);
      if (!text.empty()) pid_ = std::atoi(text.c_str());
      if (pid_ == 0) Sleep(10);
    }
    handle_ = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid_));
  }
  ~SleepingChild() {
    if (handle_ == nullptr) return;
    ::TerminateProcess(handle_, 1);
    CloseHandle(handle_);
  }
  int pid() const { return pid_; }
  bool Ended() const { return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0; }

 private:
  TempFolder dir_;
  int pid_ = 0;
  HANDLE handle_ = nullptr;
};

TEST(Win32Processes, StopsOnlyTheListedProcess) {
  SleepingChild child;
  ASSERT_NE(child.pid(), 0);
  auto listed = Listed(child.pid());
  ASSERT_TRUE(listed);
  EXPECT_EQ(listed->exe_path, SelfPath());

  // The same pid with another start time is a process that took the number over.
  platform::ProcessEntry other = *listed;
  other.start_time += 1;
  EXPECT_TRUE(platform::TerminateProcess(other));
  EXPECT_FALSE(child.Ended());

  EXPECT_TRUE(platform::TerminateProcess(*listed));
  EXPECT_TRUE(child.Ended());
  // Once ended, it is not listed, and stopping it again finds it ended.
  EXPECT_FALSE(Listed(child.pid()));
  EXPECT_TRUE(platform::TerminateProcess(*listed));
}

TEST(Win32Processes, NeverStopsItselfOrItsParent) {
  const auto self = Listed(platform::CurrentProcessId());
  ASSERT_TRUE(self);
  EXPECT_FALSE(platform::TerminateProcess(*self));

  // A child of ours that is told to stop its parent finds us and leaves us running.
  TempFolder dir;
  const fs::path report = dir.path() / L"parent";
  const auto result =
      platform::StartProgram({SelfPath(), "--child-stop-parent", Utf8FromPath(report)}, true, true);
  ASSERT_TRUE(result) << result.error;
  EXPECT_EQ(ReadFile(report), std::to_string(platform::CurrentProcessId()) + " refused");
}

TEST(Win32Platform, HeadlessOverride) {
  _putenv("ZEPR_HEADLESS=1");
  EXPECT_FALSE(platform::DisplayAvailable());
  _putenv("ZEPR_HEADLESS=");
}

}  // namespace
}  // namespace zepr
