#pragma once

#include <string>
#include <string_view>

namespace zepr {

// The ODBC wide functions take UTF-16 on every platform. Text that is not valid in the source
// form (a broken UTF-8 sequence, a lone surrogate) becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace zepr
