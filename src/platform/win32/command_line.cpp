#include "platform/win32/command_line.h"

namespace zepr::platform {
namespace {

bool NeedsQuotes(const std::wstring& arg) {
  return arg.empty() || arg.find_first_of(L" \t\n\v\"") != std::wstring::npos;
}

// Backslashes are literal except in front of a quote, where each pair stands for one and an
// odd one escapes the quote; so only a run that ends at a quote (or at the closing quote we
// add) is doubled.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!NeedsQuotes(arg)) {
    line += arg;
    return;
  }
  line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

}  // namespace

std::wstring BuildCommandLine(const std::vector<std::wstring>& argv) {
  std::wstring line;
  for (size_t i = 0; i < argv.size(); ++i) {
    if (i == 0) {
      // A program path holds no quote; blanks in it need the pair around it.
      const bool quote = argv[0].empty() || argv[0].find_first_of(L" \t") != std::wstring::npos;
      line += quote ? L"\"" + argv[0] + L"\"" : argv[0];
    } else {
      line += L' ';
      AppendQuoted(line, argv[i]);
    }
  }
  return line;
}

}  // namespace zepr::platform
