#include "dbupdate/sql_script_runner.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/encoding.h"
#include "core/errors.h"
#include "core/path_text.h"
#include "core/run_log.h"
#include "core/text.h"
#include "core/wait.h"
#include "local_time.h"
#include "platform/files.h"

namespace zepr {

namespace fs = std::filesystem;

namespace {

constexpr StepList kScriptList = StepList::kJvInstallLabel2;
constexpr int kVisibleScriptLines = 5;

bool IsScriptName(const std::string& name) {
  return name.size() >= 4 && AsciiUpper(name.substr(name.size() - 4)) == ".SQL";
}

// File names of the scripts, in the order the file system lists them. A folder that cannot be
// listed raises: scripts passed over in silence would leave the database behind its program.
std::vector<std::string> ScriptFiles(const fs::path& folder) {
  std::vector<platform::FolderEntry> entries;
  const std::error_code error = platform::ListFolder(Utf8FromPath(folder), entries);
  if (error && error != std::errc::no_such_file_or_directory) {
    throw UpdateError(Utf8FromPath(folder) + ": " + error.message());
  }
  std::vector<std::string> names;
  for (auto& entry : entries) {
    if (entry.kind != platform::FolderEntry::Kind::kFolder && IsScriptName(entry.name)) {
      names.push_back(std::move(entry.name));
    }
  }
  return names;
}

void DeleteScripts(const fs::path& folder) {
  for (const auto& name : ScriptFiles(folder)) {
    std::error_code ec;
    fs::remove(folder / PathFromUtf8(name), ec);
  }
}

// The object a script defines: its name without ".SQL" or ".sql" (other spellings stay).
std::string ObjectName(const std::string& file_name) {
  return ReplaceAll(ReplaceAll(file_name, ".SQL", ""), ".sql", "");
}

// Last-write time in local time, cut to the two-second steps of the file system's date
// stamps that the object dates were always compared with.
std::optional<SqlDateTime> FileTime(const fs::path& path) {
  std::error_code ec;
  auto written = fs::last_write_time(path, ec);
  if (ec) return std::nullopt;
  auto system = std::chrono::file_clock::to_sys(written);
  std::time_t seconds = std::chrono::system_clock::to_time_t(
      std::chrono::time_point_cast<std::chrono::seconds>(system));
  std::tm local{};
  if (!ToLocalTime(seconds, local)) return std::nullopt;
  SqlDateTime t;
  t.year = local.tm_year + 1900;
  t.month = local.tm_mon + 1;
  t.day = local.tm_mday;
  t.hour = local.tm_hour;
  t.minute = local.tm_min;
  t.second = local.tm_sec - local.tm_sec % 2;
  return t;
}

// Short date, a blank, long time; no time at exactly midnight (the system's date-time text).
std::string DateTimeText(const SqlDateTime& t) {
  std::string text =
      std::to_string(t.day) + "." + std::to_string(t.month) + "." + std::to_string(t.year) + ".";
  if (t.hour == 0 && t.minute == 0 && t.second == 0) return text;
  char time[16];
  std::snprintf(time, sizeof time, "%d:%02d:%02d", t.hour, t.minute, t.second);
  return text + " " + time;
}

// The lines of a script file as the system always read text files: a line ends at LF or CR LF;
// a lone CR ends the line's text and what follows it up to the next LF is skipped.
std::vector<std::string> ScriptLines(const std::string& bytes) {
  std::string text;
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) {
    text = bytes.substr(3);  // saved as UTF-8 by a newer editor
  } else {
    text = Cp1250ToUtf8(bytes);
  }
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back(text.substr(pos));
      break;
    }
    lines.push_back(text.substr(pos, end - pos));
    size_t lf = text.find('\n', end);
    pos = lf == std::string::npos ? text.size() : lf + 1;
  }
  return lines;
}

class ScriptRunner {
 public:
  ScriptRunner(MainWindow& window, SqlConnection& connection, const fs::path& folder,
               std::ofstream& log, bool no_config_database)
      : window_(window),
        connection_(connection),
        folder_(folder),
        log_(log),
        no_config_database_(no_config_database) {}

  bool all_succeeded() const { return all_succeeded_; }

  // Runs one script; false when any of its batches failed.
  bool Run(const std::string& name, int pass) {
    std::ifstream file(folder_ / PathFromUtf8(name), std::ios::binary);
    if (!file) {
      all_succeeded_ = false;
      return false;
    }
    std::stringstream bytes;
    bytes << file.rdbuf();
    bool succeeded = true;
    runlog::Write("SQL skripta " + name + " (" + std::to_string(pass) + ". prolaz)");
    // The second pass runs again what failed in the first.
    if (pass == 1) runlog::Count(runlog::Tally::kScriptsRun);
    for (SqlBatch& batch : SplitSqlScript(bytes.str())) {
      if (no_config_database_) batch.text = ReplaceAll(batch.text, "QTVConfig.", "");
      if (!Execute(batch.text, name, batch.go_line, pass)) succeeded = false;
    }
    return succeeded;
  }

