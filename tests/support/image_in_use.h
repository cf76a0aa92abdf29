#pragma once

#include <cstddef>
#include <filesystem>

namespace zepr::testing {

// Maps an executable file as the system maps a running program or a loaded library, for as
// long as it lives. Windows then lets the file be renamed but not removed; Linux lets both.
class ImageInUse {
 public:
  explicit ImageInUse(const std::filesystem::path& path);
  ~ImageInUse();
  ImageInUse(const ImageInUse&) = delete;
  ImageInUse& operator=(const ImageInUse&) = delete;
  // False when the system would not map the file.
  bool mapped() const { return view_ != nullptr; }

 private:
  void* view_ = nullptr;
  void* section_ = nullptr;  // Windows
  size_t size_ = 0;          // POSIX
};

// The file of the running test program: an image the system maps.
std::filesystem::path OwnExecutable();

}  // namespace zepr::testing
