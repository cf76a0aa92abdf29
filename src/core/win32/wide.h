#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace zepr {

// The system's own conversions between a code page and UTF-16, which every Windows back end
// uses at its boundary. Into a code page other than UTF-8 there is no best fit: a character the
// page lacks becomes '?', not a look-alike.
std::wstring CodePageToWide(std::string_view bytes, UINT code_page);
std::string WideToCodePage(std::wstring_view wide, UINT code_page);

// UTF-8 inside the program, UTF-16 at the system's boundary. A broken sequence becomes U+FFFD.
inline std::wstring Utf8ToWide(std::string_view text) { return CodePageToWide(text, CP_UTF8); }
inline std::string WideToUtf8(std::wstring_view wide) { return WideToCodePage(wide, CP_UTF8); }

}  // namespace zepr
