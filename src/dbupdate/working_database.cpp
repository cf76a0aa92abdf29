#include "dbupdate/working_database.h"

#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

#include "core/connection_text.h"
#include "core/path_text.h"
#include "core/run_log.h"
#include "core/text.h"
#include "core/wait.h"

namespace zepr {
namespace fs = std::filesystem;

namespace {

constexpr auto kDatabaseList = StepList::kJvInstallLabel2;
const std::string kErrorLog = "GreškeSQLUpdate";

// The configuration database answers this before anything is asked of it.
const std::string kConnectionProof = "select getDate() as Datum";

// A database name becomes part of a file name in the application's folder; separators in it
// must not lead the log into another folder.
std::string FileNamePart(std::string name) {
  for (char& c : name) {
    if (c == '/' || c == '\\') c = '_';
  }
  return name;
}

}  // namespace

std::string ClassifyServerVersion(const std::string& version_text) {
  static const std::pair<const char*, const char*> kMarkers[] = {
      {"8.00.", "SQL2000"}, {"2005", "SQL2005"}, {"2008", "SQL2008"},
      {"2012", "SQL2012"},  {"2014", "SQL2014"},
  };
  for (const auto& [marker, kind] : kMarkers) {
    if (version_text.find(marker) != std::string::npos) return kind;
  }
  return version_text;
}

WorkingDatabase::WorkingDatabase(MainWindow& window, RunParams& params, SqlConnection& connection,
                                 Processes& processes, FileVersionFn file_version)
    : window_(window),
      params_(params),
      connection_(connection),
      processes_(processes),
      file_version_(std::move(file_version)) {}

ConnectionItems WorkingDatabase::WorkingItems() const {
  return {params_.ConnectionItem(0), params_.ConnectionItem(1), params_.ConnectionItem(2),
          params_.ConnectionItem(3)};
}

ConnectionItems WorkingDatabase::ConfigItems() const {
  return {params_.ConnectionItem(0), params_.ConnectionItem(1), params_.ConnectionItem(2),
          "QTVConfig"};
}

bool WorkingDatabase::VersionGateDemandsNewer() {
  params_.NewVersion =
      file_version_(params_.ExeFolder + "Update/Update/" + params_.AppExeName + ".exe");
  // An archive without the application's executable installs no new version: whatever the
  // database demands, fetching from the internet would not change what runs here.
  if (params_.NewVersion.empty()) return false;
  const ConnectionItems items = WorkingItems();
  try {
    connection_.Open(items);
    // Both sections may demand a minimum; the server orders them as text, where 1.0.0.9
    // comes after 1.0.0.10, so every row is read and the highest taken in version order.
    const auto rows = connection_.Query(
        "SELECT Vrijednost from OpcijeAplikacije where (SEKCIJA=" + SqlLiteral(params_.AppExeName) +
        " or SEKCIJA=" + SqlLiteral(params_.AppSection) +
        ") and Kljuc='MinVerzija' order by Vrijednost desc");
    params_.MinVersion.clear();
    for (const auto& row : rows) {
      const std::string value = row.Text("Vrijednost").value_or("");
      if (CompareVersions(value, params_.MinVersion) > 0) params_.MinVersion = value;
    }
    if (CompareVersions(params_.MinVersion, params_.NewVersion) <= 0) return false;
    window_.SetLabel1("I dalje postoji novija verzija programa " + params_.AppTitle + "\r" +
                      params_.NewVersion + " / " + params_.MinVersion +
                      ". Pokrećem skidanje sa interneta...");
    WaitPumpingMessages(window_, 5000);
    window_.ProcessMessages();
    return true;
  } catch (const std::exception& e) {
    window_.SetLabel1(std::string("Greška kod pronalažanja minimalne verzije programa.\r") +
                      e.what());
    WaitPumpingMessages(window_, 1000);
    return false;
  }
}

bool WorkingDatabase::OpenScriptInTool() {
  const ConnectionItems items = WorkingItems();
  std::string kind;
  try {
    connection_.Open(items);
    const auto row = connection_.QueryFirstRow("select @@Version as Verzija");
    kind = ClassifyServerVersion(row ? row->Text("Verzija").value_or("") : "");
  } catch (const std::exception& e) {
    window_.SetLabel1(std::string("Nadogradnja baze podataka nije uspjela.\rUzrok: ") + e.what());
    WaitPumpingMessages(window_, 3000);
    return false;
  }

  // The script lies beside the executable; its full path finds it whatever the current
  // folder of the updater is.
  const std::string script = params_.ExeFolder + params_.ScriptFileName;
  auto tool = [&](std::string program, bool file_flag) {
    std::vector<std::string> argv{std::move(program), "-S", items.server, "-d",
                                  items.database,     "-U", items.user,   "-P",
                                  items.password};
    if (file_flag) argv.push_back("-f");
    argv.push_back(script);
    return argv;
  };
  if (kind == "SQL2000") {
    processes_.StartProgram(tool("isqlw", true), false, true);
  } else if (kind == "SQL2005") {
    if (!processes_.StartProgram(tool("sqlwb.exe", false), false, true) &&
        !processes_.StartProgram(tool("ssmsee.exe", false), false, true)) {
      // The last resort is the shell's open, which never waited for the tool.
      processes_.StartProgram(tool("ssmsee.exe", false), false, false);
    }
  } else if (kind >= "SQL2008") {
    // Plain byte order, as the tool choice always was: SQL2008, SQL2012 and SQL2014 here;
    // a server text beginning with "Microsoft" starts nothing.
    processes_.StartProgram(tool("ssms.exe", false), false, true);
  }
  return true;
}

std::optional<std::vector<std::string>> WorkingDatabase::ChildArguments(
    size_t index, const std::string& database) const {
  const std::string& type = params_.ChildUpdateType;
  if (type != "6" && type != "8" && type != "3") return std::nullopt;
  const std::string c = EncodeConnectionList(
      {params_.ConnectionItem(0), params_.ConnectionItem(1), params_.ConnectionItem(2), database});
  const std::string& r = params_.RaiseMinVersion;
  std::vector<std::string> argv{params_.ExeFolder + "ZEPRUpdate.exe", params_.AppTitle,
                                params_.AppSection, params_.AppExeName, params_.ClientFolder};
  std::vector<std::string> tail;
  if (type == "6") {
    tail = {"6", index == 0 ? params_.ShareFolder : "x", c, r, "0", "0"};
  } else if (type == "3" && index == 0) {
    tail = {"3", c, r};
  } else {
    // Type 8, and type 3 after the first database: install what the first child fetched.
    tail = {"8", c, "1", r};
  }
  argv.insert(argv.end(), tail.begin(), tail.end());
  return argv;
}

void WorkingDatabase::MoveChildLog(const std::string& database) {
  const fs::path log = PathFromUtf8(params_.ExeFolder + kErrorLog + ".txt");
  std::error_code ec;
  if (!fs::is_regular_file(log, ec)) return;
  // Replaces the log an earlier group run left under this name: the new one is the news.
  fs::rename(log, PathFromUtf8(params_.ExeFolder + kErrorLog + FileNamePart(database) + ".txt"),
             ec);
}

void WorkingDatabase::UpdateDatabaseGroup() {
  const ConnectionItems config = ConfigItems();
  try {
    connection_.Open(config);
    connection_.Query(kConnectionProof);
  } catch (const std::exception& e) {
    params_.Fail(ExitStatus::kDatabaseUnreachable);
    window_.SetLabel1(std::string("Spajanje na bazu QTVConfig nije uspjelo.\rUzrok: ") + e.what());
    WaitPumpingMessages(window_, 3000);
    return;
  }
  window_.SetLabel1("Update tip " + params_.ChildUpdateType + " za radne baze grupe " +
                    params_.DatabaseGroup + "\r" + "Molim pričekajte...");

  // The list starts empty and scrolled to its first line: that is "in view".
  window_.SetLines(kDatabaseList, {});
  std::vector<SqlRow> rows;
  try {
    rows = connection_.Query("select * from BazeUpdate where Grupa=" +
                             SqlLiteral(params_.DatabaseGroup) + " order by Poredak");
  } catch (const std::exception& e) {
    params_.Fail(ExitStatus::kDatabaseUnreachable);
    window_.SetLabel1(
        std::string("Ne postoji tablica popisa baza: QTVConfig.BazeUpdate ili ima krivu "
                    "strukturu.\rGreška: ") +
        e.what());
    WaitPumpingMessages(window_, 3000);
    return;
  }
  // Outside the guard on purpose: a list without DatabaseName is not a missing list.
  std::vector<std::string> databases;
  for (const SqlRow& row : rows) databases.push_back(row.Text("DatabaseName").value_or(""));
  // The children may run for long; the list is all that is needed of QTVConfig.
  connection_.Close();
  for (const std::string& name : databases) window_.AddLine(kDatabaseList, name);
  window_.SetTopLine(kDatabaseList, 0);

  // The first child started fetches for the others, whichever row it comes from.
  size_t children = 0;
  for (size_t i = 0; i < databases.size(); ++i) {
    const int line = static_cast<int>(i);
    const std::string& database = databases[i];
    // Five lines fit the panel; from the sixth on the list moves up one line per database
    // so the current one stays visible.
    if (i > 4) window_.SetTopLine(kDatabaseList, window_.TopLine(kDatabaseList) + 1);
    window_.SetLineState(kDatabaseList, line, 0, false);
    window_.ProcessMessages();
    // A row without a name would send the child to the login's default database.
    if (database.empty()) {
      params_.Fail(ExitStatus::kGroupDatabaseFailed);
      window_.SetLineState(kDatabaseList, line, 2, false);
      window_.ProcessMessages();
      continue;
    }
    // A child that cannot start, or ends with a failure status, failed its database.
    bool finished = true;
    if (auto argv = ChildArguments(children++, database)) {
      const platform::StartResult child = processes_.StartProgram(*argv, false, true);
      finished = child && child.exit_status == 0;
      runlog::Write("updater za bazu " + database + ": " +
                    (child ? "izlazni status " + std::to_string(child.exit_status)
                           : "nije pokrenut: " + child.error));
    }
    MoveChildLog(database);
    if (!finished) params_.Fail(ExitStatus::kGroupDatabaseFailed);
    window_.SetLineState(kDatabaseList, line, finished ? 1 : 2, false);
    window_.ProcessMessages();
  }

  WaitPumpingMessages(window_, 500);
  window_.ProcessMessages();
  window_.ShowCompletion();
  WaitPumpingMessages(window_, 200);
  window_.RequestEnd();
}

}  // namespace zepr
