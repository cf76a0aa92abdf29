#include "install/install_transaction.h"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "config/ini_file.h"
#include "core/path_text.h"
#include "core/run_log.h"
#include "install/file_copy.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;

// A normal path's folder ("" for a bare name) and name; nullopt where the path library decides
// (a root, a drive and what is right below it, a name "." or "..").
std::optional<std::pair<std::string, std::string>> Split(const std::string& normal) {
  const size_t slash = normal.rfind('/');
  std::string name = normal.substr(slash == std::string::npos ? 0 : slash + 1);
  const size_t colon = normal.find(':');
  if (name.empty() || name == "." || name == ".." ||
      (colon != std::string::npos && (colon != 1 || slash == std::string::npos || slash <= 2))) {
    return std::nullopt;
  }
  std::string folder =
      slash == std::string::npos ? "" : normal.substr(0, std::max<size_t>(slash, 1));
  return std::pair(std::move(folder), std::move(name));
}

bool IsReadOnly(const std::string& path) {
  std::error_code ec;
  const auto status = fs::status(PathFromUtf8(path), ec);
  return !ec && fs::exists(status) &&
         (status.permissions() & fs::perms::owner_write) == fs::perms::none;
}

constexpr const char* kLeavesFolderText = "putanja vodi izvan mape aplikacije";

// The folder that holds path and its name there; false for a root (or a path ending in "..").
bool FolderAndName(const std::string& path, std::string& folder, std::string& name) {
  const std::string normal = NormalPath(path);
  if (auto split = Split(normal)) {
    folder = std::move(split->first);
    name = std::move(split->second);
    return true;
  }
  const fs::path parsed = PathFromUtf8(normal);
  if (!parsed.has_relative_path() || parsed.filename() == "..") return false;
  folder = Utf8FromPath(parsed.parent_path());
  name = Utf8FromPath(parsed.filename());
  return true;
}

}  // namespace

std::optional<FolderIndex::Kind> FolderIndex::Find(const std::string& path,
                                                   std::error_code& error) {
  std::string folder, name;
  if (!FolderAndName(path, folder, name)) {
    const fs::path root = PathFromUtf8(NormalPath(path));
    return fs::is_directory(root, error) ? std::optional(Kind::kFolder) : std::nullopt;
  }
  const Listing* listing = Of(folder, error);
  if (listing == nullptr) return std::nullopt;
  const auto found = listing->names.find(name);
  if (found == listing->names.end()) return std::nullopt;
  return found->second;
}

std::string FolderIndex::OnDisk(const std::string& base, const std::string& relative,
                                std::error_code& error) {
  std::string path = base;
  bool exists = true;
  for (size_t start = 0; start <= relative.size();) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    std::string part = relative.substr(start, end - start);
    if (exists && !part.empty() && part != "." && part != "..") {
      const Listing* listing = Of(path.empty() ? "." : path, error);
      if (listing == nullptr) return {};
      if (!listing->names.contains(part)) {
        const auto spelling = listing->spellings.find(FoldedName(part));
        if (spelling == listing->spellings.end()) {
          exists = false;
        } else {
          part = spelling->second;
        }
      }
    }
    path += part;
    if (end < relative.size()) path += '/';
    start = end + 1;
  }
  return path;
}

void FolderIndex::Add(const std::string& path, Kind kind) {
  std::string folder, name;
  std::error_code error;
  if (!FolderAndName(path, folder, name)) return;
  if (Listing* listing = Of(folder, error)) listing->Add(name, kind);
}

void FolderIndex::Listing::Add(const std::string& name, Kind kind) {
  names.emplace(name, kind);
  auto [at, added] = spellings.emplace(FoldedName(name), name);
  if (!added && PathFromUtf8(name) < PathFromUtf8(at->second)) at->second = name;
}

FolderIndex::Listing* FolderIndex::Of(const std::string& folder, std::error_code& error) {
  const std::string key = NormalPath(folder);
  if (auto found = folders_.find(key); found != folders_.end()) return &found->second;
  std::vector<platform::FolderEntry> entries;
  error = platform::ListFolder(key, entries);
  if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
    error.clear();
    entries.clear();
  }
  if (error) return nullptr;
  Listing& listing = folders_[key];
  for (const auto& entry : entries) listing.Add(entry.name, entry.kind);
  return &listing;
}

InstallTransaction::InstallTransaction(InstallJournal& journal, std::string exe_folder)
    : journal_(journal),
      exe_folder_(std::move(exe_folder)),
      app_(NormalPath(exe_folder_)),
      own_journal_(NormalPath(journal.path())),
      own_backups_(NormalPath(journal.backup_folder())),
      own_leftovers_(NormalPath(journal.leftover_folder())) {}

std::string InstallTransaction::Resolve(const std::string& base, const std::string& relative) {
  std::error_code error;
  std::string path = index_.OnDisk(base, relative, error);
  if (error) Fail(base + relative, error);
  return path;
}

std::string InstallTransaction::AsWritten(const std::string& path) {
  const fs::path written = PathFromUtf8(path);
  if (!written.has_root_directory()) return Resolve(exe_folder_, path);
  const std::string root = Utf8FromPath(written.root_path());
  return Resolve(root, path.substr(std::min(root.size(), path.size())));
}

