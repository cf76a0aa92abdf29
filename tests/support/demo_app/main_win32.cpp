// The application stand-in as a Windows program, for the runs under Wine: the same record of
// its starts as main.cpp keeps ("started.txt" beside it, the arguments joined by tabs), the
// same "--live-ms=N" and "--exit-code=N".
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdlib>
#include <string>

namespace {

std::string Utf8(const wchar_t* wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), n, nullptr, nullptr);
  return text;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::wstring record(32768, L'\0');
  record.resize(GetModuleFileNameW(nullptr, record.data(), static_cast<DWORD>(record.size())));
  record = record.substr(0, record.find_last_of(L'\\') + 1) + L"started.txt";

  std::string line;
  long live_ms = 0;
  int exit_code = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = Utf8(argv[i]);
    if (i > 1) line += '\t';
    line += arg;
    if (arg.starts_with("--live-ms=")) live_ms = std::strtol(arg.c_str() + 10, nullptr, 10);
    if (arg.starts_with("--exit-code=")) exit_code = std::atoi(arg.c_str() + 12);
  }
  line += '\n';
  LocalFree(argv);

  // Append access: one write, so starts that run at the same time never mix their lines.
  HANDLE file = CreateFileW(record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != line.size()) return 99;
  }
  if (live_ms > 0) Sleep(static_cast<DWORD>(live_ms));
  return exit_code;
}
