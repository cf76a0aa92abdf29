#pragma once

#include <string>
#include <string_view>

#include "core/main_window.h"

namespace zepr {

// Status texts of a failed extraction, followed by the archive's file name.
inline constexpr std::string_view kArchiveMissingText = "Arhiva nije pronađena: ";
inline constexpr std::string_view kArchiveDamagedText = "Arhiva je oštećena: ";

// Unpacks a ZIP archive into target_folder (with or without a trailing separator; created
// when missing), rebuilding its folder tree and replacing files already there. Entry names
// without the archive's UTF-8 mark are CP852 (Windows zippers); backslashes in names are
// separators. Nothing is written outside the target: entries with "..", absolute names,
// links and paths through links are skipped. Files keep their stored last-write times.
// False when the archive is missing or damaged or an entry was skipped or could not be
// written; the window (when given) then shows one of the texts above with the archive's
// name. Everything extractable is extracted regardless.
bool Unzip(const std::string& archive, const std::string& target_folder, MainWindow* window);

}  // namespace zepr
