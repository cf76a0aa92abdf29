#pragma once

#include <functional>
#include <string>
#include <vector>

#include "install/processes.h"

namespace zepr {

// The install script at the top of every update archive.
inline constexpr const char* kInstallScriptName = "Install.Ini";

// Puts unpacked archives in place. exe_folder is the application's folder (with a trailing
// separator), which holds the working folder "Update/"; app_exe_name is the application's
// executable name without ".exe". First the application is stopped; then for every archive
// name N ("Update.zip") in order: the script "Update/<N without its last four
// characters>/Install.Ini" is carried out section by section (KILL..., DIR_..., CPY_...),
// and the trees "Update/Update" and "Update/UpdateSpec" are mirrored into exe_folder.
// Relative folders of the script are taken relative to exe_folder. All or nothing: when a file
// cannot be installed (its folder missing, a folder in its place, a full disk), every file
// and folder the install changed is put back as it was and the result names the file and the
// system's reason; an old file that cannot be put back stays in the backup folder (kept_in). Copies
// whose source is missing, and read-only files the mirror meets, are passed over. Replaced files
// keep their permissions; new ones take the source's. Only the script's absolute forms may reach
// outside exe_folder.
struct InstallResult {
  bool ok = true;
  std::string file;     // the file that could not be installed
  std::string reason;   // the system's reason
  std::string kept_in;  // not empty: old files could not all be put back; they are kept there
};
// after_file (tests only) is called with the count of files installed so far.
InstallResult InstallDato(const std::vector<std::string>& archive_names,
                          const std::string& exe_folder, const std::string& app_exe_name,
                          Processes& processes, const std::function<void(size_t)>& after_file = {});

// The folder an archive of that name unpacks into, below the working folder: the name
// without its last four characters ("Update.zip" -> "Update").
std::string UnpackFolderName(const std::string& archive_name);

// What the start found of an install that was interrupted (the updater killed, the machine
// off), and what it did about it.
struct RecoveryResult {
  bool found = false;    // an interrupted install was there and has been dealt with
  bool complete = true;  // everything is as before that install
  std::string kept_in;   // the backup folder, when old files that could not be put back stay there
  std::string reason;    // why it is not complete
};

// Whether an interrupted install left its journal or its backups.
bool InterruptedInstallLeft(const std::string& exe_folder);

// Puts back the application folder as it was before an install that was interrupted. Old files
// that cannot be put back stay in the backup folder with the journal, for a later start; an
// install cannot begin until then. Nothing when no install was interrupted, or when another
// updater is installing now.
RecoveryResult RecoverInterruptedInstall(const std::string& exe_folder);

// Removes the old files that completed installs could not remove, being in use then (a running
// program, a loaded library); those still in use stay for a later start. Says nothing.
void RemoveInstallLeftovers(const std::string& exe_folder);

// The reason an install gives when an earlier one could not be undone whole.
inline constexpr const char* kEarlierInstallNotUndoneText =
    "prethodna instalacija nije poništena do kraja";

}  // namespace zepr
