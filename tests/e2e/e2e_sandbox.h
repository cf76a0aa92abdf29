#pragma once

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "integration/install/zip_writer.h"
#include "support/peer_process.h"
#include "support/sandbox.h"

namespace zepr::testing {

inline constexpr const char* kTitle = "Demo aplikacija";  // a blank: one parameter all the same
inline constexpr const char* kSection = "DEMO";
inline constexpr const char* kClient = "KLIJENT";

// Which build's updater and application stand-in a test runs: the Linux programs, or the
// Windows ones under Wine.
enum class Build { kLinux, kWindows };

// Why the Windows programs cannot be run here (no Windows build was named, or no Wine); empty
// when they can. Prepares this test process's environment for Wine first (the build's prefix,
// no debug output), so that every program the test starts under Wine shares one prefix.
std::string WindowsRunsUnavailable();

// The command that starts a program of the given build: under Wine for the Windows one.
std::vector<std::string> Launch(Build build, const std::filesystem::path& program,
                                std::vector<std::string> args = {});

// An application folder with the real updater and the application stand-in. The application
// has a name of its own in every test: programs are found and stopped by name across the
// whole machine, and tests run side by side.
class AppSandbox {
 public:
  explicit AppSandbox(Build build = Build::kLinux);

  // Without links, as the updater finds its own folder.
  const std::filesystem::path& path() const { return path_; }
  std::string folder() const { return path_.string() + "/"; }
  // AppExeName: without ".exe".
  const std::string& app() const { return app_; }
  std::filesystem::path updater() const { return path() / "ZEPRUpdate.exe"; }
  std::filesystem::path app_exe() const { return path() / (app_ + ".exe"); }

  // The updater without a display (the headless view), started in the application folder with
  // parameters 1 to 5 (title, section, application, client, type) followed by the given ones.
  ProcessResult Run(const std::string& client, const std::string& type,
                    const std::vector<std::string>& more = {}) const;
  // As Run, with the Linux updater killed (SIGKILL) at one of its file calls: the n-th call of
  // a kind on watch (a path relative to the folder) or below it. at is
  // "<call>:<n>[:before|after]", as tests/support/crash_shim.c reads it.
  ProcessResult RunKilledAt(const std::string& watch, const std::string& at,
                            const std::string& client, const std::string& type,
                            const std::vector<std::string>& more = {}) const;
  // As Run, with the Linux updater's file calls on the folder or below it appended to log, one
  // line each, as tests/support/crash_shim.c writes them.
  ProcessResult RunLogged(const std::filesystem::path& log, const std::string& client,
                          const std::string& type, const std::vector<std::string>& more = {}) const;
  // Each start of the application: its arguments joined by tabs, one entry per start.
  std::vector<std::string> Starts() const;
  // The starts once there are this many (the application starts after the updater ends), or
  // what there is after five seconds.
  std::vector<std::string> AwaitStarts(size_t count) const;

 private:
  Build build_;
  TempDir dir_;
  std::filesystem::path path_;
  std::string app_;
};

// The run logs in the application folder, oldest first.
std::vector<std::string> RunLogs(const AppSandbox& box);

// An archive entry holding the application stand-in, executable as unpacked.
ZipEntry AppEntry(const std::string& name, Build build = Build::kLinux);

// The HTTP download endpoint over a site folder of its own, logging every request.
class DownloadSite {
 public:
  DownloadSite();

  // [HTTP] HOST for UPDATE.INI.
  std::string host() const { return "127.0.0.1:" + std::to_string(endpoint_->port()); }
  // The URL prefix the updater composes for a client folder.
  std::string Url(const std::string& client) const;
  // Serves bytes as CLIENT/DEMO/NAME.
  void Put(const std::string& client, const std::string& name, const std::string& bytes);
  // The endpoint's misbehaviour (JSON object of NAME -> rule), read at every request.
  void Misbehave(const std::string& json);
  // The file= value of every request, in order.
  std::vector<std::string> Requests() const;
  // The Range header of every request ("-" for none), in order.
  std::vector<std::string> Ranges() const;
  // The body bytes the endpoint has sent so far.
  uint64_t Sent() const;

