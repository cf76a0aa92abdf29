#include "config/password_scramble.h"

#include <string_view>

#include "core/encoding.h"

namespace zepr {
namespace {

static_assert(kScrambleMultiplier % 2 == 1, "an odd multiplier keeps the state map one-to-one");

// The five bytes CP1250 leaves undefined; they are carried as the C1 characters of the same
// number so that scrambled text survives the trip through the UTF-8 box.
bool IsUndefinedCp1250(unsigned char b) {
  return b == 0x81 || b == 0x83 || b == 0x88 || b == 0x90 || b == 0x98;
}

std::string BytesToText(const std::string& bytes) {
  std::string text;
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    if (IsUndefinedCp1250(b)) {
      text += static_cast<char>(0xC2);
      text += c;
    } else {
      text += Cp1250ToUtf8(std::string_view(&c, 1));
    }
  }
  return text;
}

std::string TextToBytes(const std::string& text) {
  std::string bytes;
  for (size_t pos = 0; pos < text.size();) {
    auto lead = static_cast<unsigned char>(text[pos]);
    size_t len = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : 4;
    if (pos + len > text.size()) len = text.size() - pos;
    std::string_view ch(text.data() + pos, len);
    if (len == 2 && lead == 0xC2 && IsUndefinedCp1250(static_cast<unsigned char>(ch[1]))) {
      bytes += ch[1];
    } else {
      bytes += Utf8ToCp1250(ch);
    }
    pos += len;
  }
  return bytes;
}

}  // namespace

std::string ScramblePassword(const std::string& bytes, uint16_t start) {
  uint16_t state = start;
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    auto o = static_cast<unsigned char>(b ^ (state >> 8));
    out += static_cast<char>(o);
    state = static_cast<uint16_t>((uint32_t{state} + o) * kScrambleMultiplier + kScrambleIncrement);
  }
  return out;
}

std::string ePassDblClickText(const std::string& current) {
  return BytesToText("/" + ScramblePassword(TextToBytes(current), kScrambleStart) + "/");
}

}  // namespace zepr
