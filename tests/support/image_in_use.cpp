#include "support/image_in_use.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zepr::testing {

#ifdef _WIN32

ImageInUse::ImageInUse(const std::filesystem::path& path) {
  // Shared as the loader shares a program's file: others may read and rename it.
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ | GENERIC_EXECUTE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  section_ = CreateFileMappingW(file, nullptr, PAGE_EXECUTE_READ | SEC_IMAGE, 0, 0, nullptr);
  CloseHandle(file);
  if (section_ != nullptr)
    view_ = MapViewOfFile(section_, FILE_MAP_READ | FILE_MAP_EXECUTE, 0, 0, 0);
}

ImageInUse::~ImageInUse() {
  if (view_ != nullptr) UnmapViewOfFile(view_);
  if (section_ != nullptr) CloseHandle(section_);
}

std::filesystem::path OwnExecutable() {
  wchar_t name[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, name, MAX_PATH * 4);
  return std::filesystem::path(std::wstring(name, length));
}

#else

ImageInUse::ImageInUse(const std::filesystem::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  if (fstat(fd, &st) == 0 && st.st_size > 0) {
    size_ = static_cast<size_t>(st.st_size);
    void* view = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (view != MAP_FAILED) view_ = view;
  }
  close(fd);
}

ImageInUse::~ImageInUse() {
  if (view_ != nullptr) munmap(view_, size_);
}

std::filesystem::path OwnExecutable() { return std::filesystem::read_symlink("/proc/self/exe"); }

#endif

}  // namespace zepr::testing
