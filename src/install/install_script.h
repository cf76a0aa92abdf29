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
// Failures of single file operations are skipped silently, as the run judges success by
// what is present afterwards. Relative folders of the script are taken relative to
// exe_folder. No file of the application folder is ever left half-written.
struct InstallResult {
  bool ok = true;
  std::string file;    // the file that could not be installed
  std::string reason;  // the system's reason
};
// after_file (tests only) is called with the count of files installed so far.
InstallResult InstallDato(const std::vector<std::string>& archive_names,
                          const std::string& exe_folder, const std::string& app_exe_name,
                          Processes& processes,
                          const std::function<void(size_t)>& after_file = {});

// After an install that was interrupted (the updater killed, the machine off), puts back the
// application folder as it was before it. Does nothing when no install was interrupted.
void RecoverInterruptedInstall(const std::string& exe_folder);

}  // namespace zepr
