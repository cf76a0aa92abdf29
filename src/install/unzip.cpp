#include "install/unzip.h"

#include <array>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "core/path_text.h"
#include "core/run_log.h"
#include "core/text.h"
#include "install/unzip_backend.h"
#include "platform/files.h"

namespace zepr {
namespace unzip {
namespace {

namespace fs = std::filesystem;
using Kind = platform::FolderEntry::Kind;

// A failed write at a path of the target, named as the user's system writes paths.
UnzipResult FailedAt(fs::path path, const std::error_code& error) {
  return WriteFailed(Utf8FromPath(path.make_preferred()), error);
}

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
      if (fs::create_directory(candidate, error_)) {
        path_ = candidate;
        return;
      }
      if (error_) return;
    }
    error_ = std::make_error_code(std::errc::file_exists);
  }
  // Read-only entries and links go too, on every system.
  ~StagingFolder() {
    if (!path_.empty()) platform::RemoveTree(Utf8FromPath(path_));
  }
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;
  const fs::path& path() const { return path_; }
  // Why there is none.
  const std::error_code& error() const { return error_; }

 private:
  fs::path path_;
  std::error_code error_;
};

// Read-only files stand in the way of a replacing rename on Windows (not on Linux).
void MakeWritable(const fs::path& path) {
  std::error_code ec;
  if (fs::is_regular_file(fs::symlink_status(path, ec))) {
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ec);
  }
}

std::error_code RenameReplacing(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::rename(from, to, ec);
  if (!ec) return ec;
  MakeWritable(to);
  fs::rename(from, to, ec);
  return ec;
}

// What is at path, links not followed; nullopt when nothing is, and error set when that cannot
// be told.
std::optional<Kind> KindThere(const fs::path& path, std::error_code& error) {
  const Kind kind = platform::KindOf(Utf8FromPath(path), error);
  if (!error) return kind;
  if (error == std::errc::no_such_file_or_directory) error.clear();
  return std::nullopt;
}

// Moves everything in `from` into the folder `to` by rename: folders are merged, files and
// links in the way replaced. Links in the target are never followed. The platform lists the
// folders: the C++ library's listing reads the wrong folder for long paths on Windows.
UnzipResult MoveInto(const fs::path& from, const fs::path& to) {
  std::vector<platform::FolderEntry> entries;
  if (const auto error = platform::ListFolder(Utf8FromPath(from), entries)) {
    return FailedAt(to, error);
  }
  for (const auto& entry : entries) {
    const fs::path source = from / PathFromUtf8(entry.name);
    const fs::path destination = to / PathFromUtf8(entry.name);
    const bool staged_folder = entry.kind == Kind::kFolder;
    std::error_code ec;
    // Filling a folder touches its time; it gets the stored one back.
    fs::file_time_type staged_time;
    if (staged_folder) {
      staged_time = fs::last_write_time(source, ec);
      if (ec) return FailedAt(destination, ec);
    }
    const std::optional<Kind> there = KindThere(destination, ec);
    if (ec) return FailedAt(destination, ec);
    if (staged_folder && there == Kind::kFolder) {
      if (UnzipResult moved = MoveInto(source, destination); !moved) return moved;
    } else {
      // An empty folder gives way to a file, anything but a folder to a folder; a link goes
      // itself, whatever it leads to (on Windows a rename cannot replace a link to a folder).
      if (there && (there == Kind::kFolder || there == Kind::kLink || staged_folder)) {
        const std::string name = Utf8FromPath(destination);
        ec =
            there == Kind::kFolder ? platform::RemoveEmptyFolder(name) : platform::RemoveFile(name);
        if (ec) return FailedAt(destination, ec);
      }
      if (const auto error = RenameReplacing(source, destination)) {
        return FailedAt(destination, error);
      }
    }
    if (staged_folder) {
      if (const auto error = SetFolderTime(destination, staged_time)) {
        return FailedAt(destination, error);
      }
    }
  }
  return {};
}

