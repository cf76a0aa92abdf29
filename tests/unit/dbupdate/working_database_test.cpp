#include "dbupdate/working_database.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "core/connection_text.h"
#include "core/errors.h"
#include "core/path_text.h"
#include "support/fake_window.h"
#include "support/sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using testing::ReadFile;
using testing::WriteFile;
constexpr auto kDatabases = StepList::kJvInstallLabel2;

// Answers by the first key found in the statement; a failure key raises its message.
struct FakeSql : SqlConnection {
  std::vector<ConnectionItems> opened;
  Strings statements;
  std::string open_error;
  std::map<std::string, std::vector<SqlRow>> answers;
  std::map<std::string, std::string> failures;

  void Open(const ConnectionItems& items) override {
    opened.push_back(items);
    if (!open_error.empty()) throw UpdateError(open_error);
  }
  void Close() override {}
  std::vector<SqlRow> Query(const std::string& sql) override {
    statements.push_back(sql);
    for (const auto& [key, message] : failures) {
      if (sql.find(key) != std::string::npos) throw UpdateError(message);
    }
    for (const auto& [key, rows] : answers) {
      if (sql.find(key) != std::string::npos) return rows;
    }
    return {};
  }
  void Execute(const std::string& sql) override { statements.push_back(sql); }
};

struct Start {
  Strings argv;
  bool wait;
};

struct FakePrograms : Processes {
  std::set<std::string> missing;  // programs that cannot be started
  std::vector<Start> starts;
  std::function<int(const Strings&)> on_start;  // the exit status
  platform::StartResult StartProgram(const Strings& argv, bool hidden, bool wait) override {
    EXPECT_FALSE(hidden);
    starts.push_back({argv, wait});
    if (missing.count(argv.at(0))) return {false, 0, "No such file or directory"};
    return {true, on_start ? on_start(argv) : 0};
  }
  bool IsProgramRunning(const std::string&) override { return false; }
  void StopProgram(const std::string&) override {}
};

SqlRow Row(const std::string& column, std::optional<std::string> value) {
  SqlRow row;
  row.Add(column, std::move(value));
  return row;
}

struct Fixture {
  testing::TempDir dir;
  VirtualClock clock;
  testing::FakeWindow window{clock};
  RunParams params;
  FakeSql sql;
  FakePrograms programs;
  Strings version_paths;
  std::string new_version = "2.1.0.9";
  WorkingDatabase db{window, params, sql, programs, [this](const std::string& path) {
                       version_paths.push_back(path);
                       return new_version;
                     }};

  Fixture() {
    params.ExeFolder = dir.folder();
    params.AppTitle = "Demo Title";
    params.AppSection = "DEMO";
    params.AppExeName = "Demo";
    params.ClientFolder = "Klijent";
    params.ShareFolder = "/srv/share dir/";
    params.RaiseMinVersion = "1";
    params.ConnectionList = {"srv", "sa", "pw", "Radna"};
    params.ScriptFileName = "skripta.sql";
  }
  std::vector<std::string> Started() const {
    std::vector<std::string> names;
    for (const auto& s : programs.starts) names.push_back(s.argv.at(0));
    return names;
  }
};

