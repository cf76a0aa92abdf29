#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zepr::testing {

// A test peer (HTTP endpoint, FTP server, TDS peer) in a child process. The peer listens on
// 127.0.0.1 on a port it picks and writes "LISTENING <port>" as its first line of output;
// it ends when its standard input closes (so it dies with the test) or after its own time
// limit. The destructor stops it.
class PeerProcess {
 public:
  // argv[0] is run as given (no shell). Waits up to timeout_ms for the LISTENING line and
  // throws std::runtime_error with the peer's output when it does not come.
  explicit PeerProcess(std::vector<std::string> argv, int timeout_ms = 15000);
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  // Stops the peer now (idempotent).
  void Stop();

 private:
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int port_ = 0;
};

// The Python interpreter that has Debian's packages (pyftpdlib among them).
std::string SystemPython();

// A file under tests/support of the source tree.
std::string SupportFile(const std::string& name);

}  // namespace zepr::testing