 private:
  TempDir dir_;
  std::unique_ptr<PeerProcess> endpoint_;
};

// UPDATE.INI of the application folder naming the endpoint as the download host.
void WriteUpdateIni(const AppSandbox& box, const DownloadSite& site);

// A publisher of signed updates with throwaway minisign keys "a" and "b", made at construction
// by Debian's minisign; signatures are made as a publisher makes them.
class Publisher {
 public:
  Publisher();
  // The base64 key line of a key's minisign.pub, as [SIGN] KEY of UPDATE.INI takes it.
  std::string PublicKey(const std::string& key = "a") const;
  // The NAME.minisig of bytes published as name for program, by scripts/sign-update; bound to
  // the client folder when one is given.
  std::string Sign(const std::string& bytes, const std::string& name,
                   const std::string& program = kSection, const std::string& key = "a",
                   const std::string& client = "") const;
  // By minisign itself with this trusted comment and further options (-l for the legacy form).
  std::string SignWithComment(const std::string& bytes, const std::string& comment,
                              const std::vector<std::string>& options = {}) const;

 private:
  TempDir dir_;
};

// UPDATE.INI naming the endpoint as the download host and trusting the publisher's key "a".
void WriteSignedUpdateIni(const AppSandbox& box, const DownloadSite& site,
                          const Publisher& publisher);

// The option table of a working database, as the TDS peer creates it.
inline constexpr const char* kOptionsTable =
    "CREATE TABLE OpcijeAplikacije (SEKCIJA varchar(50), Kljuc varchar(50), "
    "Vrijednost varchar(255), KOMENTAR varchar(255))";

// pyftpdlib serving a folder to one user; every command is logged as sent.
class FtpServer {
 public:
  FtpServer(const std::filesystem::path& root, const std::string& user,
            const std::string& password);
  // With the server's fault options (tests/support/ftp_server.py).
  FtpServer(const std::filesystem::path& root, const std::string& user, const std::string& password,
            const std::vector<std::string>& options);
  int port() const { return server_->port(); }
  std::vector<std::string> Commands() const;

 private:
  TempDir log_dir_;
  std::unique_ptr<PeerProcess> server_;
};

// A loopback port that nothing listens on (it was free a moment ago).
int UnusedPort();

// A program started by the test without waiting; killed when still running at the end.
class RunningProgram {
 public:
  explicit RunningProgram(const std::vector<std::string>& argv);
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;
  // True once the program has been ended by a signal (stopped by someone else).
  bool Stopped();

 private:
  pid_t pid_ = -1;
  int status_ = 0;
};

// Keeps the application running the way another launcher would: whenever it ends, it is
// started again at once, with the given arguments.
class KeepRunning {
 public:
  explicit KeepRunning(std::vector<std::string> argv);
  ~KeepRunning();
  // How many times it was started.
  int starts() const { return starts_; }

 private:
  void Loop();
  std::vector<std::string> argv_;
  std::atomic<bool> stop_{false};
  std::atomic<int> starts_{0};
  std::thread thread_;
};

// Records the command line of every process that runs one executable file, as it appears.
class ProcessWatcher {
 public:
  explicit ProcessWatcher(const std::filesystem::path& exe);
  ~ProcessWatcher();
  // Distinct command lines (argv, the program path first), in the order first seen.
  std::vector<std::vector<std::string>> CommandLines() const;

 private:
  void Loop();
  std::string exe_;
  mutable std::mutex mutex_;
  std::vector<std::vector<std::string>> seen_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Rows of a query on one database of the TDS peer (its SQLite file), each row's columns
// joined by "|".
std::vector<std::string> PeerRows(const std::filesystem::path& peer_folder,
                                  const std::string& database, const std::string& query);

// The headless output split into its lines.
std::vector<std::string> OutputLines(const std::string& output);
// True when one whole line of the output equals line.
bool HasLine(const std::string& output, const std::string& line);
// The lines that begin with prefix.
std::vector<std::string> LinesStartingWith(const std::string& output, const std::string& prefix);

}  // namespace zepr::testing
