#include "dbupdate/sql_script_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>

#include "core/text.h"
#include "dbupdate/sql_session.h"
#include "support/fake_window.h"
#include "support/sandbox.h"
#include "support/tds_peer_process.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::FakeWindow;
using testing::ReadFile;
using testing::TdsPeer;
using testing::TempDir;
using testing::WriteFile;

const char* const kOptionTable =
    "CREATE TABLE OpcijeAplikacije (SEKCIJA varchar(50), Kljuc varchar(50), "
    "Vrijednost varchar(255), Komentar varchar(255))";

// Sets a file's last-write time from a local "YYYY-MM-DD hh:mm:ss".
void SetLocalTime(const fs::path& path, const std::string& local) {
  std::tm tm{};
  ASSERT_TRUE(strptime(local.c_str(), "%Y-%m-%d %H:%M:%S", &tm)) << local;
  tm.tm_isdst = -1;
  auto sys = std::chrono::system_clock::from_time_t(std::mktime(&tm));
  fs::last_write_time(path, std::chrono::file_clock::from_sys(sys));
}

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\\\"") : std::string(1, c);
  return out + "\"";
}

// The statements the runner sends itself; everything else came from a script.
bool IsRunnerStatement(const std::string& sql) {
  for (const char* prefix :
       {"select getDate() as Datum", "select name from master.dbo.sysdatabases",
        "select crdate from sysobjects", "if (SELECT Vrijednost from OpcijeAplikacije",
        "SELECT Vrijednost from OpcijeAplikacije", "update OpcijeAplikacije", "/*test*/"}) {
    if (sql.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

class RunSqlScriptsTest : public ::testing::Test {
 protected:
  RunSqlScriptsTest() : window_(clock_), app_(dir_.path() / "app") {
    fs::create_directories(Scripts());
    fs::create_directories(app_ / "Update" / "Update");
    WriteFile(Executable(), "MZ");
    params_.ExeFolder = app_.string() + "/";
    params_.AppExeName = "Demo";
    params_.UpdateType = 3;
    params_.RaiseMinVersion = "1";
    params_.LastRun = "0";
  }

  // setup: SQLite statements for the working database; rest: more top-level control keys.
  void StartPeer(std::vector<std::string> setup = {}, const std::string& rest = "") {
    peer_ = std::make_unique<TdsPeer>(dir_.path() / "peer", Control(setup, false, rest));
    setup_ = std::move(setup);
    params_.ConnectionList = {peer_->server(), "sa", "tajna", "Radna"};
    params_.ConnectionText = JoinLines(params_.ConnectionList, ",");
  }

  std::string Control(const std::vector<std::string>& setup, bool config_database,
                      const std::string& rest) const {
    std::string databases =
        "\"Radna\": [" + Quote(kOptionTable) + ", \"CREATE TABLE Trag (Tekst varchar(100))\"";
    for (const auto& s : setup) databases += ", " + Quote(s);
    databases += "]";
    if (config_database)
      databases += ", \"QTVConfig\": [\"CREATE TABLE Trag (Tekst varchar(100))\"]";
    return "{\"users\": {\"sa\": \"tajna\"}, \"databases\": {" + databases + "}" +
           (rest.empty() ? "" : ", " + rest) + "}";
  }

  fs::path Scripts() const { return app_ / "Update" / "UpdateBaze"; }
  fs::path Executable() const { return app_ / "Update" / "Update" / "Demo.exe"; }
  fs::path Log() const { return app_ / "GreškeSQLUpdate.txt"; }

  void Script(const std::string& name, const std::string& cp1250_text) {
    WriteFile(Scripts() / name, cp1250_text);
  }

  void Run() {
    SqlSession session;
    RunSqlScripts(window_, params_, session, [this](const std::string& path) {
      EXPECT_EQ(path, (app_ / "Update" / "Update" / (params_.AppExeName + ".exe")).string());
      return new_version_;
    });
  }

  std::vector<std::string> ScriptBatches() const {
    std::vector<std::string> out;
    for (auto& b : peer_->Batches()) {
      if (!IsRunnerStatement(b.sql)) out.push_back(b.sql);
    }
    return out;
  }

  // Every row of a one-column query against the working database, NULL as "<null>".
  std::vector<std::string> Column(const std::string& sql) {
    SqlSession session;
    session.Open({peer_->server(), "sa", "tajna", "Radna"});
    std::vector<std::string> out;
    for (auto& row : session.Query("/*test*/ " + sql)) {
      out.push_back(row.columns().at(0).second.value_or("<null>"));
    }
    return out;
  }

  TempDir dir_;
  VirtualClock clock_;
  FakeWindow window_;
  fs::path app_;
  RunParams params_;
  std::string new_version_ = "10.0.0.1";
  std::vector<std::string> setup_;
  std::unique_ptr<TdsPeer> peer_;
};

TEST_F(RunSqlScriptsTest, ConnectionFailureIsShownAndChangesNothing) {
  StartPeer();
  params_.ConnectionList[2] = "kriva";
  params_.LastRun = "1";
  Script("A.sql", "INSERT INTO Trag VALUES ('A')\r\nGO\r\n");
  WriteFile(Log(), "stari zapis\r\n");
  Run();

  EXPECT_EQ(window_.Label1(),
            "Nadogradnja baze podataka nije uspjela.\rUzrok: Login failed for user 'sa'.");
  EXPECT_GE(clock_.slept_ms(), 3000u);
  EXPECT_TRUE(fs::exists(Log()));
  EXPECT_EQ(ReadFile(Log()), "");
  EXPECT_TRUE(fs::exists(Scripts() / "A.sql"));
  EXPECT_TRUE(peer_->Batches().empty());
}

TEST_F(RunSqlScriptsTest, RunsScriptsNewerThanTheirObjectsInNameOrder) {
  // A: object older than the file; D: object newer; E: object 0.5 s older, but the file's
  // stamp has two-second steps, so it counts as not newer; b, c.SQL: no object.
  StartPeer({"INSERT INTO sysobjects VALUES ('A', 'P', '2020-01-01 10:00:00.000')",
             "INSERT INTO sysobjects VALUES ('D', 'P', '2021-01-01 08:00:00.000')",
             "INSERT INTO sysobjects VALUES ('E', 'P', '2020-06-01 12:00:00.500')"});
  for (const char* name : {"b.sql", "D.sql", "c.SQL", "A.sql", "E.sql"}) {
    Script(name, std::string("INSERT INTO Trag VALUES ('") + name + "')\r\nGO\r\n");
    SetLocalTime(Scripts() / name, "2020-06-01 12:00:01");
  }
  Script("notes.txt", "INSERT INTO Trag VALUES ('notes')\r\nGO\r\n");
  Run();

  EXPECT_EQ(Column("select Tekst from Trag order by rowid"),
            (std::vector<std::string>{"A.sql", "b.sql", "c.SQL"}));
  EXPECT_EQ(peer_->BatchesContaining("select crdate from sysobjects where name='c'").size(), 1u);
  EXPECT_EQ(window_.Label1(), "Nadogradnja baze gotova.");
  EXPECT_FALSE(fs::exists(Log()));  // nothing failed
}

TEST_F(RunSqlScriptsTest, CutsScriptsIntoBatchesAtGoLines) {
  struct Case {
    const char* name;
    std::string script;
    std::vector<std::string> batches;
  };
  const Case cases[] = {
      {"last batch needs a GO", "select 1\r\nGO\r\nselect 2\r\n", {"select 1"}},
      {"case and blanks around GO",
       "select 1\r\n go \r\nselect 2\r\n\tGo\t\r\nselect 3\r\ngo",
       {"select 1", "select 2", "select 3"}},
      // Batches the server rejects are sent again by the second pass.
      {"GO with a count or semicolon is text",
       "select 1\r\nGO 2\r\nselect 2\r\nGO;\r\nGO",
       {"select 1\r\nGO 2\r\nselect 2\r\nGO;", "select 1\r\nGO 2\r\nselect 2\r\nGO;"}},
      {"GO inside a block of exact comment lines",
       "/*\r\nGO\r\n*/\r\nselect 1\r\nGO",
       {"/*\r\nGO\r\n*/\r\nselect 1"}},
      {"a comment line with more text opens no block",
       "/* note\r\nGO\r\n*/ select 1\r\nGO",
       {"/* note", "*/ select 1", "/* note", "*/ select 1"}},
      {"GO with nothing before it ends nothing",
       "GO\r\nselect 1\r\nGO\r\n\r\n  \r\nGO\r\nselect 2\r\nGO",
       {"select 1", "select 2"}},
      {"blank lines dropped, others kept as written",
       "  select 1  \r\n\r\n\t\r\nfrom Trag\r\nGO",
       {"  select 1  \r\nfrom Trag"}},
      {"LF endings, and a lone CR hides the rest of its line",
       "select 1\rselect 99\nGO\nselect 2\nGO\n",
       {"select 1", "select 2"}},
      {"CP1250 text", "select '\x8a\xe8\xf0\x9e'\r\nGO", {"select 'Ščđž'"}},
      {"UTF-8 text marked as such", "\xEF\xBB\xBFselect 'Šč'\r\nGO", {"select 'Šč'"}},
  };
  StartPeer();
  params_.LastRun = "1";  // each case leaves no script behind for the next
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = ScriptBatches().size();
    Script("skripta.sql", c.script);
    Run();
    auto all = ScriptBatches();
    EXPECT_EQ(std::vector<std::string>(all.begin() + before, all.end()), c.batches);
    EXPECT_FALSE(fs::exists(Scripts() / "skripta.sql"));
  }
}

TEST_F(RunSqlScriptsTest, BatchFailingOnlyOnceIsRetriedWithoutLogLine) {
  StartPeer({}, R"j("fail": [{"match": "('drugi')", "times": 1, "message": "Deadlock"}])j");
  Script("A.sql",
         "INSERT INTO Trag VALUES ('prvi')\r\nGO\r\nINSERT INTO Trag VALUES ('drugi')\r\nGO\r\n");
  Script("B.sql", "INSERT INTO Trag VALUES ('B')\r\nGO\r\n");
  Run();

  // Pass 2 runs the whole failed script again, so its first batch runs twice.
  EXPECT_EQ(Column("select Tekst from Trag order by rowid"),
            (std::vector<std::string>{"prvi", "B", "prvi", "drugi"}));
  EXPECT_TRUE(fs::exists(Log()));
  EXPECT_EQ(ReadFile(Log()), "");
  const auto& lines = window_.Lines(StepList::kJvInstallLabel2);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "A.sql");
  EXPECT_EQ(lines[0].image, 1);
}

TEST_F(RunSqlScriptsTest, BatchFailingTwiceIsLoggedShownAndDoesNotStopTheRest) {
  StartPeer({}, R"j("fail": [{"match": "('loše')", "message": "Invalid column name 'x'."}])j");
  window_.SetChecked(3, true);
  params_.LastRun = "1";
  // The failing batch ends at the GO on line 5.
  Script("Šifre.sql",
         "INSERT INTO Trag VALUES ('prije')\r\nGO\r\n\r\nINSERT INTO Trag VALUES ('lo\x9a"
         "e')\r\nGO\r\nINSERT INTO Trag VALUES ('poslije')\r\nGO\r\n");
  Run();

  EXPECT_EQ(ReadFile(Log()),
            "\x8a"
            "ifre.sql, linija: 5\r\n");
  ASSERT_EQ(window_.dialogs.size(), 1u);
  EXPECT_EQ(window_.dialogs[0].title, "Greška!");
  EXPECT_EQ(window_.dialogs[0].text, "Šifre.sql, linija: 5\rInvalid column name 'x'.");
  EXPECT_EQ(Column("select count(*) from Trag where Tekst = 'poslije'"),
            (std::vector<std::string>{"2"}));
  EXPECT_EQ(window_.Lines(StepList::kJvInstallLabel2).at(0).image, 2);
  EXPECT_FALSE(fs::exists(Scripts() / "Šifre.sql"));
  // The option table is written all the same.
  EXPECT_EQ(Column("select count(*) from OpcijeAplikacije where SEKCIJA = 'Demo' and "
                   "Kljuc = 'TrenVerzijaDatum'"),
            (std::vector<std::string>{"1"}));
}

// What the server answers decides what the runner counts as failed: messages are no failure,
// and an error counts wherever in the reply it comes.
TEST_F(RunSqlScriptsTest, ServerRepliesDecideWhichBatchesFailed) {
  struct Case {
    const char* name;
    std::string script;
    std::string error;  // empty: the script succeeds
  };
  const Case cases[] = {
      {"PRINT sends a message", "PRINT 'Nadogradnja'\r\nINSERT INTO Trag VALUES ('print')\r\nGO",
       ""},
      {"a message of class 10", "INSERT INTO Trag VALUES ('obavijest')\r\nGO", ""},
      {"unknown procedure", "\r\nEXEC dbo.NemaProcedure 1\r\nGO",
       "Could not find stored procedure 'dbo.NemaProcedure'."},
      {"a later statement fails",
       "INSERT INTO Trag VALUES ('prvi')\r\nINSERT INTO Nepostojeca VALUES (1)\r\nGO",
       "no such table: Nepostojeca"},
      {"unknown database", "INSERT INTO Nema.dbo.Trag VALUES ('nema')\r\nGO",
       "Invalid object name 'Nema.dbo.Trag'."},
  };
  StartPeer({},
            R"j("fail": [{"match": "('obavijest')", "class": 10, "message": "Samo obavijest."}])j");
  window_.SetChecked(3, true);
  params_.LastRun = "1";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    window_.dialogs.clear();
    Script("skripta.sql", c.script);
    Run();
    if (c.error.empty()) {
      EXPECT_FALSE(fs::exists(Log()));
      EXPECT_TRUE(window_.dialogs.empty());
      EXPECT_EQ(window_.Lines(StepList::kJvInstallLabel2).at(0).image, 1);
      continue;
    }
    // The GO that ends the batch is the script's last line.
    const std::string where =
        "skripta.sql, linija: " +
        std::to_string(std::count(c.script.begin(), c.script.end(), '\n') + 1);
    EXPECT_EQ(ReadFile(Log()), where + "\r\n");
    ASSERT_EQ(window_.dialogs.size(), 1u);
    EXPECT_EQ(window_.dialogs[0].text, where + "\r" + c.error);
    EXPECT_EQ(window_.Lines(StepList::kJvInstallLabel2).at(0).image, 2);
  }
  EXPECT_EQ(Column("select Tekst from Trag order by rowid"),
            (std::vector<std::string>{"print", "obavijest", "prvi", "prvi"}));
}

