#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"

extern char** environ;

namespace zepr::platform {
namespace {

// The second field of every non-comment line of a mount table.
std::vector<std::string> MountPoints(const char* table) {
  std::vector<std::string> points;
  std::ifstream in(table);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string device, point;
    if (!(fields >> device >> point) || device.empty() || device[0] == '#') continue;
    points.push_back(point);
  }
  return points;
}

bool Contains(const std::vector<std::string>& list, const std::string& value) {
  for (const auto& item : list) {
    if (item == value) return true;
  }
  return false;
}

}  // namespace

// A network folder on Linux is a mount point listed in fstab; mounting it lets the system
// ask for credentials where the mount needs them. Anything else is left alone.
void ConnectShare(const std::string& folder) {
  if (folder.empty() || !Contains(MountPoints("/etc/fstab"), folder)) return;
  if (Contains(MountPoints("/proc/self/mounts"), folder)) return;
  std::vector<std::string> args{"mount", folder};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, "mount", nullptr, nullptr, argv.data(), environ) == 0) {
    waitpid(pid, nullptr, 0);
  }
}

}  // namespace zepr::platform
