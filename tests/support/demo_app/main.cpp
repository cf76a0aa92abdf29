// A stand-in for the updated application. Every start appends one line to "started.txt" in
// the program's own folder: the arguments after the program name, separated by tabs.
// "--live-ms=N" keeps it running for N milliseconds (or until it is stopped);
// "--exit-code=N" sets its exit status. Both are recorded like any other argument.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>

int main(int argc, char** argv) {
  std::error_code ec;
  std::string exe = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  constexpr std::string_view kDeleted = " (deleted)";
  if (exe.ends_with(kDeleted)) exe.resize(exe.size() - kDeleted.size());
  const std::string record = std::filesystem::path(exe).parent_path().string() + "/started.txt";

  std::string line;
  long live_ms = 0;
  int exit_code = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (i > 1) line += '\t';
    line += arg;
    if (arg.starts_with("--live-ms=")) live_ms = std::strtol(argv[i] + 10, nullptr, 10);
    if (arg.starts_with("--exit-code=")) exit_code = std::atoi(argv[i] + 12);
  }
  line += '\n';

  const int fd = open(record.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    // One write, so starts that run at the same time never mix their lines.
    const bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    if (!written) return 99;
  }
  if (live_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(live_ms));
  return exit_code;
}
