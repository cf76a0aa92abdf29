#pragma once

#include <string>
#include <string_view>

namespace zepr {

// CP1250 bytes as UTF-8 text and back without losing a byte: the five bytes CP1250 leaves
// undefined travel as the C1 characters of the same number (U+0081, U+0083, ...), so text
// that holds them converts back to exactly the same bytes. Text that CP1250 cannot hold
// becomes '?'.
std::string Cp1250BytesToText(std::string_view bytes);
std::string TextToCp1250Bytes(std::string_view text);

}  // namespace zepr