TEST_F(RunSqlScriptsTest, ConfigDatabasePrefixIsDroppedOnlyWhenTheServerHasNone) {
  StartPeer();
  const std::string script = "INSERT INTO QTVConfig.dbo.Trag VALUES ('x')\r\nGO\r\n";
  params_.LastRun = "1";
  Script("A.sql", script);
  Run();
  EXPECT_EQ(ScriptBatches(), (std::vector<std::string>{"INSERT INTO dbo.Trag VALUES ('x')"}));
  EXPECT_EQ(Column("select Tekst from Trag"), (std::vector<std::string>{"x"}));

  peer_->SetControl(Control(setup_, true, ""));
  Script("A.sql", script);
  Run();
  EXPECT_EQ(ScriptBatches().back(), "INSERT INTO QTVConfig.dbo.Trag VALUES ('x')");
  EXPECT_EQ(Column("select Tekst from QTVConfig.dbo.Trag"), (std::vector<std::string>{"x"}));
  EXPECT_EQ(Column("select Tekst from Trag"), (std::vector<std::string>{"x"}));
  EXPECT_FALSE(fs::exists(Log()));
}

TEST_F(RunSqlScriptsTest, ScriptsAreDeletedOnlyOnTheLastRun) {
  struct Case {
    const char* name;
    std::string connection_text;
    std::string last_run;
    bool kept;
  };
  const Case cases[] = {
      {"LastRun 0 keeps the scripts", "x", "0", true},
      {"LastRun 1 deletes them", "x", "1", false},
      {"no database and LastRun 1: deleted unrun", "", "1", false},
  };
  StartPeer();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(Log());
    Script("A.sql", "INSERT INTO Trag VALUES ('A')\r\nGO\r\n");
    Script("b.Sql", "INSERT INTO Trag VALUES ('b')\r\nGO\r\n");
    fs::create_directories(Scripts() / "mapa.sql");
    const size_t before = peer_->Batches().size();
    params_.ConnectionText = c.connection_text;
    params_.LastRun = c.last_run;
    Run();
    EXPECT_EQ(fs::exists(Scripts() / "A.sql"), c.kept);
    EXPECT_EQ(fs::exists(Scripts() / "b.Sql"), c.kept);
    EXPECT_TRUE(fs::is_directory(Scripts() / "mapa.sql"));
    EXPECT_FALSE(fs::exists(Log()));  // none made, or nothing failed
    if (c.connection_text.empty()) {
      EXPECT_EQ(peer_->Batches().size(), before);
    }
  }
}

