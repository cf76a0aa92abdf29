#pragma once

#include <string>
#include <vector>

namespace zepr {

// Splits at the separator: an item ends at each separator and is kept only when non-empty;
// the last item is always kept, even when empty ("a,,b" -> a,b; "a,b," -> a,b,""; "" -> "").
std::vector<std::string> SplitToList(const std::string& text, char separator);

// The connection items of one comma-separated value, with the launcher's escapes
// "7890+" "&", "7891+" ",", "7892+" '"', "7893+" "%" decoded; "x" gives no items.
std::vector<std::string> DecodeConnectionText(const std::string& text);

// The inverse of the decoding, for a child updater's command line: the four characters
// are written back as their escapes so the child decodes exactly these items.
std::string EncodeConnectionList(const std::vector<std::string>& items);

// A parameter as the run log writes it: when it decodes to a connection (three items or more),
// its password item is "***"; everything else stays as written.
std::string ConnectionTextForLog(const std::string& text);

}  // namespace zepr
