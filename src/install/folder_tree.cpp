#include "install/folder_tree.h"

#include <algorithm>

#include "core/path_text.h"
#include "install/wildcard.h"
#include "platform/files.h"

namespace zepr {
namespace {

std::error_code Collect(const std::string& mask, const std::string& folder,
                        std::vector<std::string>& out) {
  std::string prefix = folder;
  while (!prefix.empty() && (prefix.back() == '/' || prefix.back() == '\\')) prefix.pop_back();
  prefix += '/';

  std::vector<platform::FolderEntry> entries;
  if (auto error = platform::ListFolder(prefix, entries)) return error;
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return PathFromUtf8(a.name) < PathFromUtf8(b.name);
  });

  for (const auto& entry : entries) {
    if (!entry.name.ends_with('.') && MatchesMask(entry.name, mask))
      out.push_back(prefix + entry.name);
    if (entry.kind == platform::FolderEntry::Kind::kFolder) {
      out.push_back(prefix + entry.name + "/");
      if (auto error = Collect(mask, prefix + entry.name, out)) return error;
    }
  }
  return {};
}

}  // namespace

std::vector<std::string> CollectFolderTree(const std::string& mask, const std::string& folder,
                                           std::error_code* error) {
  std::vector<std::string> out;
  std::error_code ec = Collect(mask, folder, out);
  if (ec == std::errc::no_such_file_or_directory && out.empty()) ec.clear();
  if (error != nullptr) *error = ec;
  return out;
}

bool DeleteFolderSilently(const std::string& path) {
  std::error_code ec;
  platform::KindOf(path, ec);
  if (ec) return false;
  return !platform::RemoveTree(path);
}

}  // namespace zepr