bool InstallTransaction::Copy(const std::string& source, const std::string& target, bool script,
                              bool may_leave) {
  if (target.empty() || !failure_.ok) return false;
  std::error_code ec;
  if (!fs::is_regular_file(fs::status(PathFromUtf8(source), ec))) return true;
  const std::string normal = NormalPath(target);
  if (!may_leave && !IsWithin(normal, app_)) return Fail(target, kLeavesFolderText);
  if (IsOwn(normal)) return true;

  const std::string parent = ParentFolder(target);
  std::optional<Kind> folder = index_.Find(parent, ec);
  if (ec) return Fail(target, ec);
  if (folder == Kind::kLink) {
    folder = fs::is_directory(PathFromUtf8(parent), ec) ? Kind::kFolder : Kind::kOther;
  }
  // A script copy into a folder this installation does not have was always passed over:
  // scripts create their folders in DIR_ sections, and nothing here was about to change.
  if (!folder && script) return true;
  if (!folder) return Fail(target, std::make_error_code(std::errc::no_such_file_or_directory));
  if (*folder != Kind::kFolder) {
    return Fail(target, std::make_error_code(std::errc::not_a_directory));
  }
  const std::optional<Kind> existing = index_.Find(target, ec);
  if (ec) return Fail(target, ec);
  if (existing == Kind::kFolder) {
    return Fail(target, std::make_error_code(std::errc::is_a_directory));
  }
  if (existing && !script && IsReadOnly(target)) return true;

  // Written a second time (script copy, then mirror): the first record keeps the original.
  const bool first = touched_.insert(normal).second;
  Planned file{source, target, TemporaryBeside(target), "", existing.has_value()};
  if (first) {
    if (existing) file.backup = "b" + std::to_string(++backups_);
    journal_.Add({existing ? JournalRecord::Kind::kReplaced : JournalRecord::Kind::kNewFile, target,
                  file.backup, file.temporary});
  }
  index_.Add(target, Kind::kFile);
  batch_.push_back(std::move(file));
  return batch_.size() < kBatchFiles || Flush();
}

bool InstallTransaction::CreateFolder(const std::string& folder, bool may_leave) {
  if (folder.empty() || !failure_.ok) return false;
  const std::string normal = NormalPath(folder);
  if (!may_leave && !IsWithin(normal, app_)) return Fail(folder, kLeavesFolderText);
  std::error_code ec;
  if (IsOwn(normal) || index_.Find(folder, ec) || ec || !index_.Find(ParentFolder(folder), ec)) {
    return true;
  }
  journal_.Add({JournalRecord::Kind::kFolder, folder, "", ""});
  folders_.push_back(folder);
  index_.Add(folder, Kind::kFolder);
  return true;
}

bool InstallTransaction::Flush() {
  if (!failure_.ok) return false;
  if (auto error = journal_.Flush()) {
    return Fail(batch_.empty() ? journal_.path() : batch_.front().target, error);
  }
  for (const auto& folder : folders_) {
    std::error_code ec;
    fs::create_directory(PathFromUtf8(folder), ec);
    runlog::Write("napravljena mapa: " + folder);
  }
  folders_.clear();
  for (const auto& file : batch_) {
    const std::string replaced = file.replaces ? file.target : "";
    std::error_code error = platform::CopyFileAs(file.source, file.temporary, replaced, false);
    // A failed copy leaves nothing at the temporary's name: what stands there was left by an
    // install killed midway.
    if (error && !platform::RemoveFile(file.temporary)) {
      error = platform::CopyFileAs(file.source, file.temporary, replaced, false);
    }
    if (error) return Fail(file.target, error);
    if (!file.backup.empty()) {
      const std::string backup = journal_.BackupPath(file.backup);
      // A target on another file system than the backup folder is backed up by a copy.
      if (std::error_code error = platform::Rename(file.target, backup)) {
        if (platform::OnAnotherFileSystem(error)) {
          error = journal_.BackUp(file.target, file.backup);
        }
        if (error) return Fail(file.target, error);
      }
    }
    if (auto error = platform::Rename(file.temporary, file.target)) {
      return Fail(file.target, error);
    }
    runlog::Write((file.replaces ? "zamijenjena datoteka: " : "dodana datoteka: ") + file.target);
    ++(file.replaces ? replaced_ : added_);
  }
  batch_.clear();
  return true;
}

bool InstallTransaction::Fail(const std::string& file, const std::error_code& error) {
  return Fail(file, error.message());
}
bool InstallTransaction::Fail(const std::string& file, const std::string& reason) {
  if (failure_.ok) {
    failure_ = {false, file, reason};
    runlog::Write("instalacija nije uspjela: " + file + ": " + reason);
  }
  return false;
}

void InstallTransaction::CountInstalled() const {
  runlog::Count(runlog::Tally::kFilesReplaced, replaced_);
  runlog::Count(runlog::Tally::kFilesAdded, added_);
}

bool InstallTransaction::IsOwn(const std::string& normal) const {
  return normal == own_journal_ || normal == own_backups_ || IsWithin(normal, own_backups_) ||
         normal == own_leftovers_ || IsWithin(normal, own_leftovers_);
}

}  // namespace zepr
