#pragma once

#include <string>
#include <vector>

#include "install/install_transaction.h"
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
// Relative folders of the script are taken relative to exe_folder. All or nothing (see
// InstallResult), one InstallTransaction for all the archives. Copies
// whose source is missing, and read-only files the mirror meets, are passed over. Replaced files
// keep their permissions; new ones take the source's. Only the script's absolute forms may reach
// outside exe_folder.
InstallResult InstallDato(const std::vector<std::string>& archive_names,
                          const std::string& exe_folder, const std::string& app_exe_name,
                          Processes& processes);

// The folder an archive of that name unpacks into, below the working folder: the name
// without its last four characters ("Update.zip" -> "Update").
std::string UnpackFolderName(const std::string& archive_name);

// The reason an install gives when an earlier one could not be undone whole.
inline constexpr const char* kEarlierInstallNotUndoneText =
    "prethodna instalacija nije poništena do kraja";

}  // namespace zepr
