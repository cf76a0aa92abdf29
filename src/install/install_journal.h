#pragma once

#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/files.h"

namespace zepr {

// One change of an install: made, or about to be made.
struct JournalRecord {
  enum class Kind : char { kFolder = 'F', kNewFile = 'N', kReplaced = 'R' };
  Kind kind = Kind::kNewFile;
  std::string path;       // the folder or file changed
  std::string backup;     // kReplaced: the old file's name in the backup folder
  std::string temporary;  // the new file is written here first, beside path
  bool operator==(const JournalRecord&) const = default;
};

// The journal of an install, "Install.journal" in the working folder, with the backup folder
// "Install.backup/" beside it. Whoever holds an InstallJournal holds the lock on it: no other
// updater installs or undoes an install meanwhile.
class InstallJournal {
 public:
  static constexpr const char* kJournalName = "Install.journal";
  static constexpr const char* kBackupName = "Install.backup/";

  // Takes the journal of update_folder (an existing folder, with a trailing separator),
  // creating it when missing. Waits while another process holds it when wait, else gives
  // nullptr then. Gives nullptr with error set when the journal cannot be opened.
  static std::unique_ptr<InstallJournal> Take(const std::string& update_folder, bool wait,
                                              std::error_code& error);
  ~InstallJournal();
  InstallJournal(const InstallJournal&) = delete;
  InstallJournal& operator=(const InstallJournal&) = delete;

  const std::string& path() const { return path_; }
  const std::string& backup_folder() const { return backup_folder_; }
  // What the journal held when taken (left by an interrupted install) and what was added since.
  const std::vector<JournalRecord>& records() const { return records_; }

  // Starts an install: an empty journal and an empty backup folder, both on disk.
  std::error_code Begin();
  // Records a change before it is made; the record reaches the disk with the next Flush.
  void Add(JournalRecord record);
  bool HasUnwritten() const { return !unwritten_.empty(); }
  // Writes the added records and waits until they are on disk.
  std::error_code Flush();
  // Keeps a copy of the file (or link) at path as the backup of that name, on disk before it
  // returns: for files on another file system than the backup folder, where no rename reaches.
  std::error_code BackUp(const std::string& path, const std::string& backup) const;
  // Puts back what the records describe, newest first, as far as it had been done. Failures
  // are passed over; every step may be repeated after an interruption.
  void Undo() const;
  // Ends the install, completed or undone: waits until the files are on disk, then removes
  // the journal (from then on the install counts as completed) and the backup folder, and
  // lets go of the lock.
  void Finish();

 private:
  InstallJournal(std::string update_folder, platform::File file);
  void Read();

  std::string update_folder_;
  std::string path_;
  std::string backup_folder_;
  platform::File file_;
  std::vector<JournalRecord> records_;
  std::string unwritten_;
};

}  // namespace zepr
