#include "e2e/e2e_sandbox.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zepr::testing {

namespace fs = std::filesystem;

namespace {

pid_t Spawn(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) {
    throw std::runtime_error("cannot start " + argv[0]);
  }
  return pid;
}

std::vector<std::string> SplitAt(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t at = text.find(separator); at != std::string::npos;
       at = text.find(separator, start)) {
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
  if (start < text.size()) parts.push_back(text.substr(start));
  return parts;
}

// Where a build puts its programs.
fs::path BinDir(Build build) {
  if (build == Build::kLinux) return BuildDir() / "bin";
  return fs::path(std::getenv("ZEPR_WINDOWS_BUILD_DIR")) / "bin";
}

}  // namespace

std::string WindowsRunsUnavailable() {
  const char* folder = std::getenv("ZEPR_WINDOWS_BUILD_DIR");
  if (folder == nullptr || *folder == '\0') return "no Windows build was named";
  if (!fs::exists(fs::path(folder) / "bin" / "ZEPRUpdate.exe")) {
    return std::string("no Windows updater in ") + folder;
  }
  if (FindProgram("wine").empty()) return "wine is not installed";
  const fs::path prefix = fs::path(folder) / "wineprefix";
  const auto prepared =
      RunProgram({(SourceDir() / "scripts" / "wine-prefix").string(), prefix.string()});
  if (prepared.exit_code != 0) return "the Wine prefix could not be made: " + prepared.output;
  setenv("WINEPREFIX", prefix.c_str(), 1);
  setenv("WINEDEBUG", "-all", 1);
  return "";
}

std::vector<std::string> Launch(Build build, const fs::path& program,
                                std::vector<std::string> args) {
  args.insert(args.begin(), program.string());
  if (build == Build::kWindows) args.insert(args.begin(), FindProgram("wine"));
  return args;
}

AppSandbox::AppSandbox(Build build)
    : build_(build), path_(fs::canonical(dir_.path())), app_("App" + std::to_string(getpid())) {
  fs::copy_file(BinDir(build) / "ZEPRUpdate.exe", updater());
  fs::copy_file(BinDir(build) / "Demo.exe", app_exe());
}

ProcessResult AppSandbox::Run(const std::string& client, const std::string& type,
                              const std::vector<std::string>& more) const {
  std::vector<std::string> args{kTitle, kSection, app_, client, type};
  args.insert(args.end(), more.begin(), more.end());
  ProcessResult result =
      RunProgram(Launch(build_, updater(), args), {"DISPLAY=", "ZEPR_HEADLESS=1"}, path());
  // The Windows program writes its lines as Windows text, ending in CR LF.
  if (build_ == Build::kWindows) {
    std::string& out = result.output;
    for (size_t at = out.find("\r\n"); at != std::string::npos; at = out.find("\r\n", at)) {
      out.erase(at, 1);
    }
  }
  return result;
}

ProcessResult AppSandbox::RunKilledAt(const std::string& watch, const std::string& at,
                                      const std::string& client, const std::string& type,
                                      const std::vector<std::string>& more) const {
  if (build_ != Build::kLinux) throw std::logic_error("the crash shim is for Linux programs");
  std::vector<std::string> args{updater().string(), kTitle, kSection, app_, client, type};
  args.insert(args.end(), more.begin(), more.end());
  return RunProgram(args,
                    {"DISPLAY=", "ZEPR_HEADLESS=1", std::string("LD_PRELOAD=") + ZEPR_CRASH_SHIM,
                     "ZEPR_CRASH_WATCH=" + (path() / watch).string(), "ZEPR_CRASH_AT=" + at},
                    path());
}

ProcessResult AppSandbox::RunLogged(const fs::path& log, const std::string& client,
                                    const std::string& type,
                                    const std::vector<std::string>& more) const {
  if (build_ != Build::kLinux) throw std::logic_error("the crash shim is for Linux programs");
  std::vector<std::string> args{updater().string(), kTitle, kSection, app_, client, type};
  args.insert(args.end(), more.begin(), more.end());
  return RunProgram(args,
                    {"DISPLAY=", "ZEPR_HEADLESS=1", std::string("LD_PRELOAD=") + ZEPR_CRASH_SHIM,
                     "ZEPR_CRASH_WATCH=" + path().string(), "ZEPR_CRASH_LOG=" + log.string()},
                    path());
}

