#include "config/password_scramble.h"

#include <string_view>

#include "config/cp1250_text.h"

namespace zepr {
namespace {

static_assert(kScrambleMultiplier % 2 == 1, "an odd multiplier keeps the state map one-to-one");

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
  return Cp1250BytesToText("/" + ScramblePassword(TextToCp1250Bytes(current), kScrambleStart) +
                           "/");
}

}  // namespace zepr
