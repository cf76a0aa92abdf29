#include <windows.h>
// After windows.h:
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace zepr::platform {

std::string ExecutableFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return ".\\";
    // A path that filled the buffer may have been cut.
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  path.resize(path.find_last_of(L"\\/") + 1);
  if (path.empty()) path = L".\\";
  // Started by its long form, the program is given that form back.
  return Utf8FromSystemPath(path);
}

namespace {

// Whether a top-level window can be made at all: a window station without a desktop the user
// sees (a service), or Wine without an X display, cannot.
bool CanCreateWindow() {
  const HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                      GetModuleHandleW(nullptr), nullptr);
  if (window == nullptr) return false;
  DestroyWindow(window);
  return true;
}

}  // namespace

bool DisplayAvailable() {
  const char* headless = std::getenv("ZEPR_HEADLESS");
  if (headless != nullptr && std::strcmp(headless, "1") == 0) return false;
  HWINSTA station = GetProcessWindowStation();
  USEROBJECTFLAGS flags{};
  if (station == nullptr ||
      !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) ||
      (flags.dwFlags & WSF_VISIBLE) == 0) {
    return false;
  }
  return CanCreateWindow();
}

void PrepareStandardStreams() {
  // A program started without a console or with a stream closed has no handle there; the C
  // runtime's descriptor of it is then free for the next file opened, so both get the null
  // device.
  struct Stream {
    DWORD id;
    int fd;
    DWORD access;
  };
  for (const Stream& s :
       {Stream{STD_INPUT_HANDLE, 0, GENERIC_READ}, Stream{STD_OUTPUT_HANDLE, 1, GENERIC_WRITE},
        Stream{STD_ERROR_HANDLE, 2, GENERIC_WRITE}}) {
    const HANDLE current = GetStdHandle(s.id);
    if (current == nullptr || current == INVALID_HANDLE_VALUE) {
      const HANDLE null_device = CreateFileW(L"NUL", s.access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_EXISTING, 0, nullptr);
      if (null_device != INVALID_HANDLE_VALUE) SetStdHandle(s.id, null_device);
    }
    const intptr_t os_handle = _get_osfhandle(s.fd);
    if (os_handle == -1 || os_handle == -2) {
      const int null_fd = _open("NUL", s.fd == 0 ? _O_RDONLY : _O_WRONLY);
      if (null_fd >= 0 && null_fd != s.fd) {
        _dup2(null_fd, s.fd);
        _close(null_fd);
      }
    }
  }
}

namespace {

std::string LocaleText(LCTYPE type) {
  wchar_t buffer[16] = {};
  const int n = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, type, buffer, 16);
  // The length counts the terminating null.
  return n > 1 ? WideToUtf8(std::wstring_view(buffer, static_cast<size_t>(n - 1))) : std::string();
}

}  // namespace

LocaleSeparators UserNumericSeparators() {
  return {LocaleText(LOCALE_STHOUSAND), LocaleText(LOCALE_SDECIMAL)};
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  // main's argv is in the ANSI code page, which loses every character outside it; the
  // system keeps the command line as it was given.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  args.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) args.push_back(WideToUtf8(wide[i]));
  LocalFree(wide);
  return args;
}

}  // namespace zepr::platform
