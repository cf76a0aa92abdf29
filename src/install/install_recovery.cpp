#include "install/install_recovery.h"

#include <system_error>

#include "platform/files.h"

namespace zepr {

RecoveryResult RecoverFromJournal(InstallJournal& journal) {
  // The journal is removed when an install completes, before its backups: backups without
  // records are those of a completed install.
  if (journal.records().empty() && journal.doubt().empty()) {
    journal.Finish();
    return {};
  }
  RecoveryResult result;
  result.found = true;
  const UndoResult undo = journal.Undo();
  result.complete = undo.complete && journal.doubt().empty();
  result.reason = journal.doubt().empty() ? undo.reason : journal.doubt();
  std::error_code error;
  if (!undo.backups_kept) error = journal.Finish();
  if (undo.backups_kept || error) {
    journal.Keep();
    result.complete = false;
    result.kept_in = journal.backup_folder();
    if (result.reason.empty()) result.reason = error.message();
  }
  return result;
}

bool InterruptedInstallLeft(const std::string& exe_folder) {
  const std::string update_folder = WithSeparator(exe_folder) + "Update/";
  std::error_code journal_missing, backups_missing;
  platform::KindOf(update_folder + InstallJournal::kJournalName, journal_missing);
  platform::KindOf(update_folder + InstallJournal::kBackupName, backups_missing);
  return !journal_missing || !backups_missing;
}

RecoveryResult RecoverInterruptedInstall(const std::string& exe_folder_in) {
  if (!InterruptedInstallLeft(exe_folder_in)) return {};
  const std::string update_folder = WithSeparator(exe_folder_in) + "Update/";
  std::error_code error;
  auto journal = InstallJournal::Take(update_folder, false, error);
  if (error)
    return {true, false, "", update_folder + InstallJournal::kJournalName + ": " + error.message()};
  // Held by another updater: that install is running now, not interrupted.
  if (!journal) return {};
  return RecoverFromJournal(*journal);
}

void RemoveInstallLeftovers(const std::string& exe_folder) {
  // Nothing in it is needed, so no lock is taken: an install that sets a file aside meanwhile
  // may find the folder gone, and the file stays in its backup folder for the next one.
  platform::RemoveTree(WithSeparator(exe_folder) + "Update/" + InstallJournal::kLeftoverName);
}

}  // namespace zepr
