#pragma once

// A file system of a few hundred kilobytes of its own, so that a test can fill it: a tmpfs
// mounted over an empty folder for the test's lifetime. Mounting needs root (CI runs as root);
// elsewhere a test skips with the reason.
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

namespace zepr::testing {

class SmallDisk {
 public:
  // options as for mount -o, e.g. "size=256k" or "nr_inodes=12".
  SmallDisk(const std::filesystem::path& folder, const std::string& options) : folder_(folder) {
    std::filesystem::create_directories(folder);
    if (mount("tmpfs", folder.c_str(), "tmpfs", 0, ("mode=0755," + options).c_str()) != 0) {
      why_not_ = "cannot mount a tmpfs on " + folder.string() + ": " +
                 std::generic_category().message(errno);
    }
  }
  // Detached even when a program still has a file open there, so the folder can go.
  ~SmallDisk() {
    if (why_not_.empty()) umount2(folder_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  // Empty when mounted.
  const std::string& why_not() const { return why_not_; }
  // Free blocks and inodes: back to what they were once everything written is freed again.
  std::string Free() const {
    struct statvfs st {};
    if (statvfs(folder_.c_str(), &st) != 0) return "?";
    return std::to_string(uint64_t{st.f_bfree} * st.f_frsize) + " bytes, " +
           std::to_string(st.f_ffree) + " inodes";
  }
  // Bytes that may still be written.
  uint64_t FreeBytes() const {
    struct statvfs st {};
    return statvfs(folder_.c_str(), &st) == 0 ? uint64_t{st.f_bavail} * st.f_frsize : 0;
  }

 private:
  std::filesystem::path folder_;
  std::string why_not_;
};

}  // namespace zepr::testing
