#include "install/install_journal.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>

#include "config/ini_file.h"
#include "core/path_text.h"
#include "platform/files.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;

// Names may hold any byte but NUL, so each field is length-prefixed; a checksum per record
// tells where a write cut short by a power loss ends the journal.
constexpr std::string_view kHeader = "ZEPR install journal 1\n";

void Put32(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
}

uint32_t Get32(std::string_view bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

uint32_t Checksum(std::string_view bytes) {
  uint32_t hash = 2166136261u;
  for (char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return hash;
}

std::string Encode(const JournalRecord& record) {
  std::string out(1, static_cast<char>(record.kind));
  for (const std::string* field : {&record.path, &record.backup, &record.temporary}) {
    Put32(out, static_cast<uint32_t>(field->size()));
    out += *field;
  }
  Put32(out, Checksum(out));
  return out;
}

// Decodes the record at bytes[at], advancing at; false at the end or at a damaged record.
bool Decode(std::string_view bytes, size_t& at, JournalRecord& record) {
  size_t pos = at;
  if (pos >= bytes.size()) return false;
  const char kind = bytes[pos++];
  if (kind != 'F' && kind != 'N' && kind != 'R') return false;
  record.kind = static_cast<JournalRecord::Kind>(kind);
  for (std::string* field : {&record.path, &record.backup, &record.temporary}) {
    if (bytes.size() - pos < 4) return false;
    const uint32_t length = Get32(bytes, pos);
    pos += 4;
    if (bytes.size() - pos < length) return false;
    field->assign(bytes.substr(pos, length));
    pos += length;
  }
  if (bytes.size() - pos < 4 || Get32(bytes, pos) != Checksum(bytes.substr(at, pos - at))) {
    return false;
  }
  at = pos + 4;
  return !record.path.empty();
}

// Copies a file or a link, with its permissions, owner and time, so that it can stand for the
// original; the copy appears at path whole or not at all.
std::error_code CopyExactly(const std::string& from, const std::string& path) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(PathFromUtf8(from), error);
  if (error) return error;
  const std::string partial = path + ".part";
  platform::RemoveFile(partial);
  if (fs::is_symlink(status)) {
    fs::copy_symlink(PathFromUtf8(from), PathFromUtf8(partial), error);
  } else {
    error = platform::CopyFileAs(from, partial, from, false);
  }
  if (!error) error = platform::Rename(partial, path);
  if (error) platform::RemoveFile(partial);
  return error;
}

// A name of the backup folder itself, as Install writes them: never a path.
bool PlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\:") == std::string::npos;
}

constexpr const char* kDamagedText = "zapis instalacije je oštećen";
constexpr const char* kOutsideText = "zapis navodi putanju izvan mape aplikacije: ";

}  // namespace

std::string WithSeparator(std::string folder) {
  if (!folder.ends_with('/') &&
      !folder.ends_with(static_cast<char>(fs::path::preferred_separator))) {
    folder += '/';
  }
  return folder;
}

std::error_code ClearForFolder(const std::string& path) {
  std::error_code error;
  const auto kind = platform::KindOf(path, error);
  if (error || kind == platform::FolderEntry::Kind::kFolder) return {};
  return platform::RemoveFile(path);
}

std::unique_ptr<InstallJournal> InstallJournal::Take(const std::string& update_folder, bool wait,
                                                     std::error_code& error) {
  // Whatever stands at the journal's name and is no file was not put there by an install: a
  // link would have the records read and written elsewhere.
  const std::string path = update_folder + kJournalName;
  std::error_code kind_error;
  if (platform::KindOf(path, kind_error) != platform::FolderEntry::Kind::kFile && !kind_error &&
      (error = platform::RemoveTree(path))) {
    return nullptr;
  }
  platform::File file = platform::File::OpenLocked(path, wait, error);
  if (!file) return nullptr;
  std::unique_ptr<InstallJournal> journal(new InstallJournal(update_folder, std::move(file)));
  journal->Read();
  return journal;
}

InstallJournal::InstallJournal(std::string update_folder, platform::File file)
    : update_folder_(std::move(update_folder)),
      app_folder_(ParentFolder(update_folder_)),
      path_(update_folder_ + kJournalName),
      backup_folder_(update_folder_ + kBackupName),
      leftover_folder_(update_folder_ + kLeftoverName),
      file_(std::move(file)) {}

InstallJournal::~InstallJournal() = default;

