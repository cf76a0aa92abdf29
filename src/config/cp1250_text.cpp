#include "config/cp1250_text.h"

#include "core/encoding.h"

namespace zepr {
namespace {

bool IsUndefinedCp1250(unsigned char b) {
  return b == 0x81 || b == 0x83 || b == 0x88 || b == 0x90 || b == 0x98;
}

}  // namespace

std::string Cp1250BytesToText(std::string_view bytes) {
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

std::string TextToCp1250Bytes(std::string_view text) {
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

}  // namespace zepr
