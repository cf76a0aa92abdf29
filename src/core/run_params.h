#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zepr {

// How a run ended: the process's exit status, so that a caller (a script, a parent updater)
// can tell success from failure. The README lists the codes.
enum class ExitStatus : int {
  kCompleted = 0,            // done, or nothing to do
  kFailed = 1,               // wrong parameters, or an error the run did not expect
  kDownloadFailed = 2,       // an archive, list or script did not arrive
  kArchiveDamaged = 3,       // an archive could not be read whole; it was not installed
  kInstallFailed = 4,        // the install failed and was rolled back
  kScriptsFailed = 5,        // SQL scripts failed (see the SQL error log)
  kDatabaseUnreachable = 6,  // a database could not be reached or read
  kGroupDatabaseFailed = 7,  // the child run of a working database failed
  kProgramNotStarted = 8,    // the application or the next updater could not be started
  kSignatureRefused = 9,     // a file's signature was refused, or a configured key is malformed
};

// The run parameters: filled once from the command line at start-up and read by every later
// step; the run writes only MinVersion, NewVersion and the outcome.
struct RunParams {
  std::vector<std::string> params;  // the raw command-line parameters 1..n (index 0 = 1)

  std::string AppTitle;
  std::string AppSection;
  std::string AppExeName;
  std::string ClientFolder;
  int32_t UpdateType = 0;
  std::string ShareFolder;
  std::string ConnectionText;
  std::vector<std::string> ConnectionList;
  std::string SiteUrl;
  std::string CommonSiteUrl;
  std::string AppArguments;
  std::string ScriptFileName;
  std::string ScriptMode;
  std::string RaiseMinVersion;
  std::string LastRun = "1";
  std::string ReservedFlag = "1";
  std::string DatabaseGroup;
  std::string ChildUpdateType = "6";
  std::string ChildRun = "0";

  std::string MinVersion;
  std::string NewVersion;

  // The first failure of the run decides its exit status; later ones follow from it.
  ExitStatus Outcome = ExitStatus::kCompleted;
  void Fail(ExitStatus status) {
    if (Outcome == ExitStatus::kCompleted) Outcome = status;
  }

  // Folder of the running executable, with a trailing separator; also the application's.
  std::string ExeFolder;

  // ConnectionList item i; raises UpdateError when the list is shorter, as reading past the
  // end of the list always did (the run's guards report it).
  const std::string& ConnectionItem(size_t i) const;
};

}  // namespace zepr