TEST(ServerKind, FirstMarkerInTheFixedOrderWins) {
  const struct {
    const char* text;
    const char* kind;
  } cases[] = {
      {"Microsoft SQL Server  2000 - 8.00.2039 (Intel X86)", "SQL2000"},
      {"Microsoft SQL Server 2005 - 9.00.5000.00 (Intel X86)", "SQL2005"},
      // The server's year comes before the system's, but the order of the tests decides.
      {"Microsoft SQL Server 2012 - 11.0.5058.0 (X64) on Windows NT 6.1 (2008 R2)", "SQL2008"},
      {"Microsoft SQL Server 2012 (SP1) - 11.0.3000.0 (X64)", "SQL2012"},
      {"Microsoft SQL Server 2014 - 12.0.2000.8 (X64)", "SQL2014"},
      {"Microsoft SQL Server 2019 (RTM) - 15.0.2000.5 (X64)",
       "Microsoft SQL Server 2019 (RTM) - "
       "15.0.2000.5 (X64)"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ClassifyServerVersion(c.text), c.kind) << c.text;
}

TEST(ScriptInTool, StartsTheToolOfTheServerKindWithItsFallBacks) {
  const struct {
    const char* version;
    std::set<std::string> missing;
    Strings started;
    std::vector<bool> waited;
  } cases[] = {
      {"Microsoft SQL Server  2000 - 8.00.2039", {}, {"isqlw"}, {true}},
      {"Microsoft SQL Server 2005 - 9.00.5000.00", {}, {"sqlwb.exe"}, {true}},
      {"Microsoft SQL Server 2005 - 9.00.5000.00",
       {"sqlwb.exe"},
       {"sqlwb.exe", "ssmsee.exe"},
       {true, true}},
      // Nothing installed: the shell's open is the last try and never waits.
      {"Microsoft SQL Server 2005 - 9.00.5000.00",
       {"sqlwb.exe", "ssmsee.exe"},
       {"sqlwb.exe", "ssmsee.exe", "ssmsee.exe"},
       {true, true, false}},
      {"Microsoft SQL Server 2012 on Windows (2008 R2)", {}, {"ssms.exe"}, {true}},
      {"Microsoft SQL Server 2014 - 12.0.2000.8", {"ssms.exe"}, {"ssms.exe"}, {true}},
      {"Microsoft SQL Server 2019 (RTM) - 15.0.2000.5", {}, {}, {}},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.sql.answers["@@Version"] = {Row("Verzija", c.version)};
    f.programs.missing = c.missing;
    EXPECT_TRUE(f.db.OpenScriptInTool()) << c.version;
    EXPECT_EQ(f.Started(), c.started) << c.version;
    for (size_t i = 0; i < f.programs.starts.size(); ++i) {
      EXPECT_EQ(f.programs.starts[i].wait, c.waited[i]) << c.version << " start " << i;
    }
    EXPECT_EQ(f.sql.statements, Strings{"select @@Version as Verzija"});
    EXPECT_EQ(f.sql.opened.at(0).database, "Radna");
    EXPECT_EQ(f.clock.slept_ms(), 0u);
  }
}

TEST(ScriptInTool, ToolGetsTheConnectionAndTheScriptAsSeparateArguments) {
  Fixture f;
  f.params.ConnectionList = {"host,1433", "ana", "tajna lozinka", "Radna baza"};
  f.params.ScriptFileName = "nova skripta.sql";
  const std::string script = f.dir.folder() + "nova skripta.sql";
  const Strings t = {"-S", "host,1433", "-d", "Radna baza", "-U", "ana", "-P", "tajna lozinka"};
  auto expect = [&](const std::string& program, bool file_flag) {
    Strings argv{program};
    argv.insert(argv.end(), t.begin(), t.end());
    if (file_flag) argv.push_back("-f");
    argv.push_back(script);
    return argv;
  };

  f.sql.answers["@@Version"] = {Row("Verzija", "SQL Server 2000 - 8.00.194")};
  ASSERT_TRUE(f.db.OpenScriptInTool());
  f.sql.answers["@@Version"] = {Row("Verzija", "SQL Server 2012 - 11.0")};
  ASSERT_TRUE(f.db.OpenScriptInTool());
  ASSERT_EQ(f.programs.starts.size(), 2u);
  EXPECT_EQ(f.programs.starts[0].argv, expect("isqlw", true));
  EXPECT_EQ(f.programs.starts[1].argv, expect("ssms.exe", false));
}

TEST(ScriptInTool, UnreachableDatabaseShowsTheCauseAndFails) {
  Fixture f;
  f.sql.open_error = "Login failed for user 'sa'.";
  EXPECT_FALSE(f.db.OpenScriptInTool());
  EXPECT_EQ(f.window.Label1(),
            "Nadogradnja baze podataka nije uspjela.\rUzrok: Login failed for user 'sa'.");
  EXPECT_EQ(f.clock.slept_ms(), 3000u);
  EXPECT_TRUE(f.programs.starts.empty());
  EXPECT_FALSE(f.window.EndRequested());
}

TEST(DatabaseSteps, ShortConnectionListRaisesBeforeAnyDatabaseWork) {
  Fixture f;
  f.params.ConnectionList = {"srv", "sa"};
  EXPECT_THROW(f.db.OpenScriptInTool(), UpdateError);
  EXPECT_THROW(f.db.VersionGateDemandsNewer(), UpdateError);
  EXPECT_THROW(f.db.UpdateDatabaseGroup(), UpdateError);
  EXPECT_TRUE(f.sql.opened.empty());
  EXPECT_TRUE(f.window.statuses.empty());
}

TEST(VersionGate, EscalatesOnlyWhenTheMinimumIsNewerInNumericOrder) {
  const struct {
    bool row;
    std::optional<std::string> min;  // nullopt: NULL
    const char* new_version;
    bool escalates;
  } cases[] = {
      {false, "", "1.0.0.9", false},        {true, std::nullopt, "1.0.0.9", false},
      {true, "", "1.0.0.9", false},         {true, "1.0.0.8", "1.0.0.9", false},
      {true, "1.0.0.9", "1.0.0.9", false},  {true, "1.0.0.10", "1.0.0.9", true},
      {true, "1.0.0.9", "1.0.0.10", false}, {true, "10.0.0.0", "9.0.0.0", true},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.new_version = c.new_version;
    if (c.row) f.sql.answers["MinVerzija"] = {Row("Vrijednost", c.min)};
    const std::string label = c.row ? c.min.value_or("NULL") : "no row";
    EXPECT_EQ(f.db.VersionGateDemandsNewer(), c.escalates) << label;
    EXPECT_EQ(f.params.NewVersion, c.new_version);
    EXPECT_EQ(f.params.MinVersion, c.min.value_or(""));
    EXPECT_EQ(f.clock.slept_ms(), c.escalates ? 5000u : 0u);
    EXPECT_EQ(f.window.statuses.empty(), !c.escalates) << label;
  }
}

// The server's text order puts 1.0.0.9 first; the gate must still see 1.0.0.10.
TEST(VersionGate, TakesTheHighestMinimumOfBothSectionsInVersionOrder) {
  Fixture f;
  f.new_version = "1.0.0.9";
  f.sql.answers["MinVerzija"] = {Row("Vrijednost", "1.0.0.9"), Row("Vrijednost", "1.0.0.10")};
  EXPECT_TRUE(f.db.VersionGateDemandsNewer());
  EXPECT_EQ(f.params.MinVersion, "1.0.0.10");
}

TEST(VersionGate, AsksTheWorkingDatabaseWithQuotedValuesAndShowsBothVersions) {
  Fixture f;
  f.params.AppExeName = "O'Demo";
  f.params.AppSection = "SEK'CIJA";
  f.sql.answers["MinVerzija"] = {Row("Vrijednost", "3.0.0.1")};
  EXPECT_TRUE(f.db.VersionGateDemandsNewer());
  EXPECT_EQ(f.version_paths, Strings{f.dir.folder() + "Update/Update/O'Demo.exe"});
  EXPECT_EQ(f.sql.opened.at(0).server, "srv");
  EXPECT_EQ(f.sql.opened.at(0).database, "Radna");
  EXPECT_EQ(f.sql.statements,
            Strings{"SELECT Vrijednost from OpcijeAplikacije where (SEKCIJA='O''Demo' or "
                    "SEKCIJA='SEK''CIJA') and Kljuc='MinVerzija' order by Vrijednost desc"});
  EXPECT_EQ(f.window.Label1(),
            "I dalje postoji novija verzija programa Demo Title\r2.1.0.9 / 3.0.0.1. Pokrećem "
            "skidanje sa interneta...");
  // The run relaunches; the gate itself starts nothing and ends nothing.
  EXPECT_TRUE(f.programs.starts.empty());
  EXPECT_FALSE(f.window.EndRequested());
}

TEST(VersionGate, FailedLookupShowsItsTextAndPasses) {
  Fixture f;
  f.sql.failures["OpcijeAplikacije"] = "Invalid object name 'OpcijeAplikacije'.";
  EXPECT_FALSE(f.db.VersionGateDemandsNewer());
  EXPECT_EQ(f.window.Label1(),
            "Greška kod pronalažanja minimalne verzije programa.\rInvalid object name "
            "'OpcijeAplikacije'.");
  EXPECT_EQ(f.clock.slept_ms(), 1000u);

  Fixture unreachable;
  unreachable.sql.open_error = "Unable to connect";
  EXPECT_FALSE(unreachable.db.VersionGateDemandsNewer());
  EXPECT_EQ(unreachable.window.Label1(),
            "Greška kod pronalažanja minimalne verzije programa.\rUnable to connect");
}

TEST(VersionGate, ArchiveWithoutTheExecutableNeverEscalates) {
  Fixture f;
  f.new_version = "";
  f.sql.answers["MinVerzija"] = {Row("Vrijednost", "9.9.9.9")};
  EXPECT_FALSE(f.db.VersionGateDemandsNewer());
  EXPECT_TRUE(f.sql.opened.empty());
  EXPECT_TRUE(f.window.statuses.empty());
  EXPECT_EQ(f.clock.slept_ms(), 0u);
}

TEST(ChildCommandLine, FieldsPerChildTypeAndPosition) {
  const struct {
    const char* type;
    size_t index;
    Strings tail;
  } cases[] = {
      {"6", 0, {"6", "/srv/share dir/", "C", "1", "0", "0"}},
      {"6", 1, {"6", "x", "C", "1", "0", "0"}},
      {"8", 0, {"8", "C", "1", "1"}},
      {"8", 3, {"8", "C", "1", "1"}},
      {"3", 0, {"3", "C", "1"}},
      {"3", 1, {"8", "C", "1", "1"}},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.params.ChildUpdateType = c.type;
    Strings expected{f.dir.folder() + "ZEPRUpdate.exe", "Demo Title", "DEMO", "Demo", "Klijent"};
    for (const auto& field : c.tail) expected.push_back(field == "C" ? "srv,sa,pw,Baza2" : field);
    EXPECT_EQ(f.db.ChildArguments(c.index, "Baza2"), expected) << c.type << " " << c.index;
  }
  for (const char* type : {"", "2", "7", "x"}) {
    Fixture f;
    f.params.ChildUpdateType = type;
    EXPECT_EQ(f.db.ChildArguments(0, "Baza"), std::nullopt) << type;
  }
}

TEST(ChildCommandLine, ItemsWithSeparatorsReachTheChildIntact) {
  Fixture f;
  f.params.ConnectionList = {"127.0.0.1,1433", "us&er", "p\"w%,x", "Baza"};
  f.params.ChildUpdateType = "8";
  const auto argv = f.db.ChildArguments(0, "Baza, 2%");
  ASSERT_TRUE(argv);
  const std::string c = argv->at(6);
  EXPECT_EQ(c.find('&'), std::string::npos);
  EXPECT_EQ(DecodeConnectionText(c), (Strings{"127.0.0.1,1433", "us&er", "p\"w%,x", "Baza, 2%"}));
}

// Runs a group and records, for every child, the list's top line and the current line's mark.
struct GroupRun : Fixture {
  Strings children;
  std::vector<int> top_lines;
  std::vector<int> marks;
  std::map<std::string, int> exit_status;  // by database; 0 when not named

  explicit GroupRun(const Strings& names) {
    params.DatabaseGroup = "Grupa A";
    params.ChildUpdateType = "3";
    std::vector<SqlRow> rows;
    for (const auto& n : names) rows.push_back(Row("DatabaseName", n));
    sql.answers["BazeUpdate"] = rows;
    programs.on_start = [this](const Strings& argv) {
      const auto items = DecodeConnectionText(argv.at(6));
      children.push_back(argv.at(5) + " " + items.at(3));
      top_lines.push_back(window.TopLine(kDatabases));
      marks.push_back(window.Lines(kDatabases).at(children.size() - 1).image);
      return exit_status[items.at(3)];
    };
  }
  std::vector<int> Images() const {
    std::vector<int> images;
    for (const auto& l : window.Lines(kDatabases)) images.push_back(l.image);
    return images;
  }
};

TEST(DatabaseGroup, OneChildPerDatabaseInOrderThenCompletionAndEnd) {
  GroupRun g({"B1", "B2", "B3"});
  g.db.UpdateDatabaseGroup();

  EXPECT_EQ(g.sql.opened.at(0).database, "QTVConfig");
  EXPECT_EQ(g.sql.opened.at(0).password, "pw");
  EXPECT_EQ(g.sql.statements,
            (Strings{"select getDate() as Datum",
                     "select * from BazeUpdate where Grupa='Grupa A' order by Poredak"}));
  EXPECT_EQ(g.window.statuses,
            Strings{"Update tip 3 za radne baze grupe Grupa A\rMolim pričekajte..."});
  EXPECT_EQ(g.children, (Strings{"3 B1", "8 B2", "8 B3"}));
  EXPECT_EQ(g.marks, (std::vector<int>{0, 0, 0}));
  for (const auto& s : g.programs.starts) EXPECT_TRUE(s.wait);
  EXPECT_EQ(g.Images(), (std::vector<int>{1, 1, 1}));
  EXPECT_TRUE(g.window.CompletionVisible());
  EXPECT_TRUE(g.window.EndRequested());
  EXPECT_EQ(g.clock.slept_ms(), 700u);
  EXPECT_EQ(g.params.Outcome, ExitStatus::kCompleted);
}

TEST(DatabaseGroup, ListMovesUpOneLinePerDatabaseFromTheSixth) {
  GroupRun g({"B1", "B2", "B3", "B4", "B5", "B6", "B7"});
  g.db.UpdateDatabaseGroup();
  EXPECT_EQ(g.top_lines, (std::vector<int>{0, 0, 0, 0, 0, 1, 2}));
  EXPECT_EQ(g.window.TopLine(kDatabases), 2);
}

TEST(DatabaseGroup, EmptyGroupCompletesAtOnce) {
  GroupRun g({});
  g.params.DatabaseGroup = "O'Grupa";
  g.db.UpdateDatabaseGroup();
  EXPECT_EQ(g.sql.statements.at(1),
            "select * from BazeUpdate where Grupa='O''Grupa' order by Poredak");
  EXPECT_TRUE(g.programs.starts.empty());
  EXPECT_TRUE(g.window.CompletionVisible());
  EXPECT_TRUE(g.window.EndRequested());
}

TEST(DatabaseGroup, ChildTypeWithoutARunMarksEveryDatabaseFinished) {
  GroupRun g({"B1", "B2"});
  g.params.ChildUpdateType = "5";
  g.db.UpdateDatabaseGroup();
  EXPECT_TRUE(g.programs.starts.empty());
  EXPECT_EQ(g.Images(), (std::vector<int>{1, 1}));
  EXPECT_TRUE(g.window.EndRequested());
}

TEST(DatabaseGroup, FailuresToReadTheListLeaveTheWindowOpen) {
  const std::string missing_table = "Invalid object name 'BazeUpdate'.";
  const struct {
    bool unreachable;
    std::string text;
  } cases[] = {
      {true, "Spajanje na bazu QTVConfig nije uspjelo.\rUzrok: Cannot open database"},
      {false,
       "Ne postoji tablica popisa baza: QTVConfig.BazeUpdate ili ima krivu strukturu.\rGreška: " +
           missing_table},
  };
  for (const auto& c : cases) {
    GroupRun g({"B1"});
    if (c.unreachable) g.sql.open_error = "Cannot open database";
    g.sql.failures["BazeUpdate"] = missing_table;
    g.db.UpdateDatabaseGroup();
    EXPECT_EQ(g.window.Label1(), c.text);
    EXPECT_EQ(g.clock.slept_ms(), 3000u);
    EXPECT_TRUE(g.programs.starts.empty());
    EXPECT_FALSE(g.window.CompletionVisible());
    EXPECT_FALSE(g.window.EndRequested());
    EXPECT_EQ(g.params.Outcome, ExitStatus::kDatabaseUnreachable);
  }
}

// A child that fails says so with its exit status, or cannot start at all: its database is
// marked failed, the others go on, and the group run fails.
TEST(DatabaseGroup, FailedChildrenMarkTheirDatabaseFailed) {
  GroupRun g({"B1", "B2", "B3"});
  g.exit_status["B2"] = 5;
  g.db.UpdateDatabaseGroup();
  EXPECT_EQ(g.children, (Strings{"3 B1", "8 B2", "8 B3"}));
  EXPECT_EQ(g.Images(), (std::vector<int>{1, 2, 1}));
  EXPECT_EQ(g.params.Outcome, ExitStatus::kGroupDatabaseFailed);
  EXPECT_TRUE(g.window.EndRequested());

  GroupRun missing({"B1"});
  missing.programs.missing = {missing.params.ExeFolder + "ZEPRUpdate.exe"};
  missing.db.UpdateDatabaseGroup();
  EXPECT_EQ(missing.Images(), (std::vector<int>{2}));
  EXPECT_EQ(missing.params.Outcome, ExitStatus::kGroupDatabaseFailed);
}

TEST(DatabaseGroup, ListWithoutDatabaseNameColumnRaises) {
  GroupRun g({});
  g.sql.answers["BazeUpdate"] = {Row("Baza", "B1")};
  EXPECT_THROW(g.db.UpdateDatabaseGroup(), UpdateError);
  EXPECT_TRUE(g.programs.starts.empty());
  EXPECT_FALSE(g.window.EndRequested());
}

TEST(DatabaseGroup, RowWithoutANameStartsNoChildAndIsMarkedFailed) {
  GroupRun g({"B1", "", "B3"});
  g.sql.answers["BazeUpdate"].push_back(Row("DatabaseName", std::nullopt));
  g.db.UpdateDatabaseGroup();
  EXPECT_EQ(g.children, (Strings{"3 B1", "8 B3"}));
  EXPECT_EQ(g.Images(), (std::vector<int>{1, 2, 1, 2}));
  EXPECT_TRUE(g.window.EndRequested());
  EXPECT_EQ(g.params.Outcome, ExitStatus::kGroupDatabaseFailed);

  // Without a first row, the first child started still fetches for the others.
  GroupRun first_empty({"", "B1", "B2"});
  first_empty.db.UpdateDatabaseGroup();
  EXPECT_EQ(first_empty.children, (Strings{"3 B1", "8 B2"}));
}

TEST(DatabaseGroup, EachChildLogIsKeptUnderItsDatabaseName) {
  GroupRun g({"B1", "B2", "B3", "A/B"});
  const auto at = [&](const char* name) { return g.dir.path() / PathFromUtf8(name); };
  const fs::path log = at("GreškeSQLUpdate.txt");
  WriteFile(at("GreškeSQLUpdateB1.txt"), "older log of B1\r\n");
  WriteFile(at("GreškeSQLUpdateB2.txt"), "older log of B2\r\n");
  g.programs.on_start = [&](const Strings& argv) {
    const std::string database = DecodeConnectionText(argv.at(6)).at(3);
    // B2's child succeeds and leaves no log.
    if (database != "B2") WriteFile(log, "x.sql, linija: 3\r\n" + database);
    return 0;
  };
  g.db.UpdateDatabaseGroup();
  EXPECT_FALSE(fs::exists(log));
  EXPECT_EQ(ReadFile(at("GreškeSQLUpdateB1.txt")), "x.sql, linija: 3\r\nB1");
  EXPECT_EQ(ReadFile(at("GreškeSQLUpdateB2.txt")), "older log of B2\r\n");
  EXPECT_EQ(ReadFile(at("GreškeSQLUpdateB3.txt")), "x.sql, linija: 3\r\nB3");
  // A name with a separator still names a file of this folder.
  EXPECT_EQ(ReadFile(at("GreškeSQLUpdateA_B.txt")), "x.sql, linija: 3\r\nA/B");
}

}  // namespace
}  // namespace zepr
