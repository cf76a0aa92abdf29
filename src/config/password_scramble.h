#pragma once

#include <cstdint>
#include <string>

namespace zepr {

// The key of the support staff's scrambling tool; always the same.
inline constexpr uint16_t kScrambleStart = 0x2B7E;
inline constexpr uint16_t kScrambleMultiplier = 0x6F4D;  // odd
inline constexpr uint16_t kScrambleIncrement = 0x3A91;

// Scrambles bytes with a 16-bit state that advances with every output byte; the result has as
// many bytes as the input and may hold any byte value, zero included.
std::string ScramblePassword(const std::string& bytes, uint16_t start);

// The text of the hidden password box after a double-click: its current text (UTF-8) taken as
// CP1250 bytes, scrambled with the fixed key and framed by slashes, back as UTF-8. Bytes that
// CP1250 leaves undefined travel as the characters U+0081, U+0083, ..., so a further
// double-click scrambles exactly the bytes shown. A zero byte stays in the result; a box that
// shows text up to its first zero cuts it there.
std::string ePassDblClickText(const std::string& current);

}  // namespace zepr