// Moves the unpacked files into the target, which is made a real folder first: a link at its
// name is removed (not what it leads to), and so is a file. made_target: the target was made
// here.
UnzipResult PutInPlace(const fs::path& staging, const fs::path& target, bool& made_target) {
  std::error_code ec;
  const std::optional<Kind> there = KindThere(target, ec);
  if (ec) return FailedAt(target, ec);
  if (there != Kind::kFolder) {
    if (there) {
      if (const auto error = platform::RemoveTree(Utf8FromPath(target))) {
        return FailedAt(target, error);
      }
    }
    fs::create_directory(target, ec);
    if (ec) return FailedAt(target, ec);
    made_target = true;
    // Whatever took the name meanwhile is never filled.
    if (KindThere(target, ec) != Kind::kFolder) {
      return FailedAt(target, ec ? ec : std::make_error_code(std::errc::not_a_directory));
    }
  }
  return MoveInto(staging, target);
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

UnzipResult Extract(Unpacker unpack, const fs::path& archive_path, fs::path target) {
  target = target.lexically_normal();
  if (!target.has_filename()) target = target.parent_path();

  // The target is made only for an archive that unpacks; folders made for the staging folder
  // go again when it does not.
  const std::vector<fs::path> made = MissingFolders(target.parent_path());
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  UnzipResult result;
  bool made_target = false;
  if (ec) {
    result = FailedAt(target.parent_path(), ec);
  } else {
    const StagingFolder staging(target);
    if (staging.error()) {
      result = FailedAt(target, staging.error());
    } else {
      result = unpack(archive_path, staging.path());
      if (result.outcome == UnzipResult::Outcome::kWriteFailed) {
        // Named as the user would find it, not by the hidden folder that is gone with it.
        fs::path file = target;
        if (!result.file.empty()) file /= PathFromUtf8(result.file);
        result.file = Utf8FromPath(file.make_preferred());
      }
      if (result) result = PutInPlace(staging.path(), target, made_target);
    }
  }
  if (!result) {
    if (made_target) platform::RemoveTree(Utf8FromPath(target));
    for (const auto& folder : made) fs::remove(folder, ec);
  }
  return result;
}

}  // namespace

UnzipResult UnzipWith(Unpacker unpack, const std::string& archive, const std::string& target_folder,
                      MainWindow* window) {
  std::error_code ec;
  const fs::path archive_path = fs::absolute(PathFromUtf8(archive), ec);
  const bool missing = !fs::is_regular_file(archive_path, ec);
  const UnzipResult result =
      missing ? Damaged()
              : Extract(unpack, archive_path, fs::absolute(PathFromUtf8(target_folder), ec));
  runlog::Write("arhiva " + Utf8FromPath(archive_path) + ": " +
                (result    ? "raspakirana"
                 : missing ? "ne postoji"
                 : result.outcome == UnzipResult::Outcome::kWriteFailed
                     ? "nije raspakirana: " + result.file + ": " + result.reason
                     : "oštećena"));
  if (!result && window != nullptr) {
    const std::string_view text = missing ? kArchiveMissingText
                                  : result.outcome == UnzipResult::Outcome::kWriteFailed
                                      ? kUnpackFailedText
                                      : kArchiveDamagedText;
    window->SetLabel1(std::string(text) + Utf8FromPath(archive_path.filename()));
  }
  return result;
}

UnzipResult MakeFolders(const fs::path& root, const std::string& relative, bool folder_entry,
                        std::set<fs::path>* made) {
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
    const std::string name = relative.substr(0, end);
    if (fs::exists(status)) {
      if (!folder_entry || start <= relative.size()) return Damaged();
      if (!fs::remove(folder, ec)) return WriteFailed(name, ec);
    }
    if (!fs::create_directory(folder, ec)) {
      return WriteFailed(name, ec ? ec : std::make_error_code(std::errc::file_exists));
    }
    if (made != nullptr) made->insert(folder);
  }
  return {};
}

UnzipResult ClearForFile(const fs::path& root, const std::string& relative) {
  const fs::path path = root / PathFromUtf8(relative);
  std::error_code ec;
  const auto kind = platform::KindOf(Utf8FromPath(path), ec);
  if (ec) return {};
  if (kind == platform::FolderEntry::Kind::kFolder) {
    std::vector<platform::FolderEntry> inside;
    if (platform::ListFolder(Utf8FromPath(path), inside) || !inside.empty()) return Damaged();
  }
  if (!fs::remove(path, ec)) {
    return WriteFailed(relative, ec ? ec : std::make_error_code(std::errc::file_exists));
  }
  return {};
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

UnzipResult Unzip(const std::string& archive, const std::string& target_folder,
                  MainWindow* window) {
  return unzip::UnzipWith(unzip::PlatformUnpack, archive, target_folder, window);
}

}  // namespace zepr
