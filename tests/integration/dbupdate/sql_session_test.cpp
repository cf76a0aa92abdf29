#include "dbupdate/sql_session.h"

#include <gtest/gtest.h>

#include "core/errors.h"
#include "support/sandbox.h"
#include "support/tds_peer_process.h"

namespace zepr {
namespace {

using testing::TdsPeer;
using testing::TempDir;

const char* kControl = R"json({
  "users": {"sa": "ta}j;na=1"},
  "version": "Microsoft SQL Server 2012 - 11.0.2100.60",
  "databases": {"Radna": ["CREATE TABLE Osobe (Ime varchar(50), Broj int, Rodjen datetime)",
                          "INSERT INTO Osobe VALUES ('Đuro Šimić', 7, '1990-05-06 07:08:09.000')"],
                "Druga": ["CREATE TABLE Stavke (Naziv varchar(50))"]},
  "fail": [{"match": "PADNI", "message": "Neispravna naredba 'x'.", "number": 102},
           {"match": "NAPOMENA", "message": "Samo napomena.", "class": 10}]
})json";

class SqlSessionTest : public ::testing::Test {
 protected:
  SqlSessionTest() : peer_(dir_.path(), kControl) {}

  ConnectionItems Items(std::string password = "ta}j;na=1", std::string database = "Radna") {
    return {peer_.server(), "sa", std::move(password), std::move(database)};
  }

  TempDir dir_;
  TdsPeer peer_;
  SqlSession session_;
};

TEST_F(SqlSessionTest, ReadsTextNumbersAndDatesWithCroatianLetters) {
  session_.Open(Items());
  auto row = session_.QueryFirstRow("select Ime, Broj, Rodjen from Osobe");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->Text("IME"), "Đuro Šimić");
  EXPECT_EQ(row->Text("Broj"), "7");
  EXPECT_EQ(row->DateTime("Rodjen"), (SqlDateTime{1990, 5, 6, 7, 8, 9, 0}));
  EXPECT_THROW(row->Text("Nema"), UpdateError);

  // Script text reaches the server as the same characters, both ways.
  session_.Execute("INSERT INTO Osobe VALUES (N'Čćžšđ ČĆŽŠĐ', NULL, GETDATE())");
  auto back = session_.QueryFirstRow("select Ime, Broj, Rodjen from Osobe where Ime like N'Č%'");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Text("Ime"), "Čćžšđ ČĆŽŠĐ");
  EXPECT_EQ(back->Text("Broj"), std::nullopt);
  EXPECT_TRUE(back->DateTime("Rodjen"));

  EXPECT_FALSE(session_.QueryFirstRow("select Ime from Osobe where Broj = 99"));
  auto version = session_.QueryFirstRow("select @@Version as Verzija");
  ASSERT_TRUE(version);
  EXPECT_EQ(version->Text("Verzija"), "Microsoft SQL Server 2012 - 11.0.2100.60");
}

// The driver hands long text over in pieces; one piece here ends inside a surrogate pair.
TEST_F(SqlSessionTest, LongTextArrivesWhole) {
  std::string text;
  for (int i = 0; i < 2046; ++i) text += "Č";
  text += "\U0001F600";
  for (int i = 0; i < 1500; ++i) text += i % 2 ? "ž" : "\U0001F601";
  session_.Open(Items());
  auto row = session_.QueryFirstRow("select N'" + text + "' as Dugi");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->Text("Dugi"), text);
}

