#include <windows.h>

#include <string>

#include "core/encoding.h"
#include "core/win32/wide.h"

namespace zepr {
namespace {

// UTF-8 as the other back end reads it: a byte that starts no whole character is one '?'.
std::wstring LenientUtf8ToWide(std::string_view in) {
  std::wstring wide;
  size_t run = 0;  // start of the valid bytes not yet converted
  size_t at = 0;
  while (at < in.size()) {
    if (const size_t n = ValidUtf8Length(in.substr(at))) {
      at += n;
      continue;
    }
    wide += Utf8ToWide(in.substr(run, at - run));
    wide += L'?';
    run = ++at;
  }
  return wide + Utf8ToWide(in.substr(run));
}

std::string Convert(std::string_view in, UINT to, UINT from) {
  return WideToCodePage(from == CP_UTF8 ? LenientUtf8ToWide(in) : CodePageToWide(in, from), to);
}

}  // namespace

std::string Cp1250ToUtf8(std::string_view bytes) { return Convert(bytes, CP_UTF8, 1250); }
std::string Utf8ToCp1250(std::string_view text) { return Convert(text, 1250, CP_UTF8); }
std::string Cp852ToUtf8(std::string_view bytes) { return Convert(bytes, CP_UTF8, 852); }

}  // namespace zepr
