// The portable back end: our ZIP reader over zlib fills the staging folder (Windows has no
// libarchive). It follows what the libarchive back end does, entry for entry.
#include <chrono>
#include <map>
#include <set>

#include "core/path_text.h"
#include "install/unzip_backend.h"
#include "install/zip_reader.h"
#include "platform/files.h"

namespace zepr::unzip {
namespace {

namespace fs = std::filesystem;

fs::file_time_type FileTime(std::time_t time) {
  return std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(time));
}

// The '/'-separated name of a path below the staging folder.
std::string RelativeName(const fs::path& path, const fs::path& staging) {
  const std::u8string name = path.lexically_relative(staging).generic_u8string();
  return std::string(name.begin(), name.end());
}

// Writes the current entry's data as the new file `relative`. Every write and the close are
// checked: a full disk fails here, not later as a file of the right size full of zeros.
UnzipResult WriteFile(ZipReader& reader, const fs::path& staging, const std::string& relative) {
  if (UnzipResult cleared = ClearForFile(staging, relative); !cleared) return cleared;
  std::error_code error;
  platform::File file =
      platform::File::CreateNew(Utf8FromPath(staging / PathFromUtf8(relative)), error);
  if (error) return WriteFailed(relative, error);
  uint64_t written = 0;
  const bool read = reader.ReadData([&](std::string_view data) {
    error = file.WriteAt(data, written);
    written += data.size();
    return !error;
  });
  if (error) return WriteFailed(relative, error);
  if (!read) return Damaged();
  if (const auto closed = file.Close()) return WriteFailed(relative, closed);
  return {};
}

}  // namespace

UnzipResult UnpackWithZipReader(const fs::path& archive, const fs::path& staging) {
  std::optional<ZipReader> reader = ZipReader::Open(archive);
  if (!reader) return Damaged();
  std::set<fs::path> folders;
  // Folder times are set last: filling a folder touches its time.
  std::map<fs::path, std::time_t> folder_times;
  for (ZipEntryInfo entry;;) {
    const ZipReader::Step step = reader->Next(entry);
    if (step == ZipReader::Step::kEnd) break;
    if (step == ZipReader::Step::kDamaged) return Damaged();
    const auto relative = SafeRelativePath(entry.name);
    const bool refused = !relative || relative->empty() ||
                         entry.kind == ZipEntryInfo::Kind::kLink ||
                         entry.kind == ZipEntryInfo::Kind::kSpecial;
    if (refused) {
      // Read all the same, so that its damage counts.
      if (!reader->ReadData([](std::string_view) { return true; })) return Damaged();
      continue;
    }
    if (entry.kind == ZipEntryInfo::Kind::kFolder) {
      if (UnzipResult made = MakeFolders(staging, *relative, true, &folders); !made) return made;
      const fs::path path = staging / PathFromUtf8(*relative);
      folders.insert(path);
      folder_times[path] = entry.last_write;
      continue;
    }
    const size_t slash = relative->rfind('/');
    if (slash != std::string::npos) {
      UnzipResult made = MakeFolders(staging, relative->substr(0, slash), false, &folders);
      if (!made) return made;
    }
    if (UnzipResult written = WriteFile(*reader, staging, *relative); !written) return written;
    const fs::path path = staging / PathFromUtf8(*relative);
    if (const auto error = KeepUnpackedMode(path, UnpackedFileMode(entry.unix_mode, *relative))) {
      return WriteFailed(*relative, error);
    }
    std::error_code ec;
    fs::last_write_time(path, FileTime(entry.last_write), ec);
    if (ec) return WriteFailed(*relative, ec);
    folder_times.erase(path);
  }
  for (const auto& folder : folders) {
    // A later file entry of the same name may have taken the folder's place.
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(folder, ec))) continue;
    if (const auto error = KeepUnpackedMode(folder, kUnpackedFolderMode)) {
      return WriteFailed(RelativeName(folder, staging), error);
    }
  }
  for (const auto& [folder, time] : folder_times) {
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(folder, ec))) continue;
    if (const auto error = SetFolderTime(folder, FileTime(time))) {
      return WriteFailed(RelativeName(folder, staging), error);
    }
  }
  return {};
}

}  // namespace zepr::unzip
