#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/main_window.h"
#include "core/run_params.h"
#include "dbupdate/sql_connection.h"

namespace zepr {

// Reads an executable's file version ("a.b.c.d"); empty when the file has none.
using FileVersionFn = std::function<std::string(const std::string& path)>;

// Connection items 0..3 of the run parameters; a missing item raises UpdateError.
ConnectionItems WorkingDatabaseItems(const RunParams& params);

// Brings the working database up to date with the scripts of "Update/UpdateBaze/" and
// records the new executable's date (and, on request, its version as the minimum version)
// in OpcijeAplikacije. Sets params.NewVersion when it records the minimum version. Raises
// UpdateError only where the run's guards expect it (a short connection list, a failed
// selection query).
void RunSqlScripts(MainWindow& window, RunParams& params, SqlConnection& connection,
                   const FileVersionFn& file_version);

// Ascending by byte value after ASCII upper-casing; equal names keep their order.
void SortScriptNames(std::vector<std::string>& names);

}  // namespace zepr
