#include "core/encoding.h"

namespace zepr {

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    if (n == 2 && c < 0xC2) return false;
    i += n;
  }
  return true;
}

std::string ArgumentToUtf8(std::string_view arg) {
  return IsValidUtf8(arg) ? std::string(arg) : Cp1250ToUtf8(arg);
}

}  // namespace zepr
