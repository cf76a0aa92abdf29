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

// What undoing an install came to.
struct UndoResult {
  // Every change the records name is put back, and nothing is left in the backup folder.
  bool complete = true;
  // Backups that could not be placed are still in the backup folder.
  bool backups_kept = false;
  std::string reason;  // the first reason it is not complete
};

// The journal of an install, "Install.journal" in the working folder, with the backup folder
// "Install.backup" beside it. Whoever holds an InstallJournal holds the lock on it: no other
// updater installs or undoes an install meanwhile. Neither name is ever followed as a link.
//
// Old files of a completed install that are still in use (the updater that replaced itself, a
// library that a program which was not stopped has loaded) cannot be removed on Windows, only
// renamed: they wait in "Install.leftover" beside the journal, which nothing needs any more, so
// the backup folder holds nothing but the backups of the install under way.
class InstallJournal {
 public:
  static constexpr const char* kJournalName = "Install.journal";
  static constexpr const char* kBackupName = "Install.backup";
  static constexpr const char* kLeftoverName = "Install.leftover";

  // Takes the journal of update_folder (an existing folder, with a trailing separator, in the
  // application folder it belongs to), creating it when missing. Waits while another process
  // holds it when wait, else gives nullptr then. Gives nullptr with error set when the journal
  // cannot be opened.
  static std::unique_ptr<InstallJournal> Take(const std::string& update_folder, bool wait,
                                              std::error_code& error);
  ~InstallJournal();
  InstallJournal(const InstallJournal&) = delete;
  InstallJournal& operator=(const InstallJournal&) = delete;

  const std::string& path() const { return path_; }
  // Without a trailing separator.
  const std::string& backup_folder() const { return backup_folder_; }
  std::string BackupPath(const std::string& name) const { return backup_folder_ + "/" + name; }
  // Without a trailing separator.
  const std::string& leftover_folder() const { return leftover_folder_; }
  // What the journal held when taken (left by an interrupted install) and what was added since.
  // Records read from disk that name anything outside the application folder, or a backup
  // outside the backup folder, are not among them.
  const std::vector<JournalRecord>& records() const { return records_; }
  // Why the journal on disk cannot be trusted whole (damaged, or records refused); empty when
  // it can.
  const std::string& doubt() const { return doubt_; }
  // Whether an interrupted install left anything to undo or to keep. Backups without records
  // are those of a completed install (the journal goes first): nothing to keep.
  bool HasWork() const;

  // Starts an install: an empty journal and an empty backup folder, both on disk; what an
  // earlier install left in the backup folder is removed or, in use, set aside.
  std::error_code Begin();
  // Records a change before it is made; the record reaches the disk with the next Flush.
  void Add(JournalRecord record);
  bool HasUnwritten() const { return !unwritten_.empty(); }
  // Writes the added records and waits until they are on disk.
  std::error_code Flush();
  // Keeps a copy of the file (or link) at path as the backup of that name, on disk before it
  // returns: for files on another file system than the backup folder, where no rename reaches.
  std::error_code BackUp(const std::string& path, const std::string& backup) const;
  // Puts back what the records describe, newest first, as far as it had been done. Every step
  // may be repeated after an interruption. A backup leaves the backup folder only by being put
  // back in place. A new file in use, which Windows neither removes nor replaces, is set aside
  // in the leftover folder.
  UndoResult Undo() const;
  // Ends the install, completed or wholly undone: waits until every changed file and folder is
  // on disk, then removes the journal (from then on the install counts as completed) and the
  // backup folder (setting aside what is in use), and lets go of the lock. An error when the
  // changes could not be made durable: then nothing is removed.
  std::error_code Finish();
  // Lets go of the lock and leaves the journal and the backups for a later start.
  void Keep();

 private:
  InstallJournal(std::string update_folder, platform::File file);
  void Read();
  bool Trusted(const JournalRecord& record) const;
  // Moves the file at path into the leftover folder, where nothing is needed any more.
  std::error_code SetAside(const std::string& path) const;
  // Removes the backup folder; old files in it that cannot be removed go to the leftover folder.
  std::error_code ClearBackups() const;

  std::string update_folder_;
  std::string app_folder_;  // normal form, without a trailing separator
  std::string path_;
  std::string backup_folder_;
  std::string leftover_folder_;
  platform::File file_;
  std::vector<JournalRecord> records_;
  std::string doubt_;
  std::string unwritten_;
};

// A folder given to the updater ends with a separator or gets one.
std::string WithSeparator(std::string folder);

// Removes whatever stands at path when it is not a real folder: a link (the link itself, never
// what it leads to), a file. Nothing when a folder or nothing is there.
std::error_code ClearForFolder(const std::string& path);

}  // namespace zepr
