#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "install/install_journal.h"
#include "platform/files.h"

namespace zepr {

// How an install ended. All or nothing: when a file cannot be installed (its folder missing, a
// folder in its place, a full disk), every file and folder the install changed is put back as
// it was and the result names the file and the system's reason; an old file that cannot be put
// back stays in the backup folder (kept_in).
struct InstallResult {
  bool ok = true;
  std::string file;     // the file that could not be installed
  std::string reason;   // the system's reason
  std::string kept_in;  // not empty: old files could not all be put back; they are kept there
};

// What the folders an install touches hold, each read from the disk once and kept current with
// the install's own changes: the files come from Windows, where letter case does not tell names
// apart, and looking for another spelling of each new name in a large folder would cost a
// listing of that folder per file.
class FolderIndex {
 public:
  using Kind = platform::FolderEntry::Kind;

  // What stands at path; nullopt when nothing. An error when its folder cannot be listed.
  std::optional<Kind> Find(const std::string& path, std::error_code& error);
  // base + relative, each part of relative that exists in another spelling spelled as it
  // exists (the first in name order); parts that exist in no spelling stay as written, and so
  // does the rest after them. Empty with error when a folder cannot be listed.
  std::string OnDisk(const std::string& base, const std::string& relative, std::error_code& error);
  // A name the install is about to make.
  void Add(const std::string& path, Kind kind);

 private:
  struct Listing {
    std::unordered_map<std::string, Kind> names;
    std::unordered_map<std::u32string, std::string> spellings;
    void Add(const std::string& name, Kind kind);
  };

  // A folder that does not exist lists nothing; one that cannot be listed gives nullptr.
  Listing* Of(const std::string& folder, std::error_code& error);

  std::unordered_map<std::string, Listing> folders_;
};

// The changes of one install, each journaled before it is made, so that a failure, or the
// next start after a crash, puts the application folder back as it was.
//
// Flushing the journal to disk once per file would cost more than copying most files, so files
// go in batches: the records of a batch (each naming its target, its backup and the temporary
// file beside the target) are written with one fdatasync, and only then are the batch's folders
// made and its files copied and moved into place, the old file into the backup folder first. A
// record whose change never happened is harmless to undo: no backup of that name exists, no new
// file, folder or temporary stands at that name. The new files reach the disk once, at the end,
// before the journal goes.
class InstallTransaction {
 public:
  // exe_folder is the application's folder, with a trailing separator.
  InstallTransaction(InstallJournal& journal, std::string exe_folder);

  // base + relative as the disk spells it (see FolderIndex::OnDisk); empty when the install
  // failed.
  std::string Resolve(const std::string& base, const std::string& relative);
  // A folder of the script as written: absolute (from the root, on Windows also with a drive or
  // a server), or relative to the application's folder (where the updater is normally started,
  // so both readings agree).
  std::string AsWritten(const std::string& path);
  // Installs source at target. Script copies replace read-only files; the mirror leaves them.
  // A source that is not a file is passed over. Only a target of the script's absolute forms
  // (may_leave) lies outside the application folder. False when the install failed (see
  // failure()).
  bool Copy(const std::string& source, const std::string& target, bool script, bool may_leave);
  // Creates the folder unless something exists there; one level at a time, so a folder whose
  // parent is missing is passed over (the copies that need it fail). The folder is made with
  // the batch, once its record is on disk: then an interrupted install never leaves it behind.
  bool CreateFolder(const std::string& folder, bool may_leave);
  // Makes the batch's changes.
  bool Flush();
  // Ends the install as failed, naming the file and the reason, unless it failed already.
  // Always false.
  bool Fail(const std::string& file, const std::error_code& error);
  bool Fail(const std::string& file, const std::string& reason);

  const InstallResult& failure() const { return failure_; }
  // Adds the files that stay to the run's tallies.
  void CountInstalled() const;

 private:
  using Kind = FolderIndex::Kind;

  // Bounds the journal records written ahead of their changes.
  static constexpr size_t kBatchFiles = 256;

  struct Planned {
    std::string source;
    std::string target;
    std::string temporary;
    std::string backup;  // where the old file goes; empty when it is already kept
    bool replaces;       // something stood at target when the copy was planned
  };

  // The install's own journal, backups and leftovers are never a target.
  bool IsOwn(const std::string& normal) const;

  InstallJournal& journal_;
  const std::string exe_folder_;
  const std::string app_, own_journal_, own_backups_, own_leftovers_;  // normal forms
  FolderIndex index_;
  std::vector<Planned> batch_;
  std::vector<std::string> folders_;  // made with the batch
  std::unordered_set<std::string> touched_;
  size_t backups_ = 0;
  uint64_t replaced_ = 0;
  uint64_t added_ = 0;
  InstallResult failure_;
};

}  // namespace zepr
