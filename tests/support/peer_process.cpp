#include "support/peer_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "support/sandbox.h"

extern char** environ;

namespace zepr::testing {

PeerProcess::PeerProcess(std::vector<std::string> argv, int timeout_ms) {
  int in_pipe[2];
  int out_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_addclose(&actions, in_pipe[1]);
  posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in_pipe[0]);
  close(out_pipe[1]);
  stdin_fd_ = in_pipe[1];
  stdout_fd_ = out_pipe[0];
  fcntl(stdin_fd_, F_SETFD, FD_CLOEXEC);
  fcntl(stdout_fd_, F_SETFD, FD_CLOEXEC);
  if (rc != 0) {
    pid_ = -1;
    Stop();
    throw std::runtime_error("cannot start " + argv[0]);
  }
  std::string seen;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{stdout_fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c;
    ssize_t n = read(stdout_fd_, &c, 1);
    if (n <= 0) break;
    if (c != '\n') {
      seen += c;
      continue;
    }
    if (seen.rfind("LISTENING ", 0) == 0) {
      port_ = std::stoi(seen.substr(10));
      return;
    }
    seen.clear();
  }
  Stop();
  throw std::runtime_error("peer " + argv[0] + " did not start: " + seen);
}

PeerProcess::~PeerProcess() { Stop(); }

void PeerProcess::Stop() {
  if (stdin_fd_ >= 0) close(stdin_fd_);
  stdin_fd_ = -1;
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    for (int i = 0; i < 50; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      usleep(20000);
    }
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_ = -1;
  if (stdout_fd_ >= 0) close(stdout_fd_);
  stdout_fd_ = -1;
}

std::string SystemPython() { return "/usr/bin/python3"; }

std::string SupportFile(const std::string& name) {
  return (SourceDir() / "tests" / "support" / name).string();
}

}  // namespace zepr::testing
