#include <windows.h>

#include <string>

#include "core/encoding.h"

namespace zepr {
namespace {

std::wstring ToWide(std::string_view in, UINT code_page) {
  if (in.empty()) return {};
  const int size = static_cast<int>(in.size());
  const int n = MultiByteToWideChar(code_page, 0, in.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(code_page, 0, in.data(), size, wide.data(), n);
  return wide;
}

std::string FromWide(const std::wstring& wide, UINT code_page) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  // No best fit: a character the code page lacks becomes '?', not a look-alike.
  const DWORD flags = code_page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* fallback = code_page == CP_UTF8 ? nullptr : "?";
  const int n =
      WideCharToMultiByte(code_page, flags, wide.data(), size, nullptr, 0, fallback, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(code_page, flags, wide.data(), size, out.data(), n, fallback, nullptr);
  return out;
}

// UTF-8 as the other back end reads it: a byte that starts no whole character is one '?'.
std::wstring Utf8ToWide(std::string_view in) {
  std::wstring wide;
  size_t run = 0;  // start of the valid bytes not yet converted
  size_t at = 0;
  while (at < in.size()) {
    const unsigned char c = static_cast<unsigned char>(in[at]);
    const size_t n = c < 0x80    ? 1
                     : c >= 0xF8 ? 1
                     : c >= 0xF0 ? 4
                     : c >= 0xE0 ? 3
                     : c >= 0xC0 ? 2
                                 : 1;
    if (n <= in.size() - at && IsValidUtf8(in.substr(at, n))) {
      at += n;
      continue;
    }
    wide += ToWide(in.substr(run, at - run), CP_UTF8);
    wide += L'?';
    run = ++at;
  }
  return wide + ToWide(in.substr(run), CP_UTF8);
}

std::string Convert(std::string_view in, UINT to, UINT from) {
  return FromWide(from == CP_UTF8 ? Utf8ToWide(in) : ToWide(in, from), to);
}

}  // namespace

std::string Cp1250ToUtf8(std::string_view bytes) { return Convert(bytes, CP_UTF8, 1250); }
std::string Utf8ToCp1250(std::string_view text) { return Convert(text, 1250, CP_UTF8); }
std::string Cp852ToUtf8(std::string_view bytes) { return Convert(bytes, CP_UTF8, 852); }

}  // namespace zepr
