#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "core/win32/wide.h"

namespace zepr::platform {

// The conversions live below the platform, for the code page conversions of core/ use them too.
using zepr::Utf8ToWide;
using zepr::WideToUtf8;

// The form of a UTF-8 path that the system's file functions get, whatever its length: made
// absolute and normal as the system makes a path ('/' to '\', "." and ".." resolved, a relative
// path taken from the current folder), then with \\?\ before a drive path and \\?\UNC\ before a
// server path. That prefix lifts the limit of MAX_PATH characters and turns off the system's
// own normalisation, hence ours first. A path already in that form, or a device's (\\.\), is
// given as it stands.
std::wstring FileSystemPath(std::string_view path);
// A path in the system's form (one it gave back: a module's, a process's image) without that
// prefix.
std::wstring PlainSystemPath(std::wstring_view path);
inline std::string Utf8FromSystemPath(std::wstring_view path) {
  return WideToUtf8(PlainSystemPath(path));
}

// The system's own words for an error code, without the trailing line break.
inline std::string SystemErrorText(DWORD code, HMODULE module = nullptr) {
  wchar_t* buffer = nullptr;
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                      (module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM);
  const DWORD n =
      FormatMessageW(flags, module, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring wide(buffer ? buffer : L"", n);
  if (buffer) LocalFree(buffer);
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ')) {
    wide.pop_back();
  }
  if (wide.empty()) return "error " + std::to_string(code);
  return WideToUtf8(wide);
}

}  // namespace zepr::platform
