// Linux: libarchive unpacks, files keep Unix modes, and every name the archive gives can be
// held.
#include <sys/stat.h>

#include <cerrno>

#include "install/unzip_backend.h"

namespace zepr::unzip {

UnzipResult PlatformUnpack(const std::filesystem::path& archive,
                           const std::filesystem::path& staging) {
  return UnpackWithLibarchive(archive, staging);
}

bool NamePartAcceptedHere(std::string_view) { return true; }

std::error_code KeepUnpackedMode(const std::filesystem::path& path, uint32_t mode) {
  const mode_t mask = umask(0);
  umask(mask);
  if (chmod(path.c_str(), static_cast<mode_t>(mode) & ~mask) == 0) return {};
  return {errno, std::generic_category()};
}

std::error_code SetFolderTime(const std::filesystem::path& folder,
                              std::filesystem::file_time_type time) {
  std::error_code ec;
  std::filesystem::last_write_time(folder, time, ec);
  return ec;
}

}  // namespace zepr::unzip
