#pragma once

// The parts of Unzip behind its front: the front (unzip.cpp) stages and moves into place, a
// back end fills the staging folder. Linux unpacks with libarchive, Windows with our ZIP reader;
// both are built on Linux so that they can be compared.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/main_window.h"

namespace zepr::unzip {

// Fills the empty folder `staging` with the archive's files and folders, names, times and
// modes as unzip.h describes; false when the archive is damaged or a file could not be written.
using Unpacker = bool (*)(const std::filesystem::path& archive,
                          const std::filesystem::path& staging);

bool UnpackWithLibarchive(const std::filesystem::path& archive,
                          const std::filesystem::path& staging);
bool UnpackWithZipReader(const std::filesystem::path& archive,
                         const std::filesystem::path& staging);

// Unzip with the given back end.
bool UnzipWith(Unpacker unpack, const std::string& archive, const std::string& target_folder,
               MainWindow* window);

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
bool PlatformUnpack(const std::filesystem::path& archive, const std::filesystem::path& staging);
bool NamePartAcceptedHere(std::string_view part);
// Gives an unpacked file or folder its permission bits less the umask; nothing where files
// have no modes.
bool KeepUnpackedMode(const std::filesystem::path& path, uint32_t mode);
// Sets a folder's last write time (the C runtime on Windows sets only files' times).
bool SetFolderTime(const std::filesystem::path& folder, std::filesystem::file_time_type time);

}  // namespace zepr::unzip
