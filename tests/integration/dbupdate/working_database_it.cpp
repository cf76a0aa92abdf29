#include <gtest/gtest.h>

#include "core/connection_text.h"
#include "core/errors.h"
#include "dbupdate/sql_session.h"
#include "dbupdate/working_database.h"
#include "install/file_version.h"
#include "support/fake_window.h"
#include "support/sandbox.h"
#include "support/tds_peer_process.h"

namespace zepr {
namespace {

using Strings = std::vector<std::string>;
using testing::TdsPeer;
using testing::TempDir;
constexpr auto kDatabases = StepList::kJvInstallLabel2;

// The password carries every character that needs an escape on a child's command line.
std::string Control(bool minimum_fails = false) {
  return std::string(R"json({
  "users": {"sa": "t,a&j\"n%a"},
  "version": "Microsoft SQL Server 2005 - 9.00.5000.00 (Intel X86)",
  "databases": {
    "Radna": ["CREATE TABLE OpcijeAplikacije (SEKCIJA varchar(50), Kljuc varchar(50), Vrijednost varchar(255), KOMENTAR varchar(255))"],
    "QTVConfig": ["CREATE TABLE BazeUpdate (Grupa varchar(50), Poredak int, DatabaseName varchar(128))",
                  "INSERT INTO BazeUpdate VALUES ('Mala', 2, 'Druga'), ('Mala', 1, 'Prva'), ('Mala', 3, 'Treća'), ('Druga grupa', 1, 'Ostala')"]
  })json") +
         (minimum_fails ? R"json(,
  "fail": [{"match": "Kljuc='MinVerzija'", "database": "Radna", "message": "Gateway lost its table."}])json"
                        : "") +
         "}";
}

// Records every start; nothing is really started.
struct RecordingPrograms : Processes {
  struct Start {
    Strings argv;
    bool wait;
  };
  std::vector<Start> starts;
  platform::StartResult StartProgram(const Strings& argv, bool, bool wait) override {
    starts.push_back({argv, wait});
    return {true};
  }
  bool IsProgramRunning(const std::string&) override { return false; }
  void StopProgram(const std::string&) override {}
};

class WorkingDatabaseTest : public ::testing::Test {
 protected:
  WorkingDatabaseTest() : peer_(dir_.path() / "peer", Control()) {
    params_.ExeFolder = app_.folder();
    params_.AppTitle = "Demo";
    params_.AppSection = "DEMO";
    params_.AppExeName = "Demo";
    params_.ClientFolder = "Klijent";
    params_.ShareFolder = "/srv/share/";
    params_.RaiseMinVersion = "0";
    params_.ConnectionList = {peer_.server(), "sa", "t,a&j\"n%a", "Radna"};
  }

  WorkingDatabase Make(FileVersionFn versions = FileVersionString) {
    return WorkingDatabase(window_, params_, session_, programs_, std::move(versions));
  }

  // Puts the minimum version into the working database (none for an empty text).
  void SetMinimum(const std::string& version) {
    SqlSession admin;
    admin.Open({peer_.server(), "sa", "t,a&j\"n%a", "Radna"});
    admin.Execute("delete from OpcijeAplikacije");
    if (!version.empty()) {
      admin.Execute("insert into OpcijeAplikacije values ('DEMO', 'MinVerzija', '" + version +
                    "', 'x')");
    }
  }

