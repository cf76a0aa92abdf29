#include "core/base64.h"

#include <algorithm>
#include <cstdint>

namespace zepr {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k) {
      group = (group << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (size_t k = 0; k < 4; ++k) {
      text += k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
  }
  return text;
}

std::optional<std::string> Base64Decode(std::string_view text) {
  std::string bytes;
  uint32_t group = 0;
  int count = 0;    // symbols in the current group
  int padding = 0;  // '=' in the current group; only more of them may follow
  bool ended = false;
  for (char c : text) {
    if (IsBlank(c)) continue;
    if (ended) return std::nullopt;
    uint32_t value = 0;
    if (c == '=') {
      if (count < 2) return std::nullopt;
      ++padding;
    } else {
      const char* found = std::char_traits<char>::find(kAlphabet, 64, c);
      if (found == nullptr || padding > 0) return std::nullopt;
      value = static_cast<uint32_t>(found - kAlphabet);
    }
    group = (group << 6) | value;
    if (++count < 4) continue;
    for (int k = 0; k < 3 - padding; ++k) {
      bytes += static_cast<char>((group >> (16 - 8 * k)) & 0xFF);
    }
    ended = padding > 0;
    group = 0;
    count = 0;
    padding = 0;
  }
  if (count != 0) return std::nullopt;
  return bytes;
}

std::optional<std::string> Base64DecodeCanonical(std::string_view text) {
  auto bytes = Base64Decode(text);
  if (!bytes || Base64Encode(*bytes) != text) return std::nullopt;
  return bytes;
}

}  // namespace zepr
