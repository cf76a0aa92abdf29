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

bool IsValidUtf8(std::string_view text);

// Command-line parameters are UTF-8; one that is not valid UTF-8 is taken as CP1250.
std::string ArgumentToUtf8(std::string_view arg);

}  // namespace zepr
