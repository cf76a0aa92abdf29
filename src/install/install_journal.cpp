#include "install/install_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <set>

namespace zepr {
namespace {

namespace fs = std::filesystem;

// Names may hold any byte but NUL, so each field is length-prefixed; a checksum per record
// tells where a write cut short by a power loss ends the journal.
constexpr std::string_view kHeader = "ZEPR install journal 1\n";

std::error_code LastError() { return {errno, std::generic_category()}; }

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

std::error_code SyncFolder(const std::string& folder) {
  const UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd || fsync(fd.get()) != 0) return LastError();
  return {};
}

std::string ParentOf(const std::string& path) {
  std::string parent = fs::path(path).parent_path().string();
  return parent.empty() ? "." : parent;
}

// Copies a file or a link, with its permissions, owner and time, so that it can stand for the
// original; the copy appears at path whole or not at all.
std::error_code CopyExactly(const std::string& from, const std::string& path) {
  struct stat link {};
  if (lstat(from.c_str(), &link) != 0) return LastError();
  const std::string partial = path + ".part";
  unlink(partial.c_str());
  std::error_code error;
  if (S_ISLNK(link.st_mode)) {
    fs::copy_symlink(from, partial, error);
  } else {
    error = CopyFileAs(from, partial, from);
  }
  if (!error && rename(partial.c_str(), path.c_str()) != 0) error = LastError();
  if (error) unlink(partial.c_str());
  return error;
}

}  // namespace

std::unique_ptr<InstallJournal> InstallJournal::Take(const std::string& update_folder, bool wait,
                                                     std::error_code& error) {
  error.clear();
  const std::string path = update_folder + kJournalName;
  for (;;) {
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) {
      error = LastError();
      return nullptr;
    }
    if (flock(fd.get(), wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) error = LastError();
      return nullptr;
    }
    // The holder before us may have removed the journal while we waited for it: then the lock
    // is on a file nobody else will see, and the journal is taken afresh.
    struct stat held {
    }, named{};
    if (fstat(fd.get(), &held) == 0 && stat(path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      std::unique_ptr<InstallJournal> journal(new InstallJournal(update_folder, std::move(fd)));
      journal->Read();
      return journal;
    }
  }
}

InstallJournal::InstallJournal(std::string update_folder, UniqueFd fd)
    : update_folder_(std::move(update_folder)),
      path_(update_folder_ + kJournalName),
      backup_folder_(update_folder_ + kBackupName),
      fd_(std::move(fd)) {}

InstallJournal::~InstallJournal() = default;

void InstallJournal::Read() {
  std::string bytes;
  char buffer[1 << 16];
  for (off_t at = 0;;) {
    const ssize_t n = pread(fd_.get(), buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
    at += n;
  }
  if (!bytes.starts_with(kHeader)) return;
  size_t at = kHeader.size();
  for (JournalRecord record; Decode(bytes, at, record);) records_.push_back(record);
}

std::error_code InstallJournal::Begin() {
  records_.clear();
  unwritten_.clear();
  std::error_code error;
  fs::remove_all(backup_folder_, error);
  if (error) return error;
  if (mkdir(backup_folder_.c_str(), 0700) != 0) return LastError();
  if (ftruncate(fd_.get(), 0) != 0 ||
      pwrite(fd_.get(), kHeader.data(), kHeader.size(), 0) !=
          static_cast<ssize_t>(kHeader.size()) ||
      fdatasync(fd_.get()) != 0) {
    return LastError();
  }
  // The journal's own name must be on disk before the first change it describes.
  return SyncFolder(update_folder_);
}

void InstallJournal::Add(JournalRecord record) {
  unwritten_ += Encode(record);
  records_.push_back(std::move(record));
}

std::error_code InstallJournal::Flush() {
  if (unwritten_.empty()) return {};
  struct stat st {};
  if (fstat(fd_.get(), &st) != 0) return LastError();
  for (size_t done = 0; done < unwritten_.size();) {
    const ssize_t n = pwrite(fd_.get(), unwritten_.data() + done, unwritten_.size() - done,
                             st.st_size + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastError();
    done += static_cast<size_t>(n);
  }
  if (fdatasync(fd_.get()) != 0) return LastError();
  unwritten_.clear();
  return {};
}

std::error_code InstallJournal::BackUp(const std::string& path, const std::string& backup) const {
  const std::string copy = backup_folder_ + backup;
  if (auto error = CopyExactly(path, copy)) return error;
  const UniqueFd fd(open(copy.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd && fsync(fd.get()) != 0) return LastError();
  return SyncFolder(backup_folder_);
}

void InstallJournal::Undo() const {
  for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
    const JournalRecord& record = *it;
    struct stat st {};
    switch (record.kind) {
      case JournalRecord::Kind::kFolder:
        // Only when empty: what else is in it was not put there by the install.
        rmdir(record.path.c_str());
        break;
      case JournalRecord::Kind::kNewFile:
        if (lstat(record.path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
          unlink(record.path.c_str());
        }
        break;
      case JournalRecord::Kind::kReplaced: {
        const std::string backup = backup_folder_ + record.backup;
        if (lstat(backup.c_str(), &st) != 0) break;  // the old file was never moved
        // A backup on another file system was copied there; it is copied back the same way.
        if (rename(backup.c_str(), record.path.c_str()) != 0 && errno == EXDEV &&
            !CopyExactly(backup, record.temporary)) {
          rename(record.temporary.c_str(), record.path.c_str());
        }
        break;
      }
    }
    if (!record.temporary.empty()) unlink(record.temporary.c_str());  // left by a kill
  }
}

void InstallJournal::Finish() {
  if (!records_.empty()) {
    // What was installed, or put back, reaches the disk before the journal that could put it
    // back is gone: after a power cut the files are whole, old or new.
    std::set<dev_t> synced;
    for (const auto& record : records_) {
      const std::string folder = ParentOf(record.path);
      struct stat st {};
      if (stat(folder.c_str(), &st) != 0 || !synced.insert(st.st_dev).second) continue;
      const UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (fd) syncfs(fd.get());
    }
  }
  unlink(path_.c_str());
  // A backup removed while the journal still named it would leave the next recovery half the
  // old files.
  SyncFolder(update_folder_);
  std::error_code error;
  fs::remove_all(backup_folder_, error);
  fd_ = UniqueFd();
}

}  // namespace zepr