 private:
  bool Execute(const std::string& text, const std::string& name, int line_number, int pass) {
    try {
      connection_.Execute(text);
      runlog::Write("SQL " + name + ", linija " + std::to_string(line_number) + ": izvršeno");
      return true;
    } catch (const std::exception& e) {
      runlog::Write("SQL " + name + ", linija " + std::to_string(line_number) +
                    ": greška: " + runlog::Outside(e.what()));
      all_succeeded_ = false;
      if (pass == 2) {
        const std::string where = name + ", linija: " + std::to_string(line_number);
        log_ << Utf8ToCp1250(where) << "\r\n";
        log_.flush();
        if (window_.Checked(3)) window_.ShowPoruka("Greška!", where + "\r" + e.what());
      }
      return false;
    }
  }

  MainWindow& window_;
  SqlConnection& connection_;
  fs::path folder_;
  std::ofstream& log_;
  bool no_config_database_;
  bool all_succeeded_ = true;
};

// The scripts whose object is missing or older than the file.
std::vector<std::string> SelectScripts(SqlConnection& connection, const fs::path& folder) {
  std::vector<std::string> selected;
  for (const auto& name : ScriptFiles(folder)) {
    auto row = connection.QueryFirstRow("select crdate from sysobjects where name=" +
                                        SqlLiteral(ObjectName(name)));
    std::optional<SqlDateTime> created;
    if (row) created = row->DateTime("crdate");
    auto written = FileTime(folder / PathFromUtf8(name));
    if (!written) continue;
    if (!created || *written > *created) selected.push_back(name);
  }
  return selected;
}

void RecordVersionDate(SqlConnection& connection, const RunParams& params,
                       const fs::path& executable) {
  try {
    auto written = FileTime(executable);
    if (!written) return;
    const std::string date = DateTimeText(*written);
    const std::string& app = params.AppExeName;
    const std::string key = SqlLiteral("TrenVerzijaDatum");
    connection.Execute(
        "if (SELECT Vrijednost from OpcijeAplikacije where SEKCIJA=" + SqlLiteral(app) +
        " and Kljuc=" + key + ") is NULL " +
        "  INSERT into OpcijeAplikacije(SEKCIJA,KLJUC,VRIJEDNOST,KOMENTAR) values (" +
        SqlLiteral(app) + "," + key + "," + SqlLiteral(date) + "," +
        SqlLiteral("Trenutni datum verzije " + app) + ") " + "else " +
        "  UPDATE OpcijeAplikacije set VRIJEDNOST=" + SqlLiteral(date) +
        " where SEKCIJA=" + SqlLiteral(app) + " and Kljuc=" + key);
  } catch (const std::exception&) {
    // The date is informative; a failure here must not spoil the update.
  }
}

void RaiseMinVersion(MainWindow& window, SqlConnection& connection, RunParams& params,
                     const fs::path& executable, const FileVersionFn& file_version) {
  try {
    params.NewVersion = file_version(Utf8FromPath(executable));
    // An executable without a version resource has nothing to record; saying a minimum
    // version was set would be false.
    if (params.NewVersion.empty()) return;
    const std::string& app = params.AppExeName;
    const std::string key = SqlLiteral("MinVerzija");
    connection.Execute("if (SELECT Vrijednost from OpcijeAplikacije where SEKCIJA=" +
                       SqlLiteral(app) + " and Kljuc=" + key + ") is NULL " +
                       "INSERT into OpcijeAplikacije(SEKCIJA,KLJUC,VRIJEDNOST,KOMENTAR) values (" +
                       SqlLiteral(app) + "," + key + "," + SqlLiteral("") + "," +
                       SqlLiteral("Minimalna verzija programa koja je potrebna za rad") + ")");
    // Versions order as four numbers (10.0.0.1 is above 9.0.0.1), which the server's text
    // order cannot do; the stored value is only ever raised.
    auto row = connection.QueryFirstRow("SELECT Vrijednost from OpcijeAplikacije where Sekcija=" +
                                        SqlLiteral(app) + " and Kljuc=" + key);
    if (row) {
      std::optional<std::string> stored = row->Text("Vrijednost");
      if (CompareVersions(params.NewVersion, stored.value_or("")) > 0) {
        // Matching the value read keeps a concurrent, higher raise from being undone.
        connection.Execute(
            "update OpcijeAplikacije set Vrijednost=" + SqlLiteral(params.NewVersion) +
            " where Sekcija=" + SqlLiteral(app) + " and Kljuc=" + key + " and " +
            (stored ? "Vrijednost=" + SqlLiteral(*stored) : "Vrijednost is NULL"));
      }
    }
    window.SetLabel1("Minimalna verzija " + params.NewVersion + " postavljena");
    window.ProcessMessages();
    WaitPumpingMessages(window, 4000);
  } catch (const std::exception&) {
    // As before: the first failure ends this step quietly.
  }
}

}  // namespace

