#include <gtest/gtest.h>

#include <filesystem>

#include "core/connection_text.h"
#include "support/peer_process.h"
#include "support/sandbox.h"
#include "support/tds_peer_process.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::RunProgram;
using testing::TempDir;

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A group of two working databases, each updated by a child of type 8 from the archive in
// the working folder; the script fails only in the second database, whose child says so
// with its exit status: that database is marked failed, and so is the group run.
TEST(Type7, ChildPerDatabaseRunsHeadlessAndLeavesItsLogUnderTheDatabasesName) {
  TempDir app;
  TempDir server_dir;
  const fs::path exe = app.path() / "ZEPRUpdate.exe";
  fs::copy_file(testing::BuildDir() / "bin" / "ZEPRUpdate.exe", exe);
  testing::TdsPeer peer(server_dir.path(), R"json({
    "users": {"sa": "t,a&j%"},
    "databases": {
      "QTVConfig": ["CREATE TABLE BazeUpdate (Grupa varchar(50), Poredak int, DatabaseName varchar(128))",
                    "INSERT INTO BazeUpdate VALUES ('Grupa', 2, 'B2'), ('Grupa', 1, 'B1'), ('Ostalo', 1, 'B9')"],
      "B1": ["CREATE TABLE OpcijeAplikacije (SEKCIJA varchar(50), Kljuc varchar(50), Vrijednost varchar(255), KOMENTAR varchar(255))"],
      "B2": ["CREATE TABLE OpcijeAplikacije (SEKCIJA varchar(50), Kljuc varchar(50), Vrijednost varchar(255), KOMENTAR varchar(255))"]
    },
    "fail": [{"match": "T01", "database": "B2", "message": "Tablica se ne može napraviti."}]
  })json");

  // The archive brings the script into Update/UpdateBaze when its tree is mirrored.
  fs::create_directories(app.path() / "Update");
  const auto zipped = RunProgram(
      {testing::SystemPython(), "-c",
       "import sys, zipfile\n"
       "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
       "    z.writestr('Install.Ini', '')\n"
       "    z.writestr('Update/UpdateBaze/01.sql', 'create table T01 (a int)\\r\\nGO\\r\\n')\n",
       (app.path() / "Update" / "Update.zip").string()});
  ASSERT_EQ(zipped.exit_code, 0) << zipped.output;

  const std::string connection = EncodeConnectionList({peer.server(), "sa", "t,a&j%", "x"});
  const auto run = RunProgram({exe.string(), "Demo", "DEMO", "Demo", "Klijent", "7",
                               app.folder() + "share", connection, "0", "Grupa", "8"},
                              {"DISPLAY="});
  const std::string& out = run.output;
  EXPECT_EQ(run.exit_code, 7);

  // The children wrote to the same output: the display was missing for them too.
  EXPECT_EQ(Count(out, "type: tip: 8\n"), 2u) << out;
  EXPECT_NE(out.find("status: Update tip 8 za radne baze grupe Grupa\\rMolim pričekajte...\n"),
            std::string::npos)
      << out;
  const size_t b1_done = out.find("mark databases 0 1 plain: B1\n");
  const size_t b2_done = out.find("mark databases 1 2 plain: B2\n");
  ASSERT_NE(b1_done, std::string::npos) << out;
  ASSERT_NE(b2_done, std::string::npos) << out;
  EXPECT_LT(b1_done, b2_done);
  EXPECT_TRUE(out.ends_with("done: Instalacija završena.\nend\n")) << out;

  // Each child reached its own database through the escaped connection items.
  std::vector<std::string> script_runs;
  for (const auto& batch : peer.Batches()) {
    if (batch.sql.find("T01") != std::string::npos) script_runs.push_back(batch.database);
  }
  EXPECT_EQ(script_runs, (std::vector<std::string>{"B1", "B2", "B2"}));

  EXPECT_FALSE(fs::exists(app.path() / "GreškeSQLUpdate.txt"));
  EXPECT_FALSE(fs::exists(app.path() / "GreškeSQLUpdateB1.txt"));
  EXPECT_EQ(ReadFile(app.path() / "GreškeSQLUpdateB2.txt"), "01.sql, linija: 2\r\n");
}

}  // namespace
}  // namespace zepr
