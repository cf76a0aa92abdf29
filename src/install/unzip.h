#pragma once

#include <string>
#include <string_view>

#include "core/main_window.h"

namespace zepr {

// Status texts of a failed extraction, followed by the archive's file name.
inline constexpr std::string_view kArchiveMissingText = "Arhiva nije pronađena: ";
inline constexpr std::string_view kArchiveDamagedText = "Arhiva je oštećena: ";
inline constexpr std::string_view kUnpackFailedText = "Dekompresiranje nije uspjelo: ";

// How an extraction ended. A missing or damaged archive is the archive's fault and another
// source may have a whole one; a write that failed (a full disk, a file that cannot be made) is
// this machine's, and names the file.
struct UnzipResult {
  enum class Outcome { kOk, kMissingOrDamaged, kWriteFailed };
  Outcome outcome = Outcome::kOk;
  // kWriteFailed: the file or folder that could not be written, named as it would stand under
  // the target folder, and the system's words for why.
  std::string file;
  std::string reason;

  // Callers that only ask whether the archive is unpacked read the result as a bool.
  operator bool() const { return outcome == Outcome::kOk; }
};

// Unpacks a ZIP archive into target_folder (with or without a trailing separator; created
// when missing), rebuilding its folder tree and replacing files already there. Entry names
// without the archive's UTF-8 mark are CP852 (Windows zippers); backslashes in names are
// separators. Files and folders keep their stored last-write times.
//
// The archive is unpacked into a hidden folder beside the target and moved in by rename only
// when every entry was read and written whole, so a damaged archive (unreadable, truncated, a
// bad CRC, an encrypted entry or an unknown method) or a failed write (a full disk) leaves the
// target exactly as it was, and a missing target is not made. The hidden folder is removed in
// every case, so what was written is freed again.
//
// Nothing is written outside the target: entries with "..", absolute names, drive letters,
// links and other special files are skipped, and links already in the target are replaced,
// never followed. A link (or a file) standing at the target's own name is removed, not
// followed, and a folder made in its place. Skipped entries do not fail the archive.
//
// Modes (Linux; Windows files have none): an entry from a Unix zipper keeps its permission bits
// (without setuid, setgid, sticky); other files get 0644, 0755 when named "*.exe"; folders 0755;
// always less the umask.
//
// The window (when given) shows one of the texts above with the archive's name when it fails.
// A failure while moving the unpacked files in leaves what was moved in by then in a target
// that was there before (a target made for the archive goes again).
UnzipResult Unzip(const std::string& archive, const std::string& target_folder, MainWindow* window);

}  // namespace zepr
