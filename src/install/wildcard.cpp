#include "install/wildcard.h"

#include <optional>
#include <string>

namespace zepr {
namespace {

// Decodes UTF-8 into code points so that "?" takes one whole character; a byte that is not
// valid UTF-8 stands for itself.
std::u32string CodePoints(std::string_view text) {
  std::u32string out;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80           ? 1
                    : (lead >> 5) == 0x6  ? 2
                    : (lead >> 4) == 0xE  ? 3
                    : (lead >> 3) == 0x1E ? 4
                                          : 0;
    char32_t cp = length == 1   ? lead
                  : length == 2 ? lead & 0x1F
                  : length == 3 ? lead & 0x0F
                                : lead & 0x07;
    bool valid = length > 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (!valid) {
      out.push_back(lead);
      ++i;
    } else {
      out.push_back(cp);
      i += length;
    }
  }
  return out;
}

char32_t Fold(char32_t c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }

// Matches one character against the set that starts after "[" at mask[pos]; returns the
// position after "]", or nullopt when the set is not closed (then "[" is an ordinary
// character).
std::optional<size_t> MatchSet(const std::u32string& mask, size_t pos, char32_t c, bool& matched) {
  bool negate = false;
  if (pos < mask.size() && mask[pos] == '!') {
    negate = true;
    ++pos;
  }
  bool in_set = false;
  const char32_t folded = Fold(c);
  for (bool first = true; pos < mask.size(); first = false) {
    if (mask[pos] == ']' && !first) {
      matched = in_set != negate;
      return pos + 1;
    }
    char32_t low = Fold(mask[pos]);
    char32_t high = low;
    if (pos + 2 < mask.size() && mask[pos + 1] == '-' && mask[pos + 2] != ']') {
      high = Fold(mask[pos + 2]);
      pos += 3;
    } else {
      pos += 1;
    }
    if (low <= folded && folded <= high) in_set = true;
  }
  return std::nullopt;
}

}  // namespace

bool MatchesMask(std::string_view name_text, std::string_view mask_text) {
  const std::u32string name = CodePoints(name_text);
  const std::u32string mask = CodePoints(mask_text);
  // Iterative matching with one remembered "*": on a mismatch the last star takes one more
  // character.
  size_t n = 0, m = 0;
  std::optional<size_t> star_mask, star_name;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      star_mask = ++m;
      star_name = n;
      continue;
    }
    if (m < mask.size()) {
      if (mask[m] == '?') {
        ++m;
        ++n;
        continue;
      }
      if (mask[m] == '[') {
        bool matched = false;
        if (auto after = MatchSet(mask, m + 1, name[n], matched)) {
          if (matched) {
            m = *after;
            ++n;
            continue;
          }
        } else if (name[n] == '[') {
          ++m;
          ++n;
          continue;
        }
      } else if (Fold(mask[m]) == Fold(name[n])) {
        ++m;
        ++n;
        continue;
      }
    }
    if (!star_mask) return false;
    m = *star_mask;
    n = ++*star_name;
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

}  // namespace zepr