bool InstallJournal::Trusted(const JournalRecord& record) const {
  const std::string path = NormalPath(record.path);
  if (!IsWithin(path, app_folder_) || path == NormalPath(path_) ||
      path == NormalPath(backup_folder_) || IsWithin(path, backup_folder_)) {
    return false;
  }
  if ((record.kind == JournalRecord::Kind::kReplaced) != !record.backup.empty()) return false;
  if (!record.backup.empty() && !PlainName(record.backup)) return false;
  return record.temporary.empty() || (IsWithin(record.temporary, app_folder_) &&
                                      ParentFolder(record.temporary) == ParentFolder(record.path));
}

void InstallJournal::Read() {
  std::string bytes;
  if (file_.ReadAll(bytes)) doubt_ = kDamagedText;
  // A header cut short by a power loss: nothing had been changed yet.
  if (bytes.size() < kHeader.size() && kHeader.starts_with(bytes)) return;
  if (!bytes.starts_with(kHeader)) {
    doubt_ = kDamagedText;
    return;
  }
  size_t at = kHeader.size();
  while (at < bytes.size()) {
    JournalRecord record;
    if (Decode(bytes, at, record)) {
      if (Trusted(record)) {
        records_.push_back(std::move(record));
      } else if (doubt_.empty()) {
        doubt_ = kOutsideText + record.path;
      }
      continue;
    }
    // A record that does not check out ends the journal when nothing after it does: a write cut
    // short by a power loss, whose changes were never made. A record further on that checks out
    // means damage in between; what can be read is still used.
    size_t next = at + 1;
    for (; next < bytes.size(); ++next) {
      size_t probe = next;
      if (Decode(bytes, probe, record)) break;
    }
    if (next >= bytes.size()) break;
    if (doubt_.empty()) doubt_ = kDamagedText;
    at = next;
  }
}

bool InstallJournal::HasWork() const { return !records_.empty() || !doubt_.empty(); }

std::error_code InstallJournal::SetAside(const std::string& path) const {
  std::vector<platform::FolderEntry> there;
  std::error_code error;
  if (platform::KindOf(leftover_folder_, error) != platform::FolderEntry::Kind::kFolder) {
    if ((error = ClearForFolder(leftover_folder_)) ||
        (error = platform::CreatePrivateFolder(leftover_folder_))) {
      return error;
    }
  } else if ((error = platform::ListFolder(leftover_folder_, there))) {
    return error;
  }
  // Under a name no earlier leftover has, in any letter case.
  const std::string base = Utf8FromPath(PathFromUtf8(path).filename());
  std::string name = base;
  const auto taken = [&there](const std::string& candidate) {
    return std::any_of(there.begin(), there.end(), [&candidate](const auto& entry) {
      return NamesEqualNoCase(entry.name, candidate);
    });
  };
  for (int n = 1; taken(name); ++n) name = base + "." + std::to_string(n);
  return platform::Rename(path, leftover_folder_ + "/" + name);
}

std::error_code InstallJournal::ClearBackups() const {
  // Without a trailing separator a link at the name is removed itself, never what it leads to.
  const std::error_code removed = platform::RemoveTree(backup_folder_);
  if (!removed) return {};
  std::vector<platform::FolderEntry> left;
  if (platform::ListFolder(backup_folder_, left)) return removed;
  for (const auto& entry : left) {
    if (auto error = SetAside(BackupPath(entry.name))) return error;
  }
  return platform::RemoveEmptyFolder(backup_folder_);
}

std::error_code InstallJournal::Begin() {
  records_.clear();
  unwritten_.clear();
  doubt_.clear();
  std::error_code error;
  if ((error = ClearBackups())) return error;
  if ((error = platform::CreatePrivateFolder(backup_folder_))) return error;
  if ((error = file_.Truncate(0)) || (error = file_.WriteAt(kHeader, 0)) ||
      (error = file_.SyncData())) {
    return error;
  }
  // The journal's own name must be on disk before the first change it describes.
  return platform::SyncFolder(update_folder_);
}

void InstallJournal::Add(JournalRecord record) {
  unwritten_ += Encode(record);
  records_.push_back(std::move(record));
}

std::error_code InstallJournal::Flush() {
  if (unwritten_.empty()) return {};
  if (auto error = file_.Append(unwritten_)) return error;
  if (auto error = file_.SyncData()) return error;
  unwritten_.clear();
  return {};
}

