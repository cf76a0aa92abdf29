#include "install/install_journal.h"

#include <cstdint>
#include <filesystem>

#include "core/path_text.h"
#include "install/files.h"

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
    error = CopyFileAs(from, partial, from);
  }
  if (!error) error = platform::Rename(partial, path);
  if (error) platform::RemoveFile(partial);
  return error;
}

}  // namespace

std::unique_ptr<InstallJournal> InstallJournal::Take(const std::string& update_folder, bool wait,
                                                     std::error_code& error) {
  platform::File file = platform::File::OpenLocked(update_folder + kJournalName, wait, error);
  if (!file) return nullptr;
  std::unique_ptr<InstallJournal> journal(new InstallJournal(update_folder, std::move(file)));
  journal->Read();
  return journal;
}

InstallJournal::InstallJournal(std::string update_folder, platform::File file)
    : update_folder_(std::move(update_folder)),
      path_(update_folder_ + kJournalName),
      backup_folder_(update_folder_ + kBackupName),
      file_(std::move(file)) {}

InstallJournal::~InstallJournal() = default;

void InstallJournal::Read() {
  // A journal that cannot be read whole ends where the reading stopped, as a cut one does.
  std::string bytes;
  file_.ReadAll(bytes);
  if (!bytes.starts_with(kHeader)) return;
  size_t at = kHeader.size();
  for (JournalRecord record; Decode(bytes, at, record);) records_.push_back(record);
}

std::error_code InstallJournal::Begin() {
  records_.clear();
  unwritten_.clear();
  std::error_code error;
  if ((error = platform::RemoveTree(backup_folder_))) return error;
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
  const std::string copy = backup_folder_ + backup;
  if (auto error = CopyExactly(path, copy)) return error;
  if (auto error = platform::SyncFile(copy)) return error;
  return platform::SyncFolder(backup_folder_);
}

void InstallJournal::Undo() const {
  for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
    const JournalRecord& record = *it;
    std::error_code ec;
    switch (record.kind) {
      case JournalRecord::Kind::kFolder:
        // Only when empty: what else is in it was not put there by the install.
        platform::RemoveEmptyFolder(record.path);
        break;
      case JournalRecord::Kind::kNewFile: {
        const fs::file_status status = fs::symlink_status(PathFromUtf8(record.path), ec);
        if (!ec && !fs::is_directory(status)) platform::RemoveFile(record.path);
        break;
      }
      case JournalRecord::Kind::kReplaced: {
        const std::string backup = backup_folder_ + record.backup;
        // The old file was never moved.
        if (!fs::exists(fs::symlink_status(PathFromUtf8(backup), ec))) break;
        // A backup on another file system was copied there; it is copied back the same way.
        if (platform::OnAnotherFileSystem(platform::Rename(backup, record.path)) &&
            !CopyExactly(backup, record.temporary)) {
          platform::Rename(record.temporary, record.path);
        }
        break;
      }
    }
    if (!record.temporary.empty()) platform::RemoveFile(record.temporary);  // left by a kill
  }
}

void InstallJournal::Finish() {
  if (!records_.empty()) {
    // What was installed, or put back, reaches the disk before the journal that could put it
    // back is gone: after a power cut the files are whole, old or new.
    std::vector<std::string> paths;
    for (const auto& record : records_) paths.push_back(record.path);
    platform::SyncFileSystemsOf(paths);
  }
  file_.RemoveName(path_);
  // A backup removed while the journal still named it would leave the next recovery half the
  // old files.
  platform::SyncFolder(update_folder_);
  platform::RemoveTree(backup_folder_);
  file_ = platform::File();
}

}  // namespace zepr
