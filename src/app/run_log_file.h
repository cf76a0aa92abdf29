#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/window_transcript.h"
#include "core/main_window.h"
#include "core/run_log.h"
#include "core/run_params.h"
#include "platform/files.h"

namespace zepr {

// The run's log file: one per run in ZEPRUpdateLog/ beside the executable, named by the start
// time and the process, UTF-8, each line written through at once so that a kill loses nothing
// before it. It takes every runlog::Write and, as a watcher, what the window said. A log that
// cannot be written is left out; the run goes on. Anything at the folder's name that is not a
// folder is not ours: a link is removed (never followed), a file is left alone and the run
// writes no log, saying so on the standard error.
class RunLogFile : public WindowWatcher {
 public:
  static constexpr char kFolderName[] = "ZEPRUpdateLog";
  // Beyond these the oldest runs' files are removed.
  static constexpr size_t kMaxFiles = 30;
  static constexpr uintmax_t kMaxBytes = 10 * 1000 * 1000;

  explicit RunLogFile(const std::string& exe_folder);
  ~RunLogFile() override;
  RunLogFile(const RunLogFile&) = delete;
  RunLogFile& operator=(const RunLogFile&) = delete;

  // The file's path; "" when none could be made.
  const std::string& path() const { return path_; }
  // The window is on the screen: what it shows from now on is logged.
  void Shown(const MainWindow& window) { transcript_.Shown(window); }

  void Changed(const MainWindow& window, Element what) override {
    transcript_.Changed(window, what);
  }
  void DialogShown(const std::string& title, const std::string& text) override {
    transcript_.Dialog(title, text);
  }
  void EndRequested() override { transcript_.End(); }

 private:
  void Append(std::string_view line);

  platform::File file_;
  std::string path_;
  WindowTranscript transcript_;
};

// The log's first line: the program's version and its parameters, a connection's password
// masked.
std::string ParametersLine(std::string_view version, const std::vector<std::string>& params);

// The log's last line: the exit status and its meaning, the files replaced and added, the bytes
// fetched, the SQL scripts run and the time taken.
std::string SummaryLine(ExitStatus status, const runlog::Tallies& tallies, int64_t elapsed_ms);

// Removes the oldest log files of folder (by name: start time first) beyond kMaxFiles or
// kMaxBytes together; keep is never removed. Other files in the folder are left alone.
void PruneRunLogs(const std::string& folder, const std::string& keep);

}  // namespace zepr
