#include <windows.h>
// After windows.h:
#include <tlhelp32.h>

#include <optional>
#include <vector>

#include "platform/process.h"
#include "platform/win32/command_line.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"

namespace zepr::platform {
namespace {

// Time a program gets to close its windows after the polite request.
constexpr DWORD kTerminateGraceMs = 1500;
// Time the system gets to carry out the forced end.
constexpr DWORD kKillWaitMs = 2000;

uint64_t CreationTime(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

std::string ImagePath(HANDLE process) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD size = static_cast<DWORD>(path.size());
    if (QueryFullProcessImageNameW(process, 0, path.data(), &size)) {
      path.resize(size);
      return Utf8FromSystemPath(path);
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

// Every entry of a toolhelp snapshot of the processes; empty when none can be taken.
std::vector<PROCESSENTRY32W> SnapshotProcesses() {
  std::vector<PROCESSENTRY32W> entries;
  const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return entries;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    entries.push_back(entry);
  }
  return entries;
}

// How the system is given a program's path: as it stands where it fits in MAX_PATH characters,
// so that the program knows itself by the path it was started by. A longer one goes in the
// long form, its folders by their short names where the volume keeps those: Wine starts no
// program by a longer path.
std::wstring StartablePath(const std::string& path) {
  const std::wstring full = FileSystemPath(path);
  std::wstring plain = PlainSystemPath(full);
  if (plain.size() < MAX_PATH) return plain;
  const size_t slash = full.find_last_of(L'\\');
  if (slash == std::wstring::npos) return full;
  const std::wstring folder = full.substr(0, slash);
  std::wstring short_folder(folder.size() + 1, L'\0');
  const DWORD n = GetShortPathNameW(folder.c_str(), short_folder.data(),
                                    static_cast<DWORD>(short_folder.size()));
  if (n == 0 || n >= short_folder.size()) return full;
  short_folder.resize(n);
  return short_folder + full.substr(slash);
}

// The program to start: a bare name is looked up in the folders of PATH (".exe" added when it
// has no extension), as a shell would; a path is taken as it stands.
std::optional<std::wstring> ProgramPath(const std::string& utf8_name) {
  if (utf8_name.find_first_of("\\/:") != std::string::npos) return StartablePath(utf8_name);
  const std::wstring name = Utf8ToWide(utf8_name);
  std::wstring search(32767, L'\0');
  const DWORD search_size =
      GetEnvironmentVariableW(L"PATH", search.data(), static_cast<DWORD>(search.size()));
  search.resize(search_size < search.size() ? search_size : 0);
  std::wstring found(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = SearchPathW(search.empty() ? nullptr : search.c_str(), name.c_str(), L".exe",
                                static_cast<DWORD>(found.size()), found.data(), nullptr);
    if (n == 0) return std::nullopt;
    if (n < found.size()) {
      found.resize(n);
      return found;
    }
    found.resize(n);
  }
}

// The attribute list that limits what a child inherits to the handles named in it, so the null
// device is all it gets of ours even while other threads hold inheritable handles.
class InheritedHandles {
 public:
  explicit InheritedHandles(HANDLE handle) : handle_(handle) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    buffer_.resize(size);
    list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    if (!InitializeProcThreadAttributeList(list_, 1, 0, &size)) {
      list_ = nullptr;
      return;
    }
    if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &handle_,
                                   sizeof handle_, nullptr, nullptr)) {
      DeleteProcThreadAttributeList(list_);
      list_ = nullptr;
    }
  }
  ~InheritedHandles() {
    if (list_) DeleteProcThreadAttributeList(list_);
  }
  InheritedHandles(const InheritedHandles&) = delete;
  InheritedHandles& operator=(const InheritedHandles&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  HANDLE handle_;
  std::vector<char> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

struct WindowsOf {
  DWORD pid;
  bool posted;
};

BOOL CALLBACK CloseWindowOf(HWND window, LPARAM param) {
  auto* target = reinterpret_cast<WindowsOf*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == target->pid && PostMessageW(window, WM_CLOSE, 0, 0)) target->posted = true;
  return TRUE;
}

}  // namespace

