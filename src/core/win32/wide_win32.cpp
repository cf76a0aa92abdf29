#include "core/win32/wide.h"

namespace zepr {

std::wstring CodePageToWide(std::string_view bytes, UINT code_page) {
  if (bytes.empty()) return {};
  const int size = static_cast<int>(bytes.size());
  const int n = MultiByteToWideChar(code_page, 0, bytes.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(code_page, 0, bytes.data(), size, wide.data(), n);
  return wide;
}

std::string WideToCodePage(std::wstring_view wide, UINT code_page) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const DWORD flags = code_page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* fallback = code_page == CP_UTF8 ? nullptr : "?";
  const int n =
      WideCharToMultiByte(code_page, flags, wide.data(), size, nullptr, 0, fallback, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(code_page, flags, wide.data(), size, out.data(), n, fallback, nullptr);
  return out;
}

}  // namespace zepr