std::vector<std::string> AppSandbox::AwaitStarts(size_t count) const {
  for (int i = 0; i < 500 && Starts().size() < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return Starts();
}

std::vector<std::string> AppSandbox::Starts() const {
  return SplitAt(ReadFile(path() / "started.txt"), '\n');
}

std::vector<std::string> RunLogs(const AppSandbox& box) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(box.path() / "ZEPRUpdateLog", ec))
    files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<std::string> logs;
  for (const auto& file : files) logs.push_back(ReadFile(file));
  return logs;
}

ZipEntry AppEntry(const std::string& name, Build build) {
  return {name, ReadFile(BinDir(build) / "Demo.exe"), false, 0100755};
}

DownloadSite::DownloadSite() {
  fs::create_directories(dir_.path() / "site");
  endpoint_ = std::make_unique<PeerProcess>(std::vector<std::string>{
      SystemPython(), SupportFile("http_endpoint.py"), "--root", (dir_.path() / "site").string(),
      "--log", (dir_.path() / "requests.log").string(), "--control",
      (dir_.path() / "control.json").string(), "--time-limit", "300"});
}

std::string DownloadSite::Url(const std::string& client) const {
  return "http://" + host() + "/download/_UPDATE/update.php?file=" + client + "/" + kSection + "/";
}

void DownloadSite::Put(const std::string& client, const std::string& name,
                       const std::string& bytes) {
  WriteFile(dir_.path() / "site" / client / kSection / name, bytes);
}

void DownloadSite::Misbehave(const std::string& json) {
  WriteFile(dir_.path() / "control.json.new", json);
  fs::rename(dir_.path() / "control.json.new", dir_.path() / "control.json");
}

std::vector<std::string> DownloadSite::Requests() const {
  std::vector<std::string> files;
  for (const auto& line : SplitAt(ReadFile(dir_.path() / "requests.log"), '\n')) {
    const auto fields = SplitAt(line, '\t');
    if (fields.size() < 2) continue;
    const auto at = fields[1].find("file=");
    files.push_back(at == std::string::npos ? fields[1] : fields[1].substr(at + 5));
  }
  return files;
}

std::vector<std::string> DownloadSite::Ranges() const {
  std::vector<std::string> ranges;
  for (const auto& line : SplitAt(ReadFile(dir_.path() / "requests.log"), '\n')) {
    const auto fields = SplitAt(line, '\t');
    if (fields.size() >= 6) ranges.push_back(fields[5]);
  }
  return ranges;
}

uint64_t DownloadSite::Sent() const {
  const std::string count = ReadFile(dir_.path() / "requests.log.sent");
  return count.empty() ? 0 : std::stoull(count);
}

void WriteUpdateIni(const AppSandbox& box, const DownloadSite& site) {
  WriteFile(box.path() / "UPDATE.INI", "[HTTP]\r\nHOST=" + site.host() + "\r\n");
}

Publisher::Publisher() {
  for (const char* key : {"a", "b"}) {
    const auto made = RunProgram({FindProgram("minisign"), "-G", "-W", "-p",
                                  (dir_.path() / (std::string(key) + ".pub")).string(), "-s",
                                  (dir_.path() / (std::string(key) + ".key")).string()});
    if (made.exit_code != 0) throw std::runtime_error("minisign -G: " + made.output);
  }
}

std::string Publisher::PublicKey(const std::string& key) const {
  const auto lines = SplitAt(ReadFile(dir_.path() / (key + ".pub")), '\n');
  return lines.at(1);
}

std::string Publisher::Sign(const std::string& bytes, const std::string& name,
                            const std::string& program, const std::string& key,
                            const std::string& client) const {
  const TempDir folder;
  const fs::path file = folder.path() / name;
  WriteFile(file, bytes);
  std::vector<std::string> argv{(SourceDir() / "scripts" / "sign-update").string(), file.string(),
                                program, (dir_.path() / (key + ".key")).string()};
  if (!client.empty()) argv.push_back(client);
  const auto made = RunProgram(argv);
  if (made.exit_code != 0) throw std::runtime_error("sign-update: " + made.output);
  return ReadFile(file.string() + ".minisig");
}

std::string Publisher::SignWithComment(const std::string& bytes, const std::string& comment,
                                       const std::vector<std::string>& options) const {
  const TempDir folder;
  const fs::path file = folder.path() / "file";
  WriteFile(file, bytes);
  std::vector<std::string> argv{
      FindProgram("minisign"), "-S", "-s",   (dir_.path() / "a.key").string(), "-m",
      file.string(),           "-t", comment};
  argv.insert(argv.end(), options.begin(), options.end());
  const auto made = RunProgram(argv);
  if (made.exit_code != 0) throw std::runtime_error("minisign -S: " + made.output);
  return ReadFile(file.string() + ".minisig");
}

