#include <X11/Xlib.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "platform/platform.h"

namespace zepr::platform {

std::string ExecutableFolder() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  std::string folder = ec ? std::filesystem::current_path().string() : exe.parent_path().string();
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

bool DisplayAvailable() {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  XCloseDisplay(display);
  return true;
}

void IgnoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

}  // namespace zepr::platform
