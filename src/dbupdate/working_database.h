#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/main_window.h"
#include "core/run_params.h"
#include "dbupdate/sql_connection.h"
#include "dbupdate/sql_script_runner.h"
#include "install/processes.h"

namespace zepr {

// The server kind of a "select @@Version" text: "SQL2000" .. "SQL2014" by the first marker
// found in the order "8.00.", "2005", "2008", "2012", "2014"; the text itself when none is
// in it.
std::string ClassifyServerVersion(const std::string& version_text);

// The database work that the run does itself, around the SQL script runner: the version gate
// of the share run, the script opened in the server's management tool, and the update of
// every working database of a group by one child updater each.
class WorkingDatabase {
 public:
  WorkingDatabase(MainWindow& window, RunParams& params, SqlConnection& connection,
                  Processes& processes, FileVersionFn file_version);

  // After the share run installed: true when the working database demands a newer version
  // than the executable just unpacked. The text and the 5000 ms pause are done; the caller
  // relaunches with " 6 " + ShareFolder. An archive without the executable gives no version,
  // and no version never escalates. A failed lookup shows its text and passes.
  // Raises UpdateError when the connection list is short.
  bool VersionGateDemandsNewer();

  // Opens ScriptFileName in the management tool that suits the server, waiting for it. False
  // when the database cannot be reached (text shown, 3000 ms passed); true otherwise, also
  // when no tool could be started. Raises UpdateError when the connection list is short.
  bool OpenScriptInTool();

  // The whole group run: one child updater per database listed in QTVConfig.BazeUpdate for
  // DatabaseGroup, one after the other, each log kept under the database's name, then the
  // completion and the end. Failures to reach QTVConfig or its list show their text and
  // return with the window open. Raises UpdateError when the connection list is short or the
  // list has no DatabaseName column.
  void UpdateDatabaseGroup();

  // The argument vector of the group's child number index (0: the first child started, which
  // fetches what the others install); nullopt when ChildUpdateType names no type a child can
  // run.
  std::optional<std::vector<std::string>> ChildArguments(size_t index,
                                                         const std::string& database) const;

 private:
  ConnectionItems WorkingItems() const;
  ConnectionItems ConfigItems() const;
  void MoveChildLog(const std::string& database);

  MainWindow& window_;
  RunParams& params_;
  SqlConnection& connection_;
  Processes& processes_;
  FileVersionFn file_version_;
};

}  // namespace zepr
