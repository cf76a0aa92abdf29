#pragma once

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

}  // namespace zepr
