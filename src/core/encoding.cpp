#include "core/encoding.h"

namespace zepr {

Utf8Char DecodeUtf8(std::string_view text) {
  if (text.empty()) return {};
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {lead, 1, true};
  const size_t length = (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
  if (length == 0 || length > text.size()) return {};
  char32_t c = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return {};
    c = (c << 6) | (byte(i) & 0x3F);
  }
  constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool shortest = c >= kLeast[length] && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
  return {c, length, shortest};
}

size_t ValidUtf8Length(std::string_view text) {
  const Utf8Char c = DecodeUtf8(text);
  return c.length == 2 && c.code_point < 0x80 ? 0 : c.length;
}

bool IsValidUtf8(std::string_view s) {
  for (size_t n = 0; !s.empty(); s.remove_prefix(n)) {
    if ((n = ValidUtf8Length(s)) == 0) return false;
  }
  return true;
}

std::string ArgumentToUtf8(std::string_view arg) {
  return IsValidUtf8(arg) ? std::string(arg) : Cp1250ToUtf8(arg);
}

}  // namespace zepr
