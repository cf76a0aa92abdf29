#pragma once

#include <string>
#include <vector>

namespace zepr::platform {

// The command line that CommandLineToArgvW (and the C runtime's start-up code) splits back into
// exactly these arguments. The first is the program, which those parsers read without escapes:
// it is only quoted.
std::wstring BuildCommandLine(const std::vector<std::wstring>& argv);

}  // namespace zepr::platform
