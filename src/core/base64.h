#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zepr {

// Standard base64 (A-Z a-z 0-9 + /) with '=' padding.
std::string Base64Encode(std::string_view bytes);
// Blanks (space, tab, CR, LF) between symbols are skipped, as PEM wraps its lines; every group
// of four must be whole and padding ends the text. nullopt for anything else.
std::optional<std::string> Base64Decode(std::string_view text);
// Only the one text Base64Encode gives for the bytes: no blanks, the padding the length needs,
// no stray bits in the last symbol. What a stranger signs must have a single form.
std::optional<std::string> Base64DecodeCanonical(std::string_view text);

}  // namespace zepr
