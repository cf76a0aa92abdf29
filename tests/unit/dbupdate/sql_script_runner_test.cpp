#include "dbupdate/sql_script_runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>

#include "core/errors.h"
#include "core/path_text.h"
#include "support/fake_window.h"
#include "support/sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::FakeWindow;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

TEST(SortScriptNamesTest, OrdersByUpperCasedBytesAndKeepsEqualNamesInPlace) {
  struct Case {
    std::vector<std::string> in;
    std::vector<std::string> out;
  };
  const Case cases[] = {
      {{"b.sql", "A.sql", "c.SQL"}, {"A.sql", "b.sql", "c.SQL"}},
      {{"ab.sql", "AB"}, {"AB", "ab.sql"}},                          // a prefix first
      {{"a.sql", "A.sql"}, {"a.sql", "A.sql"}},                      // equal: order kept
      {{"A.sql", "a.sql"}, {"A.sql", "a.sql"}},                      //
      {{"_x.sql", "b.sql", "a.sql"}, {"a.sql", "b.sql", "_x.sql"}},  // '_' after 'Z'
      {{"Čep.sql", "Zec.sql"}, {"Zec.sql", "Čep.sql"}},              // non-ASCII after ASCII
  };
  for (const auto& c : cases) {
    auto names = c.in;
    SortScriptNames(names);
    EXPECT_EQ(names, c.out);
  }
}

TEST(ParseSqlDateTimeTest, ReadsTheServersTextForms) {
  EXPECT_EQ(ParseSqlDateTime("2021-03-04 05:06:07.890"), (SqlDateTime{2021, 3, 4, 5, 6, 7, 890}));
  EXPECT_EQ(ParseSqlDateTime("2021-03-04 05:06:07.1234567"),
            (SqlDateTime{2021, 3, 4, 5, 6, 7, 123}));
  EXPECT_EQ(ParseSqlDateTime("2021-03-04 05:06:07"), (SqlDateTime{2021, 3, 4, 5, 6, 7, 0}));
  EXPECT_EQ(ParseSqlDateTime("2021-03-04"), (SqlDateTime{2021, 3, 4, 0, 0, 0, 0}));
  for (const char* bad : {"", "4.3.2021.", "2021-13-01", "2021-03-04 25:00:00",
                          "2021-03-04T05:06:07", "2021-03-04 05:06:07.", "2021-03-04 05:06"}) {
    EXPECT_EQ(ParseSqlDateTime(bad), std::nullopt) << bad;
  }
  EXPECT_LT(*ParseSqlDateTime("2021-03-04 05:06:07.001"), *ParseSqlDateTime("2021-03-04 05:06:08"));
}