  TempDir dir_;
  TempDir app_;
  TdsPeer peer_;
  VirtualClock clock_;
  testing::FakeWindow window_{clock_};
  RunParams params_;
  SqlSession session_;
  RecordingPrograms programs_;
};

TEST_F(WorkingDatabaseTest, GateComparesTheDatabasesMinimumInNumericOrder) {
  const struct {
    const char* minimum;
    bool escalates;
  } cases[] = {{"", false}, {"1.0.0.8", false}, {"1.0.0.10", true}};
  for (const auto& c : cases) {
    SetMinimum(c.minimum);
    window_.statuses.clear();
    auto db = Make([](const std::string&) { return "1.0.0.9"; });
    EXPECT_EQ(db.VersionGateDemandsNewer(), c.escalates) << c.minimum;
    EXPECT_EQ(params_.MinVersion, c.minimum);
    EXPECT_EQ(window_.statuses.size(), c.escalates ? 1u : 0u) << c.minimum;
  }
  EXPECT_EQ(window_.Label1(),
            "I dalje postoji novija verzija programa Demo\r1.0.0.9 / 1.0.0.10. Pokrećem skidanje "
            "sa interneta...");
  EXPECT_EQ(peer_.BatchesContaining("MinVerzija' order by Vrijednost desc").size(), 3u);
}

TEST_F(WorkingDatabaseTest, GateShowsTheServersMessageAndPasses) {
  SetMinimum("9.0.0.0");
  peer_.SetControl(Control(true));
  auto db = Make([](const std::string&) { return "1.0.0.9"; });
  EXPECT_FALSE(db.VersionGateDemandsNewer());
  EXPECT_EQ(window_.Label1(),
            "Greška kod pronalažanja minimalne verzije programa.\rGateway lost its table.");
  EXPECT_EQ(clock_.slept_ms(), 1000u);
}

TEST_F(WorkingDatabaseTest, ToolsAbsentFromThisMachineLeaveTheScriptStepStanding) {
  SystemProcesses system(clock_);
  params_.ScriptFileName = "skripta.sql";
  WorkingDatabase db(window_, params_, session_, system, FileVersionString);
  EXPECT_TRUE(db.OpenScriptInTool());
  EXPECT_EQ(window_.Label1(), "");

  params_.ConnectionList[2] = "kriva";
  EXPECT_FALSE(db.OpenScriptInTool());
  EXPECT_EQ(window_.Label1(),
            "Nadogradnja baze podataka nije uspjela.\rUzrok: Login failed for user 'sa'.");
}

TEST_F(WorkingDatabaseTest, GroupOfThreeRunsTheInternetUpdateOnceThenInstallsTheRest) {
  params_.DatabaseGroup = "Mala";
  params_.ChildUpdateType = "3";
  Make().UpdateDatabaseGroup();

  ASSERT_EQ(programs_.starts.size(), 3u);
  const Strings databases{"Prva", "Druga", "Treća"};
  for (size_t i = 0; i < 3; ++i) {
    const auto& argv = programs_.starts[i].argv;
    SCOPED_TRACE(i);
    EXPECT_TRUE(programs_.starts[i].wait);
    EXPECT_EQ(Strings(argv.begin(), argv.begin() + 5),
              (Strings{app_.folder() + "ZEPRUpdate.exe", "Demo", "DEMO", "Demo", "Klijent"}));
    EXPECT_EQ(argv.at(5), i == 0 ? "3" : "8");
    // The server's "host,port" and the password's separators come back as the same items.
    EXPECT_EQ(DecodeConnectionText(argv.at(6)),
              (Strings{peer_.server(), "sa", "t,a&j\"n%a", databases[i]}));
    EXPECT_EQ(Strings(argv.begin() + 7, argv.end()), (i == 0 ? Strings{"0"} : Strings{"1", "0"}));
  }
  EXPECT_EQ(window_.Lines(kDatabases).size(), 3u);
  for (const auto& line : window_.Lines(kDatabases)) EXPECT_EQ(line.image, 1);
  EXPECT_EQ(window_.statuses.at(0), "Update tip 3 za radne baze grupe Mala\rMolim pričekajte...");
  EXPECT_TRUE(window_.CompletionVisible());
  EXPECT_TRUE(window_.EndRequested());
  const auto batches = peer_.Batches();
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0].database, "QTVConfig");
  EXPECT_EQ(batches[1].sql, "select * from BazeUpdate where Grupa='Mala' order by Poredak");
}

TEST_F(WorkingDatabaseTest, ConfigurationWithoutTheListShowsItsText) {
  // The configuration database of this server lacks BazeUpdate.
  params_.DatabaseGroup = "Mala";
  auto db = Make();
  SqlSession admin;
  admin.Open({peer_.server(), "sa", "t,a&j\"n%a", "QTVConfig"});
  admin.Execute("drop table BazeUpdate");
  db.UpdateDatabaseGroup();
  const std::string prefix =
      "Ne postoji tablica popisa baza: QTVConfig.BazeUpdate ili ima krivu strukturu.\rGreška: ";
  EXPECT_EQ(window_.Label1().substr(0, prefix.size()), prefix);
  EXPECT_GT(window_.Label1().size(), prefix.size());
  EXPECT_EQ(clock_.slept_ms(), 3000u);
  EXPECT_TRUE(programs_.starts.empty());
  EXPECT_FALSE(window_.EndRequested());
}

}  // namespace
}  // namespace zepr
