#pragma once

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <string_view>

namespace zepr {

// Paths are UTF-8 text inside the program. A std::filesystem::path made from a plain string
// takes the system's narrow code page on Windows, so every conversion goes through these two.
inline std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(
      std::u8string_view(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

inline std::string Utf8FromPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// A path's form for comparing: normalised, "/" between the names, no trailing separator.
inline std::string NormalPath(const std::string& path) {
  // Nearly every path an install handles has that form already, and the path library's
  // normalisation costs more than copying a small file: names between single "/", none of
  // them "." or "..", at most one "/" at the end, and a drive ("C:") only as a name of its own
  // at the start pass as they are.
  std::string_view rest = path;
  if (rest.size() > 1 && rest.ends_with('/')) rest.remove_suffix(1);
  bool plain = !rest.empty() && rest.find('\\') == std::string_view::npos;
  for (size_t start = rest.starts_with('/') ? 1 : 0; plain && start <= rest.size();) {
    const size_t end = std::min(rest.find('/', start), rest.size());
    const std::string_view name = rest.substr(start, end - start);
    const bool drive = start == 0 && name.size() == 2 && name[1] == ':' &&
                       std::isalpha(static_cast<unsigned char>(name[0]));
    plain = !name.empty() && name != "." && name != ".." &&
            (drive || name.find(':') == std::string_view::npos);
    start = end + 1;
  }
  if (plain) return std::string(rest);
  std::u8string text = PathFromUtf8(path).lexically_normal().generic_u8string();
  while (text.size() > 1 && text.back() == u8'/') text.pop_back();
  return std::string(text.begin(), text.end());
}

// The folder that holds path ("." for a bare name); a folder's own path may end in a separator.
inline std::string ParentFolder(const std::string& path) {
  const std::string parent = Utf8FromPath(PathFromUtf8(NormalPath(path)).parent_path());
  return parent.empty() ? "." : parent;
}

// Whether path lies below folder (never folder itself), compared in their normal forms.
inline bool IsWithin(const std::string& path, const std::string& folder) {
  const std::string normal = NormalPath(path);
  const std::string root = NormalPath(folder);
  return normal.size() > root.size() && normal.starts_with(root) && normal[root.size()] == '/';
}

}  // namespace zepr
