#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zepr {

// Programs started without waiting; reaped when they end so no zombie stays behind.
class DetachedChildren {
 public:
  DetachedChildren() = default;
  ~DetachedChildren() { Reap(); }
  DetachedChildren(const DetachedChildren&) = delete;
  DetachedChildren& operator=(const DetachedChildren&) = delete;

  // Opens the file with the desktop's program for it (xdg-open), in the file's folder;
  // no shell is involved, so any character in the path is safe. False when it could not start.
  bool OpenWithDesktop(const std::string& path);
  // Collects those that have ended; never blocks.
  void Reap();
  size_t Running() const { return pids_.size(); }

 private:
  std::vector<pid_t> pids_;
};

}  // namespace zepr