TEST(SplitSqlScriptTest, BatchesEndAtGoLinesOutsideCommentBlocks) {
  struct Case {
    const char* name;
    std::string script;
    std::vector<SqlBatch> batches;  // text, first line, GO line
  };
  const Case cases[] = {
      {"GO in any case with blanks; blank lines dropped",
       "select 1\r\n\r\nselect 2\r\n  Go \r\n\r\nselect 3\r\ngo\r\n",
       {{"select 1\r\nselect 2", 1, 4}, {"select 3", 6, 7}}},
      {"leading and repeated GO end nothing",
       "GO\nselect 1\nGO\nGO\nselect 2\nGO\n",
       {{"select 1", 2, 3}, {"select 2", 5, 6}}},
      {"text after the last GO is no batch", "select 1\nGO\nselect 2\n", {{"select 1", 1, 2}}},
      {"a GO inside a comment block stays in the batch",
       "/*\nGO\n*/\nselect 1\nGO\n",
       {{"/*\r\nGO\r\n*/\r\nselect 1", 1, 5}}},
      {"an unclosed comment block swallows the rest", "select 1\n/*\nGO\nselect 2\nGO\n", {}},
      {"a lone CR ends the text of its line up to the next LF",
       "select 1\rignored\nGO\rx\n",
       {{"select 1", 1, 2}}},
      {"CP1250 becomes UTF-8", "select '\x9A'\nGO\n", {{"select 'š'", 1, 2}}},
      {"UTF-8 after a byte-order mark", "\xEF\xBB\xBFselect 'š'\nGO\n", {{"select 'š'", 1, 2}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto batches = SplitSqlScript(c.script);
    ASSERT_EQ(batches.size(), c.batches.size());
    for (size_t i = 0; i < batches.size(); ++i) {
      EXPECT_EQ(batches[i].text, c.batches[i].text);
      EXPECT_EQ(batches[i].first_line, c.batches[i].first_line);
      EXPECT_EQ(batches[i].go_line, c.batches[i].go_line);
    }
  }
}

// Answers queries from a table of rules and records every statement.
class FakeConnection : public SqlConnection {
 public:
  void Open(const ConnectionItems& items) override {
    opened.push_back(items);
    if (!open_error.empty()) throw UpdateError(open_error);
  }
  void Close() override {}
  std::vector<SqlRow> Query(const std::string& sql) override {
    statements.push_back(sql);
    return on_query ? on_query(sql) : std::vector<SqlRow>{};
  }
  void Execute(const std::string& sql) override {
    statements.push_back(sql);
    if (on_execute) on_execute(sql);
  }

  std::vector<ConnectionItems> opened;
  std::string open_error;
  std::vector<std::string> statements;
  std::function<std::vector<SqlRow>(const std::string&)> on_query;
  std::function<void(const std::string&)> on_execute;
};

void SetLocalTime(const fs::path& path, int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  auto sys = std::chrono::system_clock::from_time_t(std::mktime(&tm));
  fs::last_write_time(path, std::chrono::file_clock::from_sys(sys));
}

class RunnerTest : public ::testing::Test {
 protected:
  RunnerTest() : window_(clock_) {
    fs::create_directories(dir_.path() / "Update" / "UpdateBaze");
    fs::create_directories(dir_.path() / "Update" / "Update");
    WriteFile(Exe(), "MZ");
    params_.ExeFolder = dir_.folder();
    params_.AppExeName = "Demo";
    params_.UpdateType = 3;
    params_.RaiseMinVersion = "0";
    params_.LastRun = "0";
    params_.ConnectionList = {"srv", "sa", "pw", "Radna"};
    params_.ConnectionText = "srv,sa,pw,Radna";
  }

  fs::path Exe() const { return dir_.path() / "Update" / "Update" / "Demo.exe"; }
  fs::path Log() const { return dir_.path() / PathFromUtf8("GreškeSQLUpdate.txt"); }
  void Script(const std::string& name, const std::string& text) {
    WriteFile(dir_.path() / "Update" / "UpdateBaze" / name, text);
  }
  void Run() {
    RunSqlScripts(window_, params_, db_, [](const std::string&) { return "2.1.0.10"; });
  }
  std::vector<std::string> Executed(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& s : db_.statements) {
      if (s.rfind(prefix, 0) == 0) out.push_back(s);
    }
    return out;
  }

  TempDir dir_;
  VirtualClock clock_;
  FakeWindow window_;
  RunParams params_;
  FakeConnection db_;
};

TEST_F(RunnerTest, MarksEveryScriptScrollsTheListAndPausesPerScript) {
  for (int i = 1; i <= 7; ++i) Script("s" + std::to_string(i) + ".sql", "select 1\r\nGO\r\n");
  Run();

  EXPECT_EQ(db_.opened.at(0).database, "Radna");
  EXPECT_EQ(db_.statements.at(0), "select getDate() as Datum");
  EXPECT_EQ(db_.statements.at(1),
            "select name from master.dbo.sysdatabases where name='QTVConfig'");
  const auto& lines = window_.Lines(StepList::kJvInstallLabel2);
  ASSERT_EQ(lines.size(), 7u);
  for (const auto& line : lines) {
    EXPECT_EQ(line.image, 1) << line.text;
    EXPECT_FALSE(line.bold);
  }
  EXPECT_EQ(window_.TopLine(StepList::kJvInstallLabel2), 2);  // five lines in view
  EXPECT_EQ(clock_.slept_ms(), 7u * 200u);
  EXPECT_EQ(window_.statuses.front(), "Nadograđujem bazu podataka.\rMolim pričekajte...");
  EXPECT_EQ(window_.Label1(), "Nadogradnja baze gotova.");
  EXPECT_EQ(window_.Label2(), "");
  EXPECT_FALSE(fs::exists(Log()));
  EXPECT_EQ(params_.Outcome, ExitStatus::kCompleted);
  // QTVConfig exists nowhere, so the prefix goes.
  Script("q.sql", "select * from QTVConfig.dbo.T\r\nGO\r\n");
  Run();
  EXPECT_EQ(Executed("select * from").back(), "select * from dbo.T");
}

TEST_F(RunnerTest, FailuresBeforeTheScriptsRun) {
  Script("a.sql", "select 1\r\nGO\r\n");
  struct Case {
    const char* name;
    std::vector<std::string> items;
    std::string open_error;
    bool select_fails;
    std::string raised;  // empty: returns
  };
  const Case cases[] = {
      {"short connection list", {"srv", "sa", "pw"}, "", false, "List index out of bounds (3)"},
      {"selection query fails", {"srv", "sa", "pw", "Radna"}, "", true, "Timeout expired"},
      {"connection refused",
       {"srv", "sa", "pw", "Radna"},
       "Login failed for user 'sa'.",
       false,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(Log(), "old");
    db_ = FakeConnection();
    db_.open_error = c.open_error;
    if (c.select_fails) {
      db_.on_query = [](const std::string& sql) -> std::vector<SqlRow> {
        if (sql.rfind("select crdate", 0) == 0) throw UpdateError("Timeout expired");
        return {};
      };
    }
    params_.ConnectionList = c.items;
    params_.Outcome = ExitStatus::kCompleted;
    if (c.raised.empty()) {
      Run();
      EXPECT_EQ(window_.Label1(),
                "Nadogradnja baze podataka nije uspjela.\rUzrok: " + c.open_error);
      EXPECT_EQ(params_.Outcome, ExitStatus::kDatabaseUnreachable);
    } else {
      try {
        Run();
        ADD_FAILURE() << "no error";
      } catch (const UpdateError& e) {
        EXPECT_EQ(e.what(), c.raised);
      }
    }
    EXPECT_EQ(ReadFile(Log()), "");  // created empty before anything could fail
    EXPECT_TRUE(Executed("select 1").empty());
    EXPECT_TRUE(Executed("if (").empty());
  }
}

TEST_F(RunnerTest, ScriptThatFailsTwiceIsLoggedAndFailsTheRun) {
  Script("a.sql", "select 1\r\nGO\r\n");
  Script("b.sql", "create table Losa\r\nGO\r\n");
  db_.on_execute = [](const std::string& sql) {
    if (sql.find("Losa") != std::string::npos) throw UpdateError("Incorrect syntax near 'Losa'.");
  };
  Run();
  EXPECT_TRUE(fs::exists(Log()));
  EXPECT_EQ(params_.Outcome, ExitStatus::kScriptsFailed);
}

TEST_F(RunnerTest, OptionRowsHaveTheirShapesWithQuotedValues) {
  // Windows allows no double quote in a file name; the apostrophe is the one quoting doubles.
  const std::string rest = testing::kQuotesInNames ? " \"x\"" : " x";
  params_.AppExeName = "O'Brien" + rest;
  params_.RaiseMinVersion = "1";
  const fs::path exe = dir_.path() / "Update" / "Update" / (params_.AppExeName + ".exe");
  WriteFile(exe, "MZ");
  SetLocalTime(exe, 2024, 3, 5, 0, 0, 0);
  db_.on_query = [](const std::string& sql) -> std::vector<SqlRow> {
    if (sql.rfind("SELECT Vrijednost", 0) != 0) return {};
    SqlRow row;
    row.Add("Vrijednost", "2.1.0.9");
    return {row};
  };
  Run();

  const std::string app = "'O''Brien" + rest + "'";
  EXPECT_EQ(Executed("if (").at(0),
            "if (SELECT Vrijednost from OpcijeAplikacije where SEKCIJA=" + app +
                " and Kljuc='TrenVerzijaDatum') is NULL   INSERT into "
                "OpcijeAplikacije(SEKCIJA,KLJUC,VRIJEDNOST,KOMENTAR) values (" +
                app + ",'TrenVerzijaDatum','5.3.2024.','Trenutni datum verzije O''Brien" + rest +
                "') "
                "else   UPDATE OpcijeAplikacije set VRIJEDNOST='5.3.2024.' where SEKCIJA=" +
                app + " and Kljuc='TrenVerzijaDatum'");
  EXPECT_EQ(Executed("if (").at(1),
            "if (SELECT Vrijednost from OpcijeAplikacije where SEKCIJA=" + app +
                " and Kljuc='MinVerzija') is NULL INSERT into "
                "OpcijeAplikacije(SEKCIJA,KLJUC,VRIJEDNOST,KOMENTAR) values (" +
                app + ",'MinVerzija','','Minimalna verzija programa koja je potrebna za rad')");
  // 2.1.0.10 is above 2.1.0.9 as numbers, though not as text.
  EXPECT_EQ(Executed("update").at(0),
            "update OpcijeAplikacije set Vrijednost='2.1.0.10' where Sekcija=" + app +
                " and Kljuc='MinVerzija' and Vrijednost='2.1.0.9'");
  EXPECT_EQ(params_.NewVersion, "2.1.0.10");
  EXPECT_NE(std::find(window_.statuses.begin(), window_.statuses.end(),
                      "Minimalna verzija 2.1.0.10 postavljena"),
            window_.statuses.end());
  EXPECT_EQ(clock_.slept_ms(), 4000u);
}

TEST_F(RunnerTest, NoMinimumVersionIsRecordedWithoutAnExecutableVersion) {
  params_.RaiseMinVersion = "1";
  RunSqlScripts(window_, params_, db_, [](const std::string&) { return std::string(); });
  EXPECT_EQ(Executed("if (").size(), 1u);  // only the version date
  EXPECT_TRUE(Executed("SELECT Vrijednost").empty());
  EXPECT_EQ(clock_.slept_ms(), 0u);
  EXPECT_EQ(window_.Label1(), "Nadogradnja baze gotova.");
}

TEST_F(RunnerTest, OptionRowFailuresAreSwallowed) {
  params_.RaiseMinVersion = "1";
  db_.on_execute = [](const std::string& sql) {
    if (sql.rfind("if (", 0) == 0) throw UpdateError("Invalid object name 'OpcijeAplikacije'.");
  };
  Run();
  EXPECT_EQ(Executed("if (").size(), 2u);  // the date, then the first minimum-version step
  EXPECT_TRUE(Executed("update").empty());
  EXPECT_EQ(clock_.slept_ms(), 0u);  // no label, no pause
  EXPECT_EQ(window_.Label1(), "Nadogradnja baze gotova.");
}

}  // namespace
}  // namespace zepr
