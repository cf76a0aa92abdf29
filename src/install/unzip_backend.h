#pragma once

// The parts of Unzip behind its front: the front (unzip.cpp) stages and moves into place, a
// back end fills the staging folder. Linux unpacks with libarchive, Windows with our ZIP reader;
// both are built on Linux so that they can be compared.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "core/main_window.h"
#include "install/unzip.h"

namespace zepr::unzip {

// Fills the empty folder `staging` with the archive's files and folders, names, times and
// modes as unzip.h describes. Every write counts: one that fails is a failed write, never taken
// for a good file. The `file` of a failed write is the '/'-separated path below `staging` that
// could not be written (empty: `staging` itself); the front names it under the target.
using Unpacker = UnzipResult (*)(const std::filesystem::path& archive,
                                 const std::filesystem::path& staging);

UnzipResult UnpackWithLibarchive(const std::filesystem::path& archive,
                                 const std::filesystem::path& staging);
UnzipResult UnpackWithZipReader(const std::filesystem::path& archive,
                                const std::filesystem::path& staging);

// What a back end gives back.
inline UnzipResult Damaged() { return {UnzipResult::Outcome::kMissingOrDamaged, {}, {}}; }
inline UnzipResult WriteFailed(std::string relative, std::string reason) {
  return {UnzipResult::Outcome::kWriteFailed, std::move(relative), std::move(reason)};
}
inline UnzipResult WriteFailed(std::string relative, const std::error_code& error) {
  return WriteFailed(std::move(relative), error.message());
}

// Unzip with the given back end.
UnzipResult UnzipWith(Unpacker unpack, const std::string& archive, const std::string& target_folder,
                      MainWindow* window);

// Makes `relative` ('/'-separated) a folder below `root`, folder by folder, adding those made
// to `made` when given. A file of an earlier entry gives way to a folder entry of its name
// (folder_entry), but not to the folders above an entry: such an archive contradicts itself
// and counts as damaged.
UnzipResult MakeFolders(const std::filesystem::path& root, const std::string& relative,
                        bool folder_entry, std::set<std::filesystem::path>* made);
// Clears the way for a file entry at `relative` below `root`: an earlier entry of its name goes,
// a folder only when empty (one with files in it makes the archive contradict itself: damaged).
UnzipResult ClearForFile(const std::filesystem::path& root, const std::string& relative);

// The entry's path below the target ('/'-separated), or nullopt when it would leave the target
// or names something this system cannot hold: "..", absolute names and drive letters are
// refused, backslashes are separators, "." and empty parts dropped.
std::optional<std::string> SafeRelativePath(std::string_view name);

// Whether Windows can hold the name part as a plain file name: no reserved characters (':'
// would reach another drive or a file's stream), no device name, no trailing dot or blank.
bool WindowsAcceptsNamePart(std::string_view part);

inline constexpr uint32_t kUnpackedFolderMode = 0755;

// The permission bits of an unpacked file: a Unix zipper's (`unix_mode` is its whole mode
// field, 0 when there is none) without setuid, setgid and sticky; else 0644, 0755 for programs.
uint32_t UnpackedFileMode(uint32_t unix_mode, std::string_view relative_path);

// Chosen per platform (unzip_posix.cpp, unzip_win32.cpp).
UnzipResult PlatformUnpack(const std::filesystem::path& archive,
                           const std::filesystem::path& staging);
bool NamePartAcceptedHere(std::string_view part);
// Gives an unpacked file or folder its permission bits less the umask; nothing where files
// have no modes.
std::error_code KeepUnpackedMode(const std::filesystem::path& path, uint32_t mode);
// Sets a folder's last write time (the C runtime on Windows sets only files' times).
std::error_code SetFolderTime(const std::filesystem::path& folder,
                              std::filesystem::file_time_type time);

}  // namespace zepr::unzip
