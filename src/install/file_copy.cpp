#include "install/file_copy.h"

#include <filesystem>

#include "core/path_text.h"
#include "platform/files.h"
#include "platform/process.h"

namespace zepr {

namespace fs = std::filesystem;

std::string TemporaryBeside(const std::string& target) {
  const fs::path target_path = PathFromUtf8(target);
  return Utf8FromPath(target_path.parent_path() /
                      PathFromUtf8("." + Utf8FromPath(target_path.filename()) + ".part" +
                                   std::to_string(platform::CurrentProcessId())));
}

bool CopyFileReplacing(const std::string& source, const std::string& target, bool owner_writable,
                       std::error_code* error) {
  const std::string temporary = TemporaryBeside(target);
  platform::RemoveFile(temporary);
  std::error_code ec = platform::CopyFileAs(source, temporary, target, owner_writable);
  if (!ec) {
    ec = platform::Rename(temporary, target);
    if (ec) platform::RemoveFile(temporary);
  }
  if (error != nullptr) *error = ec;
  return !ec;
}

}  // namespace zepr
