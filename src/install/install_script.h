#pragma once

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
void InstallDato(const std::vector<std::string>& archive_names, const std::string& exe_folder,
                 const std::string& app_exe_name, Processes& processes);

}  // namespace zepr
