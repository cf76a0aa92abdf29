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

// One batch of a script: its non-blank lines up to a GO line, joined with CR LF.
struct SqlBatch {
  std::string text;
  int first_line = 0;  // 1-based
  int go_line = 0;     // the GO that ends it: the line a failure is reported at
};

// The batches of a script file's bytes (CP1250, or UTF-8 after a byte-order mark), in order.
// A line holding only "GO" (any case, blanks around) ends a batch; a GO with nothing before it
// is skipped, and a GO between a line "/*" and a line "*/" is part of the batch. Text after
// the last GO is no batch. A line ends at LF or CR LF; a lone CR ends the line's text and the
// rest up to the next LF is dropped.
std::vector<SqlBatch> SplitSqlScript(const std::string& bytes);

// Ascending by byte value after ASCII upper-casing; equal names keep their order.
void SortScriptNames(std::vector<std::string>& names);

}  // namespace zepr
