#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "trust/file_blocks.h"

namespace zepr::trust {

namespace {

constexpr size_t kBlockBytes = 1 << 18;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

ReadOutcome ReadBlocks(const std::string& path,
                       const std::function<bool(const uint8_t*, size_t)>& consume,
                       std::string& error) {
  // Not blocking on open: a FIFO put in a file's place must not hold the run.
  const Descriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) {
    const int code = errno;
    error = std::strerror(code);
    return code == ENOENT ? ReadOutcome::kMissing : ReadOutcome::kFailed;
  }
  struct stat status {};
  if (fstat(fd.get(), &status) != 0) {
    error = std::strerror(errno);
    return ReadOutcome::kFailed;
  }
  if (!S_ISREG(status.st_mode)) {
    error = std::strerror(EINVAL);
    return ReadOutcome::kFailed;
  }
  std::vector<uint8_t> block(kBlockBytes);
  for (;;) {
    const ssize_t n = read(fd.get(), block.data(), block.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      error = std::strerror(errno);
      return ReadOutcome::kFailed;
    }
    if (n == 0 || !consume(block.data(), static_cast<size_t>(n))) return ReadOutcome::kDone;
  }
}

}  // namespace zepr::trust
