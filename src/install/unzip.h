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
// separators. Files and folders keep their stored last-write times.
//
// The archive is unpacked into a hidden folder beside the target and moved in by rename only
// when every entry was read whole, so a damaged archive (unreadable, truncated, a bad CRC, an
// encrypted entry or an unknown method) leaves the target exactly as it was, and a missing
// target is not made. The hidden folder is removed in every case.
//
// Nothing is written outside the target: entries with "..", absolute names, drive letters,
// links and other special files are skipped, and links already in the target are replaced,
// never followed. Skipped entries do not fail the archive.
//
// Modes (Linux; Windows files have none): an entry from a Unix zipper keeps its permission bits
// (without setuid, setgid, sticky); other files get 0644, 0755 when named "*.exe"; folders 0755;
// always less the umask.
//
// False when the archive is missing or damaged or its files could not be written or put in
// place (what was moved in by then stays); the window (when given) then shows one of the texts
// above with the archive's name.
bool Unzip(const std::string& archive, const std::string& target_folder, MainWindow* window);

}  // namespace zepr
