#include "app/fltk/desktop_open.h"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>

extern char** environ;

namespace zepr {

bool DetachedChildren::OpenWithDesktop(const std::string& path) {
  Reap();
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  const std::string folder = std::filesystem::path(path).parent_path().string();
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  std::string program = "xdg-open";
  std::string argument = path;
  char* argv[] = {program.data(), argument.data(), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  pids_.push_back(pid);
  return true;
}

void DetachedChildren::Reap() {
  std::erase_if(pids_, [](pid_t pid) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    return r == pid || r < 0;
  });
}

}  // namespace zepr
