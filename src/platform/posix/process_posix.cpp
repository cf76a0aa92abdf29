#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>

#include "core/text.h"
#include "platform/process.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace zepr::platform {
namespace {

namespace fs = std::filesystem;

// Time a process gets to end on its own after the polite request.
constexpr int kTerminateGraceMs = 1500;
// Time the kernel gets to carry out the forced end.
constexpr int kKillWaitMs = 2000;

class SpawnFileActions {
 public:
  SpawnFileActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

// Children started without waiting; they are reaped once they have ended so they do not
// linger as zombies while the updater runs on.
class DetachedChildren {
 public:
  void Add(pid_t pid) {
    std::lock_guard lock(mutex_);
    pids_.push_back(pid);
  }
  void ReapEnded() {
    std::lock_guard lock(mutex_);
    std::erase_if(pids_, [](pid_t pid) {
      int status = 0;
      const pid_t result = waitpid(pid, &status, WNOHANG);
      return result == pid || (result < 0 && errno == ECHILD);
    });
  }

 private:
  std::mutex mutex_;
  std::vector<pid_t> pids_;
};

DetachedChildren& Detached() {
  static DetachedChildren children;
  return children;
}

// A file of /proc; "" when the process ends while it is read (the stream library would
// throw on that read error).
std::string ReadSmallFile(const fs::path& path) {
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return {};
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n > 0) {
      content.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      return content;
    } else if (errno != EINTR) {
      return {};
    }
  }
}

struct ProcessStat {
  char state = '?';
  uint64_t start_time = 0;
};

// Fields 3 (state) and 22 (start time) of /proc/<pid>/stat. Field 2, the short name in
// parentheses, may itself hold blanks and ")", so the count starts after the last ")".
std::optional<ProcessStat> ReadProcessStat(const fs::path& proc_dir) {
  const std::string stat = ReadSmallFile(proc_dir / "stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::string_view rest = std::string_view(stat).substr(close + 1);
  ProcessStat result;
  for (int field = 3; field <= 22; ++field) {
    const auto begin = rest.find_first_not_of(" \n");
    if (begin == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(begin);
    const std::string_view value = rest.substr(0, rest.find_first_of(" \n"));
    rest.remove_prefix(value.size());
    if (field == 3) {
      if (value.size() != 1) return std::nullopt;
      result.state = value[0];
    } else if (field == 22) {
      const auto start_time = ParseDecimal<uint64_t>(value);
      if (!start_time) return std::nullopt;
      result.start_time = *start_time;
    }
  }
  return result;
}

fs::path ProcessDir(int pid) { return fs::path("/proc") / std::to_string(pid); }

std::vector<std::string> SplitNulTerminated(const std::string& bytes) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : bytes) {
    if (c == '\0') {
      parts.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) parts.push_back(std::move(current));
  return parts;
}

// Through the system calls: the C library's declarations of these lack C linkage here.
int OpenPidfd(int pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

bool SendSignal(int pidfd, int signal) {
  return syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0;
}

bool WaitForEnd(int pidfd, int timeout_ms) {
  pollfd pfd{pidfd, POLLIN, 0};
  for (;;) {
    const int result = poll(&pfd, 1, timeout_ms);
    if (result > 0) return true;
    if (result == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

std::vector<ProcessEntry> ListProcesses() {
  Detached().ReapEnded();
  std::vector<ProcessEntry> entries;
  std::error_code ec;
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const fs::directory_entry& dir = *it;
    const std::string name = dir.path().filename().string();
    const auto pid = ParseDecimal<int>(name);
    if (!pid) continue;
    const auto stat = ReadProcessStat(dir.path());
    if (!stat || stat->state == 'Z' || stat->state == 'X') continue;

    ProcessEntry entry;
    entry.pid = *pid;
    entry.start_time = stat->start_time;
    std::error_code link_error;
    entry.exe_path = fs::read_symlink(dir.path() / "exe", link_error).string();
    if (link_error) entry.exe_path.clear();
    // A running program whose file was replaced is still that program.
    constexpr std::string_view kDeleted = " (deleted)";
    if (entry.exe_path.ends_with(kDeleted))
      entry.exe_path.resize(entry.exe_path.size() - kDeleted.size());
    entry.short_name = ReadSmallFile(dir.path() / "comm");
    if (!entry.short_name.empty() && entry.short_name.back() == '\n') entry.short_name.pop_back();
    entry.args = SplitNulTerminated(ReadSmallFile(dir.path() / "cmdline"));
    // Kernel threads have neither an executable nor a command line.
    if (entry.exe_path.empty() && entry.args.empty()) continue;
    // A number taken by a new process while it was read would mix two processes in one entry.
    const auto again = ReadProcessStat(dir.path());
    if (!again || again->start_time != entry.start_time) continue;
    entries.push_back(std::move(entry));
  }
  return entries;
}

int CurrentProcessId() { return static_cast<int>(getpid()); }

int ParentProcessId() { return static_cast<int>(getppid()); }

bool TerminateProcess(const ProcessEntry& process) {
  if (process.pid <= 0) return false;
  const UniqueFd pidfd(OpenPidfd(process.pid));
  if (pidfd.get() < 0) return errno == ESRCH;
  // The pid may have passed to a newer process since the listing. The pidfd holds whichever
  // process has the pid now, so once its start time matches, every signal through the pidfd
  // reaches the listed process.
  const auto stat = ReadProcessStat(ProcessDir(process.pid));
  if (!stat || stat->start_time != process.start_time) return true;
  if (!SendSignal(pidfd.get(), SIGTERM)) return errno == ESRCH;
  bool ended = WaitForEnd(pidfd.get(), kTerminateGraceMs);
  if (!ended && SendSignal(pidfd.get(), SIGKILL)) {
    ended = WaitForEnd(pidfd.get(), kKillWaitMs);
  }
  Detached().ReapEnded();
  return ended;
}

StartResult StartProgram(const std::vector<std::string>& argv, bool hidden, bool wait) {
  if (argv.empty() || argv[0].empty()) return {false, 0, std::strerror(ENOENT)};

  SpawnFileActions actions;
  if (hidden) {
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
      posix_spawn_file_actions_addopen(actions.get(), fd, "/dev/null",
                                       fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    }
  }
  // Only the standard streams are handed on.
  posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);

  SpawnAttributes attributes;
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (!wait) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(attributes.get(), flags);
  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  posix_spawnattr_setsigmask(attributes.get(), &empty_mask);
  sigset_t all_signals;
  sigfillset(&all_signals);
  posix_spawnattr_setsigdefault(attributes.get(), &all_signals);

  std::vector<char*> c_argv;
  c_argv.reserve(argv.size() + 1);
  for (const auto& arg : argv) c_argv.push_back(const_cast<char*>(arg.c_str()));
  c_argv.push_back(nullptr);

  pid_t pid = 0;
  const int error =
      posix_spawnp(&pid, argv[0].c_str(), actions.get(), attributes.get(), c_argv.data(), environ);
  if (error != 0) return {false, 0, std::strerror(error)};
  StartResult result{true};
  if (wait) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  } else {
    Detached().Add(pid);
  }
  return result;
}

}  // namespace zepr::platform