TEST_F(SqlSessionTest, FailuresCarryTheServersMessage) {
  struct Case {
    const char* name;
    ConnectionItems items;
    const char* message;
  };
  const Case cases[] = {
      {"wrong password", Items("tajna"), "Login failed for user 'sa'."},
      // The driver reports the last of the server's two login messages.
      {"unknown database", Items("ta}j;na=1", "Nema"), "Login failed for user 'sa'."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      session_.Open(c.items);
      ADD_FAILURE() << "connected";
    } catch (const UpdateError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_FALSE(session_.IsOpen());
  }

  session_.Open(Items());
  const std::pair<const char*, const char*> batches[] = {
      {"select PADNI", "Neispravna naredba 'x'."},
      {"select * from Nepostojeca", "no such table: Nepostojeca"},
      // The server answers the first statement with success; the second one's failure
      // comes only after it and must not be lost.
      {"INSERT INTO Osobe VALUES ('a', 1, NULL);\r\nINSERT INTO Nepostojeca VALUES (1)",
       "no such table: Nepostojeca"},
      {"select Ime from Osobe;\r\nselect * from Nepostojeca", "no such table: Nepostojeca"},
      // An informational message ahead of the error is not the failure's text.
      {"INSERT INTO Nepostojeca VALUES ('NAPOMENA')", "no such table: Nepostojeca"},
      {"PRINT 'prije'\r\nINSERT INTO Nepostojeca VALUES (1)", "no such table: Nepostojeca"},
      {"EXEC dbo.Nepostojeca 1", "Could not find stored procedure 'dbo.Nepostojeca'."},
      {"INSERT INTO Nema.dbo.Osobe VALUES ('a', 1, NULL)", "Invalid object name 'Nema.dbo.Osobe'."},
      {"CREATE TABLE Nema.dbo.Nova (a int)", "Database 'Nema' does not exist."},
      {"USE Nema", "Database 'Nema' does not exist. Make sure that the name is entered correctly."},
  };
  for (const auto& [sql, message] : batches) {
    SCOPED_TRACE(sql);
    try {
      session_.Execute(sql);
      ADD_FAILURE() << "executed";
    } catch (const UpdateError& e) {
      EXPECT_STREQ(e.what(), message);
    }
  }
  // A query whose later statement fails fails as well.
  EXPECT_THROW(session_.Query("select Ime from Osobe;\r\nselect * from Nepostojeca"), UpdateError);
  // Nothing of the failed batches landed in the working database; the first statement of
  // a batch that failed later did run, as on the server.
  EXPECT_EQ(session_.Query("select Ime from Osobe").size(), 2u);
  // The connection stays usable after failed batches.
  EXPECT_TRUE(session_.QueryFirstRow("select getDate() as Datum"));
}

TEST_F(SqlSessionTest, InformationalMessagesAreNoFailure) {
  session_.Open(Items());
  for (const char* sql : {
           "PRINT 'Nadogradnja počinje'\r\nINSERT INTO Osobe VALUES ('print', 1, NULL)",
           "SET NOCOUNT ON\r\nDECLARE @broj int",
           // An injected message of class 10: the batch still runs.
           "INSERT INTO Osobe VALUES ('NAPOMENA', 2, NULL)",
           "CREATE PROCEDURE dbo.Postoji AS select 1",
           "EXEC dbo.Postoji",
       }) {
    SCOPED_TRACE(sql);
    EXPECT_NO_THROW(session_.Execute(sql));
  }
  EXPECT_EQ(session_.Query("select Ime from Osobe where Ime in ('print', 'NAPOMENA')").size(), 2u);
}

TEST_F(SqlSessionTest, UseAndThreePartNamesReachTheNamedDatabase) {
  session_.Open(Items());
  session_.Execute("INSERT INTO Druga.dbo.Stavke VALUES ('iz Radne')");
  EXPECT_EQ(session_.QueryFirstRow("select Naziv from Druga.dbo.Stavke")->Text("Naziv"),
            "iz Radne");
  EXPECT_EQ(session_.QueryFirstRow("select count(*) as N from Radna.dbo.Osobe")->Text("N"), "1");

  session_.Execute("USE Druga");
  EXPECT_EQ(session_.QueryFirstRow("select Naziv from Stavke")->Text("Naziv"), "iz Radne");
  EXPECT_THROW(session_.Query("select Ime from Osobe"), UpdateError);
  EXPECT_EQ(peer_.Batches().back().database, "Druga");
}

// The run builds its session with these; an unattended updater must not wait forever for a
// login or a batch, and 0 would mean no limit.
TEST(SqlSessionOptionsTest, DefaultsLimitTheLoginAndEveryBatch) {
  const SqlSessionOptions defaults;
  EXPECT_EQ(defaults.login_timeout_s, 15);
  EXPECT_EQ(defaults.query_timeout_s, 600);
}

TEST(SqlSessionTimeout, SlowBatchFailsAndTheConnectionStaysUsable) {
  TempDir dir;
  TdsPeer peer(dir.path(), R"({"fail": [{"match": "SPORO", "delay": 3}]})");
  SqlSession session({.driver = "", .login_timeout_s = 5, .query_timeout_s = 1});
  session.Open({peer.server(), "sa", "x", "master"});
  // The driver cancels the batch; the server has to acknowledge that for the call to return.
  EXPECT_THROW(session.Execute("select 'SPORO'"), UpdateError);
  auto row = session.QueryFirstRow("select 5 as Broj");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->Text("Broj"), "5");
}

TEST(SqlSessionNoServer, FailsWithoutHanging) {
  SqlSession session({.driver = "", .login_timeout_s = 5, .query_timeout_s = 5});
  // A port nobody listens on.
  EXPECT_THROW(session.Open({"127.0.0.1,1", "sa", "x", "Radna"}), UpdateError);
  EXPECT_THROW(session.Execute("select 1"), UpdateError);
}

TEST(OdbcConnectionStringTest, BracesEveryValue) {
  EXPECT_EQ(OdbcConnectionString({"db.local,1444", "sa", "a}b;c}", "Radna"}, "/lib/tds.so"),
            "DRIVER={/lib/tds.so};SERVER={db.local};PORT={1444};UID={sa};PWD={a}b;c}};"
            "DATABASE={Radna};TDS_Version=7.4;ClientCharset=UTF-8");
  // Would end the value early and add a key of its own.
  EXPECT_THROW(OdbcConnectionString({"srv", "sa", "x};DATABASE=master", "Radna"}, "FreeTDS"),
               UpdateError);
  EXPECT_EQ(OdbcConnectionString({"host\\SQL2008", "u", "", ""}, "FreeTDS"),
            "DRIVER={FreeTDS};SERVER={host\\SQL2008};UID={u};PWD={};TDS_Version=7.4;"
            "ClientCharset=UTF-8");
  EXPECT_EQ(StripDiagnosticTags("[unixODBC][FreeTDS][SQL Server]Login failed [x]"),
            "Login failed [x]");
  EXPECT_EQ(ConnectionDisplayText({"srv", "sa", "tajna", "Radna"}),
            "Provider=SQLOLEDB.1;Password=*****;Persist Security Info=True;User ID=sa;"
            "Initial Catalog=Radna;Data Source=srv");
}

}  // namespace
}  // namespace zepr
