#pragma once

#include <string>
#include <string_view>

namespace zepr {

// The system's files are Windows-1250; ZIP names without the UTF-8 flag are CP852.
// Inside the program all text is UTF-8. Conversions never fail: a byte or character that
// the target cannot hold becomes '?'.
std::string Cp1250ToUtf8(std::string_view bytes);
std::string Utf8ToCp1250(std::string_view text);
std::string Cp852ToUtf8(std::string_view bytes);

// The character at the start of some UTF-8 text. length is 0 when the bytes there start none:
// a continuation byte, a lead byte F8..FF, a sequence cut short or broken. A sequence that has
// its bytes may still be an overlong form, a surrogate or past U+10FFFF: shortest says whether it
// is the one form Unicode allows.
struct Utf8Char {
  char32_t code_point = 0;
  size_t length = 0;
  bool shortest = false;
};
Utf8Char DecodeUtf8(std::string_view text);

// Whole sequences throughout, no two-byte overlong form (C0, C1). Longer overlong forms and
// surrogates pass, as the system's conversion always let them.
bool IsValidUtf8(std::string_view text);
// The length of the character at the start of text as IsValidUtf8 takes it, 0 when it is none.
size_t ValidUtf8Length(std::string_view text);

// Command-line parameters are UTF-8; one that is not valid UTF-8 is taken as CP1250.
std::string ArgumentToUtf8(std::string_view arg);

}  // namespace zepr
