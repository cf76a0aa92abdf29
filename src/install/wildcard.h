#pragma once

#include <string_view>

namespace zepr {

// Wildcard match of a file name, ASCII letter case ignored: "*" any run of characters (also
// none), "?" any one character, "[set]" one character of the set ("[a-c]" ranges, "[!x]" all
// but x), every other character itself. "*.*" therefore needs a dot in the name.
bool MatchesMask(std::string_view name, std::string_view mask);

}  // namespace zepr