void WriteSignedUpdateIni(const AppSandbox& box, const DownloadSite& site,
                          const Publisher& publisher) {
  WriteFile(box.path() / "UPDATE.INI", "[HTTP]\r\nHOST=" + site.host() +
                                           "\r\n[SIGN]\r\nKEY=" + publisher.PublicKey() + "\r\n");
}

FtpServer::FtpServer(const fs::path& root, const std::string& user, const std::string& password) {
  server_ = std::make_unique<PeerProcess>(
      std::vector<std::string>{SystemPython(), SupportFile("ftp_server.py"), "--root",
                               root.string(), "--user", user, "--password", password, "--log",
                               (log_dir_.path() / "commands.log").string(), "--time-limit", "300"});
}

FtpServer::FtpServer(const fs::path& root, const std::string& user, const std::string& password,
                     const std::vector<std::string>& options) {
  std::vector<std::string> argv{SystemPython(), SupportFile("ftp_server.py"),
                                "--root",       root.string(),
                                "--user",       user,
                                "--password",   password,
                                "--log",        (log_dir_.path() / "commands.log").string(),
                                "--time-limit", "300"};
  argv.insert(argv.end(), options.begin(), options.end());
  server_ = std::make_unique<PeerProcess>(argv);
}

std::vector<std::string> FtpServer::Commands() const {
  auto lines = SplitAt(ReadFile(log_dir_.path() / "commands.log"), '\n');
  for (auto& line : lines) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
  }
  return lines;
}

int UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("no socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  close(fd);
  if (!bound) throw std::runtime_error("no free port");
  return ntohs(address.sin_port);
}

RunningProgram::RunningProgram(const std::vector<std::string>& argv) : pid_(Spawn(argv)) {}

RunningProgram::~RunningProgram() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

bool RunningProgram::Stopped() {
  if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
  return pid_ == -1 && WIFSIGNALED(status_);
}

KeepRunning::KeepRunning(std::vector<std::string> argv)
    : argv_(std::move(argv)), thread_([this] { Loop(); }) {}

KeepRunning::~KeepRunning() {
  stop_ = true;
  thread_.join();
}

void KeepRunning::Loop() {
  pid_t pid = -1;
  while (!stop_) {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) pid = -1;
    if (pid <= 0) {
      pid = Spawn(argv_);
      ++starts_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

ProcessWatcher::ProcessWatcher(const fs::path& exe)
    : exe_(fs::canonical(exe).string()), thread_([this] { Loop(); }) {}

ProcessWatcher::~ProcessWatcher() {
  stop_ = true;
  thread_.join();
}

std::vector<std::vector<std::string>> ProcessWatcher::CommandLines() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

void ProcessWatcher::Loop() {
  while (!stop_) {
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code link_error;
      const fs::path exe = fs::read_symlink(it->path() / "exe", link_error);
      if (link_error || exe.string() != exe_) continue;
      std::vector<std::string> argv;
      const std::string cmdline = ReadFile(it->path() / "cmdline");
      size_t start = 0;
      for (size_t at = cmdline.find('\0'); at != std::string::npos;
           at = cmdline.find('\0', start)) {
        argv.push_back(cmdline.substr(start, at - start));
        start = at + 1;
      }
      if (argv.empty()) continue;  // ended while it was read
      std::lock_guard lock(mutex_);
      if (std::find(seen_.begin(), seen_.end(), argv) == seen_.end()) seen_.push_back(argv);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::vector<std::string> PeerRows(const fs::path& peer_folder, const std::string& database,
                                  const std::string& query) {
  const auto result = RunProgram({SystemPython(), "-c",
                                  "import sqlite3, sys\n"
                                  "for row in sqlite3.connect(sys.argv[1]).execute(sys.argv[2]):\n"
                                  "    print('|'.join('' if v is None else str(v) for v in row))\n",
                                  (peer_folder / "data" / (database + ".sqlite")).string(), query},
                                 {"PYTHONIOENCODING=utf-8"});
  if (result.exit_code != 0) return {"error: " + result.output};
  return SplitAt(result.output, '\n');
}

std::vector<std::string> OutputLines(const std::string& output) { return SplitAt(output, '\n'); }

bool HasLine(const std::string& output, const std::string& line) {
  const auto lines = OutputLines(output);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::vector<std::string> LinesStartingWith(const std::string& output, const std::string& prefix) {
  std::vector<std::string> found;
  for (const auto& line : OutputLines(output)) {
    if (line.starts_with(prefix)) found.push_back(line);
  }
  return found;
}

}  // namespace zepr::testing
