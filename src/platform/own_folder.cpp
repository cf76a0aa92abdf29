#include "platform/files.h"

namespace zepr::platform {

std::error_code OwnFolder(const std::string& path, bool create) {
  std::error_code error;
  FolderEntry::Kind kind = KindOf(path, error);
  if (!error && kind == FolderEntry::Kind::kLink) {
    // Planted or left by someone: following it would let us write or sweep another folder.
    if (const std::error_code removed = RemoveFile(path)) return removed;
    kind = KindOf(path, error);
  }
  if (error && create) {
    const std::error_code made = CreatePrivateFolder(path);
    // Another process may have made it meanwhile: what is there now decides.
    kind = KindOf(path, error);
    if (error) return made ? made : error;
  }
  if (error) return error;
  // A file of somebody else's at our name is theirs to keep.
  if (kind != FolderEntry::Kind::kFolder) return std::make_error_code(std::errc::not_a_directory);
  return {};
}

}  // namespace zepr::platform
