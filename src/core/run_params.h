#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zepr {

// The run parameters: filled once from the command line at start-up and read by every later
// step; the run writes only MinVersion and NewVersion.
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

  // Folder of the running executable, with a trailing separator; also the application's.
  std::string ExeFolder;

  // ConnectionList item i; raises UpdateError when the list is shorter, as reading past the
  // end of the list always did (the run's guards report it).
  const std::string& ConnectionItem(size_t i) const;
};

}  // namespace zepr