std::vector<ProcessEntry> ListProcesses() {
  std::vector<ProcessEntry> processes;
  for (const PROCESSENTRY32W& entry : SnapshotProcesses()) {
    // The idle process is no program.
    if (entry.th32ProcessID == 0) continue;
    ProcessEntry process;
    process.pid = static_cast<int>(entry.th32ProcessID);
    process.short_name = WideToUtf8(entry.szExeFile);
    // Another user's or a protected process may not be opened: then it is known by its
    // executable's file name only.
    const UniqueHandle handle(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
    if (handle) {
      // A process that has ended but is still held open by someone is not running.
      DWORD exit_code = 0;
      if (GetExitCodeProcess(handle.get(), &exit_code) && exit_code != STILL_ACTIVE) continue;
      process.exe_path = ImagePath(handle.get());
      process.start_time = CreationTime(handle.get());
    }
    processes.push_back(std::move(process));
  }
  return processes;
}

int CurrentProcessId() { return static_cast<int>(GetCurrentProcessId()); }

int ParentProcessId() {
  const DWORD self = GetCurrentProcessId();
  for (const PROCESSENTRY32W& entry : SnapshotProcesses()) {
    if (entry.th32ProcessID == self) return static_cast<int>(entry.th32ParentProcessID);
  }
  return 0;
}

bool TerminateProcess(const ProcessEntry& process) {
  if (process.pid <= 0) return false;
  // The updater does not end itself, nor the program that is waiting for it.
  if (process.pid == CurrentProcessId() || process.pid == ParentProcessId()) return false;
  const UniqueHandle handle(
      OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                  static_cast<DWORD>(process.pid)));
  // No such process: the listed one has ended.
  if (!handle) return GetLastError() == ERROR_INVALID_PARAMETER;
  // The pid may have passed to a newer process since the listing; the handle holds whichever
  // process has it now, so once its creation time matches, the handle reaches the listed one.
  if (CreationTime(handle.get()) != process.start_time) return true;
  if (WaitForSingleObject(handle.get(), 0) == WAIT_OBJECT_0) return true;

  WindowsOf windows{static_cast<DWORD>(process.pid), false};
  EnumWindows(CloseWindowOf, reinterpret_cast<LPARAM>(&windows));
  if (windows.posted && WaitForSingleObject(handle.get(), kTerminateGraceMs) == WAIT_OBJECT_0) {
    return true;
  }
  if (!::TerminateProcess(handle.get(), 1)) {
    return WaitForSingleObject(handle.get(), 0) == WAIT_OBJECT_0;
  }
  return WaitForSingleObject(handle.get(), kKillWaitMs) == WAIT_OBJECT_0;
}

StartResult StartProgram(const std::vector<std::string>& argv, bool hidden, bool wait) {
  if (argv.empty() || argv[0].empty()) return {false, 0, SystemErrorText(ERROR_FILE_NOT_FOUND)};
  std::vector<std::wstring> wide_argv;
  wide_argv.reserve(argv.size());
  for (const auto& arg : argv) wide_argv.push_back(Utf8ToWide(arg));
  const auto program = ProgramPath(argv[0]);
  if (!program) return {false, 0, SystemErrorText(ERROR_FILE_NOT_FOUND)};
  std::wstring command_line = BuildCommandLine(wide_argv);

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = hidden ? sizeof startup : sizeof startup.StartupInfo;
  DWORD flags = CREATE_UNICODE_ENVIRONMENT;
  // A program we do not wait for is out of reach of the console's Ctrl+C meant for us.
  if (!wait) flags |= CREATE_NEW_PROCESS_GROUP;
  UniqueHandle null_device;
  std::optional<InheritedHandles> inherited;
  if (hidden) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    null_device.Reset(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                                  0, nullptr));
    if (!null_device) return {false, 0, SystemErrorText(GetLastError())};
    inherited.emplace(null_device.get());
    if (inherited->get() == nullptr) return {false, 0, SystemErrorText(GetLastError())};
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    startup.StartupInfo.hStdInput = null_device.get();
    startup.StartupInfo.hStdOutput = null_device.get();
    startup.StartupInfo.hStdError = null_device.get();
    startup.lpAttributeList = inherited->get();
    flags |= EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW;
  }

  PROCESS_INFORMATION info{};
  auto create = [&](DWORD creation_flags) {
    return CreateProcessW(program->c_str(), command_line.data(), nullptr, nullptr,
                          hidden ? TRUE : FALSE, creation_flags, nullptr, nullptr,
                          &startup.StartupInfo, &info);
  };
  // A program we do not wait for outlives us also when we run in a job that ends its processes
  // with it; a job that allows no breakaway still gets the program.
  bool created = !wait && create(flags | CREATE_BREAKAWAY_FROM_JOB);
  if (!created) created = create(flags);
  if (!created) return {false, 0, SystemErrorText(GetLastError())};
  const UniqueHandle child(info.hProcess);
  const UniqueHandle thread(info.hThread);

  StartResult result{true};
  if (wait) {
    WaitForSingleObject(child.get(), INFINITE);
    DWORD exit_code = 0;
    GetExitCodeProcess(child.get(), &exit_code);
    result.exit_status = static_cast<int>(exit_code);
  }
  return result;
}

}  // namespace zepr::platform