std::error_code InstallJournal::BackUp(const std::string& path, const std::string& backup) const {
  const std::string copy = BackupPath(backup);
  if (auto error = CopyExactly(path, copy)) return error;
  if (auto error = platform::SyncFile(copy)) return error;
  return platform::SyncFolder(backup_folder_);
}

UndoResult InstallJournal::Undo() const {
  UndoResult result;
  const auto failed = [&result](const std::string& path, const std::error_code& error) {
    if (!result.complete) return;
    result.complete = false;
    result.reason = path + ": " + error.message();
  };
  for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
    const JournalRecord& record = *it;
    std::error_code ec;
    switch (record.kind) {
      case JournalRecord::Kind::kFolder:
        // Only when empty: what else is in it was not put there by the install.
        platform::RemoveEmptyFolder(record.path);
        break;
      case JournalRecord::Kind::kNewFile: {
        const auto kind = platform::KindOf(record.path, ec);
        if (!ec && kind != platform::FolderEntry::Kind::kFolder) {
          std::error_code error = platform::RemoveFile(record.path);
          // In use (a library that a program started since has loaded): it goes aside.
          if (error && kind == platform::FolderEntry::Kind::kFile && !SetAside(record.path)) {
            error.clear();
          }
          if (error) failed(record.path, error);
        }
        break;
      }
      case JournalRecord::Kind::kReplaced: {
        const std::string backup = BackupPath(record.backup);
        // The old file was never moved, or is back already.
        platform::KindOf(backup, ec);
        if (ec) break;
        std::error_code error = platform::Rename(backup, record.path);
        // A backup on another file system was copied there; it is copied back the same way.
        if (platform::OnAnotherFileSystem(error)) {
          error = CopyExactly(backup, record.temporary);
          if (!error) error = platform::Rename(record.temporary, record.path);
          if (!error) error = platform::RemoveFile(backup);
        } else if (error &&
                   platform::KindOf(record.path, ec) == platform::FolderEntry::Kind::kFile && !ec &&
                   !SetAside(record.path)) {
          // The new file is in use (the new updater undoing the install that put it in place):
          // Windows lets it be renamed, not replaced.
          error = platform::Rename(backup, record.path);
        }
        if (error) failed(record.path, error);
        break;
      }
    }
    if (!record.temporary.empty()) platform::RemoveFile(record.temporary);  // left by a kill
  }
  // What is left in the backup folder is an old file nobody could put back: it stays. Copies
  // cut short by a kill are no backups.
  std::vector<platform::FolderEntry> left;
  const std::error_code listed = platform::ListFolder(backup_folder_, left);
  if (listed && listed != std::errc::no_such_file_or_directory) failed(backup_folder_, listed);
  for (const auto& entry : left) {
    if (entry.name.ends_with(".part") && !platform::RemoveFile(BackupPath(entry.name))) continue;
    result.backups_kept = true;
  }
  if (result.backups_kept) result.complete = false;
  if (result.reason.empty() && !result.complete) result.reason = doubt_;
  return result;
}

std::error_code InstallJournal::Finish() {
  // What was installed, or put back, reaches the disk before the journal that could put it back
  // is gone: after a power cut the files are whole, old or new. Each file and folder is flushed
  // itself, since not every file system passes a flush of the whole file system down.
  std::vector<std::string> files, folders;
  for (const auto& record : records_) {
    folders.push_back(ParentFolder(record.path));
    std::error_code ec;
    if (record.kind != JournalRecord::Kind::kFolder &&
        platform::KindOf(record.path, ec) == platform::FolderEntry::Kind::kFile && !ec) {
      files.push_back(record.path);
    }
  }
  if (auto error = platform::SyncFiles(files)) return error;
  std::sort(folders.begin(), folders.end());
  folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
  for (const auto& folder : folders) {
    const std::error_code error = platform::SyncFolder(folder);
    if (error && error != std::errc::no_such_file_or_directory) return error;
  }
  file_.RemoveName(path_);
  // A backup removed while the journal still named it would leave the next recovery half the
  // old files.
  platform::SyncFolder(update_folder_);
  ClearBackups();
  // Old files set aside by earlier installs go once they are free.
  platform::RemoveTree(leftover_folder_);
  file_ = platform::File();
  return {};
}

void InstallJournal::Keep() { file_ = platform::File(); }

}  // namespace zepr
