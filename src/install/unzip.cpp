#include "install/unzip.h"

#include <array>
#include <random>
#include <vector>

#include "core/path_text.h"
#include "core/text.h"
#include "install/unzip_backend.h"
#include "platform/files.h"

namespace zepr {
namespace unzip {
namespace {

namespace fs = std::filesystem;

// A fresh folder beside the target, on its file system so that finished files reach the
// target by rename. Removed with everything still in it.
class StagingFolder {
 public:
  explicit StagingFolder(const fs::path& target) {
    std::random_device seed;
    std::mt19937 random(seed());
    const std::string prefix = "." + Utf8FromPath(target.filename()) + ".unzip-";
    constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = prefix;
      for (int i = 0; i < 8; ++i) name += kLetters[random() % kLetters.size()];
      const fs::path candidate = target.parent_path() / PathFromUtf8(name);
      std::error_code ec;
      if (fs::create_directory(candidate, ec)) {
        path_ = candidate;
        return;
      }
      if (ec) return;
    }
  }
  // Read-only entries and links go too, on every system.
  ~StagingFolder() {
    if (!path_.empty()) platform::RemoveTree(Utf8FromPath(path_));
  }
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Read-only files stand in the way of a replacing rename on Windows (not on Linux).
void MakeWritable(const fs::path& path) {
  std::error_code ec;
  if (fs::is_regular_file(fs::symlink_status(path, ec))) {
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ec);
  }
}

bool RenameReplacing(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::rename(from, to, ec);
  if (!ec) return true;
  MakeWritable(to);
  fs::rename(from, to, ec);
  return !ec;
}

// Moves everything in `from` into the folder `to` by rename: folders are merged, files and
// links in the way replaced. Links in the target are never followed.
bool MoveInto(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  std::vector<fs::path> names;
  for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename());
  }
  if (ec) return false;
  for (const auto& name : names) {
    const fs::path source = from / name;
    const fs::path destination = to / name;
    const bool staged_folder = fs::is_directory(fs::symlink_status(source, ec));
    if (ec) return false;
    // Filling a folder touches its time; it gets the stored one back.
    fs::file_time_type staged_time;
    if (staged_folder) {
      staged_time = fs::last_write_time(source, ec);
      if (ec) return false;
    }
    const auto there = fs::symlink_status(destination, ec);
    const bool folder_there = fs::is_directory(there);
    if (staged_folder && folder_there) {
      if (!MoveInto(source, destination)) return false;
    } else {
      // An empty folder gives way to a file, anything but a folder to a folder.
      if (fs::exists(there) && (folder_there || staged_folder)) {
        MakeWritable(destination);
        fs::remove(destination, ec);
      }
      if (!RenameReplacing(source, destination)) return false;
    }
    if (staged_folder && !SetFolderTime(destination, staged_time)) return false;
  }
  return true;
}

// The folders from `folder` up that do not exist yet, deepest first.
std::vector<fs::path> MissingFolders(fs::path folder) {
  std::vector<fs::path> missing;
  std::error_code ec;
  while (folder.has_relative_path() && !fs::exists(fs::symlink_status(folder, ec))) {
    missing.push_back(folder);
    folder = folder.parent_path();
  }
  return missing;
}

enum class Outcome { kOk, kMissing, kDamaged };

Outcome Extract(Unpacker unpack, const fs::path& archive_path, fs::path target) {
  std::error_code ec;
  if (!fs::is_regular_file(archive_path, ec)) return Outcome::kMissing;
  target = target.lexically_normal();
  if (!target.has_filename()) target = target.parent_path();
  const auto target_status = fs::status(target, ec);
  if (fs::exists(target_status) && !fs::is_directory(target_status)) return Outcome::kDamaged;

  // The target is made only for an archive that unpacks; folders made for the staging folder
  // go again when it does not.
  const std::vector<fs::path> made = MissingFolders(target.parent_path());
  fs::create_directories(target.parent_path(), ec);
  bool unpacked = false;
  {
    const StagingFolder staging(target);
    if (!staging.path().empty() && unpack(archive_path, staging.path())) {
      fs::create_directory(target, ec);
      unpacked = fs::is_directory(target, ec) && MoveInto(staging.path(), target);
    }
  }
  if (!unpacked) {
    for (const auto& folder : made) fs::remove(folder, ec);
    return Outcome::kDamaged;
  }
  return Outcome::kOk;
}

}  // namespace

bool UnzipWith(Unpacker unpack, const std::string& archive, const std::string& target_folder,
               MainWindow* window) {
  std::error_code ec;
  const fs::path archive_path = fs::absolute(PathFromUtf8(archive), ec);
  const Outcome outcome =
      Extract(unpack, archive_path, fs::absolute(PathFromUtf8(target_folder), ec));
  if (outcome != Outcome::kOk && window != nullptr) {
    const std::string_view text =
        outcome == Outcome::kMissing ? kArchiveMissingText : kArchiveDamagedText;
    window->SetLabel1(std::string(text) + Utf8FromPath(archive_path.filename()));
  }
  return outcome == Outcome::kOk;
}

std::optional<std::string> SafeRelativePath(std::string_view name) {
  const std::string slashed = ReplaceAll(std::string(name), "\\", "/");
  if (slashed.starts_with('/')) return std::nullopt;
  std::string relative;
  size_t start = 0;
  while (start <= slashed.size()) {
    size_t end = slashed.find('/', start);
    if (end == std::string::npos) end = slashed.size();
    const std::string_view part(slashed.data() + start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") return std::nullopt;
    if (relative.empty() && part.size() == 2 && part[1] == ':') return std::nullopt;
    if (!NamePartAcceptedHere(part)) return std::nullopt;
    if (!relative.empty()) relative += '/';
    relative += part;
  }
  return relative;
}

bool WindowsAcceptsNamePart(std::string_view part) {
  if (part.empty() || part.back() == '.' || part.back() == ' ') return false;
  for (const char c : part) {
    if (static_cast<unsigned char>(c) < 0x20 || std::string_view("<>:\"|?*").find(c) != part.npos) {
      return false;
    }
  }
  // Device names stay devices with any extension: "nul.txt" is NUL.
  const std::string_view stem = part.substr(0, part.find('.'));
  static constexpr std::array<std::string_view, 4> kDevices = {"CON", "PRN", "AUX", "NUL"};
  for (const auto device : kDevices) {
    if (EqualsAsciiNoCase(stem, device)) return false;
  }
  if (stem.size() == 4 &&
      (EqualsAsciiNoCase(stem.substr(0, 3), "COM") ||
       EqualsAsciiNoCase(stem.substr(0, 3), "LPT")) &&
      stem[3] >= '0' && stem[3] <= '9') {
    return false;
  }
  return true;
}

uint32_t UnpackedFileMode(uint32_t unix_mode, std::string_view relative_path) {
  if (unix_mode != 0) return unix_mode & 0777;
  const bool program = relative_path.size() >= 4 &&
                       EqualsAsciiNoCase(relative_path.substr(relative_path.size() - 4), ".exe");
  return program ? 0755 : 0644;
}

}  // namespace unzip

bool Unzip(const std::string& archive, const std::string& target_folder, MainWindow* window) {
  return unzip::UnzipWith(unzip::PlatformUnpack, archive, target_folder, window);
}

}  // namespace zepr