std::vector<SqlBatch> SplitSqlScript(const std::string& bytes) {
  std::vector<SqlBatch> batches;
  bool in_comment = false;
  int line_number = 0;
  int first_line = 0;
  std::vector<std::string> batch;
  for (const std::string& line : ScriptLines(bytes)) {
    ++line_number;
    const std::string trimmed = Trim(line);
    if (AsciiUpper(trimmed) == "GO") {
      if (batch.empty()) continue;  // nothing to end: a repeated or leading GO
      if (!in_comment) {
        batches.push_back(SqlBatch{JoinLines(batch, "\r\n"), first_line, line_number});
        batch.clear();
        continue;
      }
    }
    if (trimmed.empty()) continue;
    if (batch.empty()) first_line = line_number;
    batch.push_back(line);
    if (trimmed == "/*") {
      in_comment = true;
    } else if (trimmed == "*/") {
      in_comment = false;
    }
  }
  // What follows the last GO was never part of an executed batch.
  return batches;
}

void SortScriptNames(std::vector<std::string>& names) {
  // char_traits<char> compares as unsigned bytes, and a prefix orders first.
  std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return AsciiUpper(a) < AsciiUpper(b);
  });
}

ConnectionItems WorkingDatabaseItems(const RunParams& params) {
  return {params.ConnectionItem(0), params.ConnectionItem(1), params.ConnectionItem(2),
          params.ConnectionItem(3)};
}

void RunSqlScripts(MainWindow& window, RunParams& params, SqlConnection& connection,
                   const FileVersionFn& file_version) {
  const fs::path exe_folder = PathFromUtf8(params.ExeFolder);
  const fs::path folder = exe_folder / "Update" / "UpdateBaze";
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return;
  if (params.ConnectionText.empty() && params.LastRun == "1") {
    DeleteScripts(folder);
    return;
  }

  const fs::path log_path = exe_folder / PathFromUtf8("GreškeSQLUpdate.txt");
  std::ofstream log(log_path, std::ios::binary | std::ios::trunc);

  window.SetLabel1("Nadograđujem bazu podataka.\rMolim pričekajte...");
  window.SetLabel2("server: " + params.ConnectionItem(0) + "\r" +
                   "database: " + params.ConnectionItem(3));
  window.ProcessMessages();

  try {
    connection.Close();
    connection.Open(WorkingDatabaseItems(params));
    connection.Query("select getDate() as Datum");
  } catch (const std::exception& e) {
    params.Fail(ExitStatus::kDatabaseUnreachable);
    window.SetLabel1(std::string("Nadogradnja baze podataka nije uspjela.\rUzrok: ") + e.what());
    WaitPumpingMessages(window, 3000);
    return;
  }

  const bool no_config_database =
      connection.Query("select name from master.dbo.sysdatabases where name='QTVConfig'").empty();

  std::vector<std::string> scripts = SelectScripts(connection, folder);
  SortScriptNames(scripts);
  window.SetLines(kScriptList, scripts);

  ScriptRunner runner(window, connection, folder, log, no_config_database);
  for (int pass = 1; pass <= 2; ++pass) {
    if (pass == 2 && runner.all_succeeded()) break;
    window.SetTopLine(kScriptList, 0);
    std::vector<std::string> retry;
    for (size_t i = 0; i < scripts.size(); ++i) {
      const int line = static_cast<int>(i);
      if (line >= kVisibleScriptLines) window.SetTopLine(kScriptList, line - 4);
      window.SetLineState(kScriptList, line, 0, false);
      window.ProcessMessages();
      const bool succeeded = runner.Run(scripts[i], pass);
      if (pass == 1 && !succeeded) retry.push_back(scripts[i]);
      WaitPumpingMessages(window, 200);
      window.SetLineState(kScriptList, line, succeeded ? 1 : 2, false);
      window.ProcessMessages();
    }
    if (pass == 1 && !runner.all_succeeded()) {
      scripts = std::move(retry);
      window.SetLines(kScriptList, scripts);
      if (!scripts.empty()) window.SetLineState(kScriptList, 0, 0, false);
      window.ProcessMessages();
    }
  }
  log.close();
  if (runner.all_succeeded()) {
    fs::remove(log_path, ec);
  } else {
    params.Fail(ExitStatus::kScriptsFailed);
  }
  if (params.LastRun == "1") DeleteScripts(folder);

  const fs::path executable =
      exe_folder / "Update" / "Update" / PathFromUtf8(params.AppExeName + ".exe");
  RecordVersionDate(connection, params, executable);
  if ((params.UpdateType == 3 || params.UpdateType == 6 || params.UpdateType == 8) &&
      params.RaiseMinVersion == "1") {
    RaiseMinVersion(window, connection, params, executable, file_version);
  }
  window.SetLabel1("Nadogradnja baze gotova.");
  window.SetLabel2("");
  window.ProcessMessages();
}

}  // namespace zepr
