// The portable back end: our ZIP reader over zlib fills the staging folder (Windows has no
// libarchive). It follows what the libarchive back end does, entry for entry.
#include <chrono>
#include <fstream>
#include <map>
#include <set>

#include "core/path_text.h"
#include "install/unzip_backend.h"
#include "install/zip_reader.h"

namespace zepr::unzip {
namespace {

namespace fs = std::filesystem;

fs::file_time_type FileTime(std::time_t time) {
  return std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(time));
}

// Makes `relative` a folder below `root`, folder by folder. A file of an earlier entry gives
// way to a folder entry of its name, but not to the folders above an entry.
bool MakeFolders(const fs::path& root, const std::string& relative, bool folder_entry,
                 std::set<fs::path>& made) {
  fs::path folder = root;
  size_t start = 0;
  while (start < relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    folder /= PathFromUtf8(std::string_view(relative).substr(start, end - start));
    start = end + 1;
    std::error_code ec;
    const auto status = fs::symlink_status(folder, ec);
    if (fs::is_directory(status)) continue;
    if (fs::exists(status) &&
        !(folder_entry && start > relative.size() && fs::remove(folder, ec))) {
      return false;
    }
    if (!fs::create_directory(folder, ec)) return false;
    made.insert(folder);
  }
  return true;
}

bool WriteFile(ZipReader& reader, const fs::path& path) {
  std::error_code ec;
  // An earlier entry of the same name is replaced; a folder only when it is empty.
  if (fs::exists(fs::symlink_status(path, ec)) && !fs::remove(path, ec)) return false;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  const bool read = reader.ReadData([&](std::string_view data) {
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return out.good();
  });
  out.close();
  return read && out.good();
}

}  // namespace

bool UnpackWithZipReader(const fs::path& archive, const fs::path& staging) {
  std::optional<ZipReader> reader = ZipReader::Open(archive);
  if (!reader) return false;
  std::set<fs::path> folders;
  // Folder times are set last: filling a folder touches its time.
  std::map<fs::path, std::time_t> folder_times;
  for (ZipEntryInfo entry;;) {
    const ZipReader::Step step = reader->Next(entry);
    if (step == ZipReader::Step::kEnd) break;
    if (step == ZipReader::Step::kDamaged) return false;
    const auto relative = SafeRelativePath(entry.name);
    const bool refused = !relative || relative->empty() ||
                         entry.kind == ZipEntryInfo::Kind::kLink ||
                         entry.kind == ZipEntryInfo::Kind::kSpecial;
    if (refused) {
      // Read all the same, so that its damage counts.
      if (!reader->ReadData([](std::string_view) { return true; })) return false;
      continue;
    }
    if (entry.kind == ZipEntryInfo::Kind::kFolder) {
      if (!MakeFolders(staging, *relative, true, folders)) return false;
      const fs::path path = staging / PathFromUtf8(*relative);
      folders.insert(path);
      folder_times[path] = entry.last_write;
      continue;
    }
    const size_t slash = relative->rfind('/');
    if (slash != std::string::npos &&
        !MakeFolders(staging, relative->substr(0, slash), false, folders)) {
      return false;
    }
    const fs::path path = staging / PathFromUtf8(*relative);
    std::error_code ec;
    if (!WriteFile(*reader, path) ||
        !KeepUnpackedMode(path, UnpackedFileMode(entry.unix_mode, *relative))) {
      return false;
    }
    fs::last_write_time(path, FileTime(entry.last_write), ec);
    if (ec) return false;
    folder_times.erase(path);
  }
  for (const auto& folder : folders) {
    // A later file entry of the same name may have taken the folder's place.
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(folder, ec)) &&
        !KeepUnpackedMode(folder, kUnpackedFolderMode)) {
      return false;
    }
  }
  for (const auto& [folder, time] : folder_times) {
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(folder, ec)) &&
        !SetFolderTime(folder, FileTime(time))) {
      return false;
    }
  }
  return true;
}

}  // namespace zepr::unzip
