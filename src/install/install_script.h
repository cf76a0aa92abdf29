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
// system's reason. Copies whose source is missing, and read-only files the mirror meets, are
// passed over. Replaced files keep their permissions; new ones take the source's.
struct InstallResult {
  bool ok = true;
  std::string file;    // the file that could not be installed
  std::string reason;  // the system's reason
};
// after_file (tests only) is called with the count of files installed so far.
InstallResult InstallDato(const std::vector<std::string>& archive_names,
                          const std::string& exe_folder, const std::string& app_exe_name,
                          Processes& processes, const std::function<void(size_t)>& after_file = {});

// The folder an archive of that name unpacks into, below the working folder: the name
// without its last four characters ("Update.zip" -> "Update").
std::string UnpackFolderName(const std::string& archive_name);

// After an install that was interrupted (the updater killed, the machine off), puts back the
// application folder as it was before it. Does nothing when no install was interrupted.
void RecoverInterruptedInstall(const std::string& exe_folder);

}  // namespace zepr
