#pragma once

#include <string>

#include "install/install_journal.h"

namespace zepr {

// What the start found of an install that was interrupted (the updater killed, the machine
// off), and what it did about it.
struct RecoveryResult {
  bool found = false;    // an interrupted install was there and has been dealt with
  bool complete = true;  // everything is as before that install
  std::string kept_in;   // the backup folder, when old files that could not be put back stay there
  std::string reason;    // why it is not complete
};

// Whether an interrupted install left its journal or its backups. exe_folder is the
// application's folder, as for every function here.
bool InterruptedInstallLeft(const std::string& exe_folder);

// Puts back the application folder as it was before an install that was interrupted. Old files
// that cannot be put back stay in the backup folder with the journal, for a later start; an
// install cannot begin until then. Nothing when no install was interrupted, or when another
// updater is installing now.
RecoveryResult RecoverInterruptedInstall(const std::string& exe_folder);

// Undoes what the interrupted install of the journal held left: what RecoverInterruptedInstall
// does once it holds the journal, and an install that finds one before it begins. A backup that
// could not be put back stays, with the journal that tells where it belongs.
RecoveryResult RecoverFromJournal(InstallJournal& journal);

// Removes the old files that completed installs could not remove, being in use then (a running
// program, a loaded library); those still in use stay for a later start. Says nothing.
void RemoveInstallLeftovers(const std::string& exe_folder);

}  // namespace zepr