TEST_F(RunSqlScriptsTest, MinimumVersionIsRaisedInNumericOrderAndNeverLowered) {
  struct Case {
    const char* name;
    std::vector<std::string> rows;  // stored MinVerzija rows
    int update_type;
    std::string raise;
    std::vector<std::string> expected;
  };
  const std::string row9 =
      "INSERT INTO OpcijeAplikacije VALUES ('Demo', 'MinVerzija', '9.0.0.1', 'k')";
  const Case cases[] = {
      {"9.0.0.1 is raised to 10.0.0.1", {row9}, 3, "1", {"10.0.0.1"}},
      {"a higher value stays",
       {"INSERT INTO OpcijeAplikacije VALUES ('Demo', 'MinVerzija', '10.0.0.10', 'k')"},
       8,
       "1",
       {"10.0.0.10"}},
      {"a missing row is created and set", {}, 6, "1", {"10.0.0.1"}},
      {"not asked for", {row9}, 3, "0", {"9.0.0.1"}},
      {"not for a share run", {row9}, 2, "1", {"9.0.0.1"}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    peer_ = std::make_unique<TdsPeer>(dir_.path() / ("peer" + std::to_string(n++)),
                                      Control(c.rows, false, ""));
    params_.ConnectionList = {peer_->server(), "sa", "tajna", "Radna"};
    params_.ConnectionText = "x";
    params_.UpdateType = c.update_type;
    params_.RaiseMinVersion = c.raise;
    params_.NewVersion.clear();
    Run();
    EXPECT_EQ(Column("select Vrijednost from OpcijeAplikacije where SEKCIJA='Demo' and "
                     "Kljuc='MinVerzija'"),
              c.expected);
    const bool asked = c.raise == "1" && c.update_type != 2;
    EXPECT_EQ(params_.NewVersion, asked ? "10.0.0.1" : "");
    EXPECT_EQ(window_.statuses.end() != std::find(window_.statuses.begin(), window_.statuses.end(),
                                                  "Minimalna verzija 10.0.0.1 postavljena"),
              asked);
    window_.statuses.clear();
  }
}

TEST_F(RunSqlScriptsTest, ApostrophesInNamesStayInsideTheirLiterals) {
  StartPeer({"INSERT INTO sysobjects VALUES ('O''Brien', 'P', '2030-01-01 00:00:00.000')"});
  params_.AppExeName = "O'Brien";
  fs::rename(Executable(), app_ / "Update" / "Update" / "O'Brien.exe");
  Script("O'Brien.sql", "INSERT INTO Trag VALUES ('ob')\r\nGO\r\n");
  Script("x' or '1'='1.sql", "INSERT INTO Trag VALUES ('x')\r\nGO\r\n");
  SetLocalTime(app_ / "Update" / "Update" / "O'Brien.exe", "2024-03-05 14:07:09");
  Run();

  // The object O'Brien is newer than its script; the other name matches no object.
  EXPECT_EQ(Column("select Tekst from Trag"), (std::vector<std::string>{"x"}));
  EXPECT_EQ(Column("select SEKCIJA || '|' || Kljuc || '|' || Vrijednost || '|' || Komentar "
                   "from OpcijeAplikacije order by Kljuc"),
            (std::vector<std::string>{
                "O'Brien|MinVerzija|10.0.0.1|Minimalna verzija programa koja je potrebna za rad",
                "O'Brien|TrenVerzijaDatum|5.3.2024. 14:07:08|Trenutni datum verzije O'Brien"}));

  // A second run updates the date row instead of adding one.
  SetLocalTime(app_ / "Update" / "Update" / "O'Brien.exe", "2024-03-06 00:00:00");
  Run();
  EXPECT_EQ(Column("select Vrijednost from OpcijeAplikacije where Kljuc='TrenVerzijaDatum'"),
            (std::vector<std::string>{"6.3.2024."}));
}

}  // namespace
}  // namespace zepr
