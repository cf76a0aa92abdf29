// The run log of the real updater: what a run did, line by line as it happened, and never a
// password, whatever form it came in.
#include <gtest/gtest.h>

#include <cctype>

#include "core/connection_text.h"
#include "core/encoding.h"
#include "core/text.h"
#include "e2e/e2e_sandbox.h"
#include "support/tds_peer_process.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::AppSandbox;
using testing::BuildZip;
using testing::kClient;
using testing::kOptionsTable;
using testing::kSection;
using testing::ReadFile;
using testing::WriteFile;

// Passwords with the characters that the connection parameter escapes: the log must hold
// neither the password nor its escaped form.
constexpr char kDatabasePassword[] = "Taj,na%Lozinka1";
constexpr char kFtpPassword[] = "FtpLozinka#77";

void ExpectNoPassword(const std::vector<std::string>& logs, const std::string& password) {
  ASSERT_FALSE(logs.empty());
  for (const auto& log : logs) {
    for (const auto& form : {password, EncodeConnectionList({password})}) {
      EXPECT_EQ(log.find(form), std::string::npos) << form << " in\n" << log;
    }
  }
}

void ExpectEvents(const std::string& log, const std::vector<std::string>& events) {
  for (const auto& event : events) {
    EXPECT_NE(log.find(event), std::string::npos) << event << " missing in\n" << log;
  }
}

// "2026-12-11 06:30:15.123 [1234] ...": the local time and the process first.
bool StartsWithTimeAndProcess(const std::string& line) {
  const std::string shape = "dddd-dd-dd dd:dd:dd.ddd [";
  if (line.size() < shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
    if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return false;
  }
  const size_t end = line.find("] ", shape.size());
  if (end == std::string::npos || end == shape.size()) return false;
  for (size_t i = shape.size(); i < end; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(line[i]))) return false;
  }
  return true;
}

std::string Connection(const testing::TdsPeer& peer, const std::string& database = "Radna") {
  return EncodeConnectionList({peer.server(), "sa", kDatabasePassword, database});
}

// Type 3: the parameters, the window's lines, the archive, the files, the scripts and the exit
// status, each line with its time and process.
TEST(RunLog, InternetRunLogsWhatItDidAndNoPassword) {
  AppSandbox box;
  testing::DownloadSite site;
  testing::WriteUpdateIni(box, site);
  testing::TempDir db_dir;
  testing::TdsPeer peer(db_dir.path(), std::string(R"({"users": {"sa": ")") + kDatabasePassword +
                                           R"("}, "databases": {"Radna": [")" + kOptionsTable +
                                           R"("]}})");
  WriteFile(box.path() / "Citaj.txt", "stara verzija");
  site.Put(kClient, "Update.zip",
           BuildZip({{"Install.Ini", ""},
                     {"Citaj.txt", "nova verzija"},
                     {"Novo.txt", "novo"},
                     {"Update/UpdateBaze/01.sql", "CREATE TABLE T01 (a int)\r\nGO\r\n"}}));

  const auto run = box.Run(kClient, "3", {Connection(peer), "0"});
  ASSERT_EQ(run.exit_code, 0) << run.output;

  const auto logs = testing::RunLogs(box);
  ASSERT_EQ(logs.size(), 1u);
  ExpectNoPassword(logs, kDatabasePassword);
  ExpectEvents(
      logs[0],
      {"ZEPRUpdate ", " 5=\"3\"", "status: Skidam > Update.zip",
       "HTTP " + site.Url(kClient) + "UPDATE.ZIP: status 200, završeno, ",
       "Update.zip: raspakirana", "zamijenjena datoteka: " + box.folder() + "Citaj.txt",
       "dodana datoteka: " + box.folder() + "Novo.txt", "SQL skripta 01.sql",
       "SQL 01.sql, linija 2: izvršeno", "done: Instalacija završena.", "izlazni status: 0\r\n"});
  for (const auto& text : SplitLines(logs[0])) {
    if (text.empty()) continue;
    EXPECT_TRUE(StartsWithTimeAndProcess(text)) << text;
  }
}

// Type 1: the FTP password of UPDATE.INI.
TEST(RunLog, FtpRunLogsNoPassword) {
  AppSandbox box;
  testing::TempDir root;
  testing::FtpServer server(root.path(), "zepr", kFtpPassword);
  WriteFile(box.path() / "UPDATE.INI",
            "[" + std::string(kSection) + "]\r\nSERVER=127.0.0.1\r\nPORT=" +
                std::to_string(server.port()) + "\r\nUSERNAME=zepr\r\nPASSWORD=" + kFtpPassword +
                "\r\nSTART_DIR=/\r\nKORISNIK=klijent\r\nCFG=lista.ini\r\nPASSIVE=D\r\n");
  const fs::path remote = root.path() / "KLIJENT" / kSection;
  WriteFile(remote / "lista.ini", "[UPDATE]\r\n1=Update.zip\r\n");
  WriteFile(remote / "Update.zip", BuildZip({{"Install.Ini", ""}, {"Citaj.txt", "nova"}}));

  const auto run = box.Run(kClient, "1", {"x"});
  ASSERT_EQ(ReadFile(box.path() / "Citaj.txt"), "nova") << run.output;

  const auto logs = testing::RunLogs(box);
  ExpectNoPassword(logs, kFtpPassword);
  ExpectEvents(logs.at(0), {"KLIJENT/" + std::string(kSection) + "/Update.zip: preuzeto, ",
                            "dodana datoteka: ", "izlazni status: 0"});
}

// Type 7: the group run and each child keep their own logs; the password that every child gets
// on its command line is in none of them.
TEST(RunLog, GroupRunAndItsChildrenLogNoPassword) {
  AppSandbox box;
  testing::TempDir db_dir;
  const std::string options = std::string("[\"") + kOptionsTable + "\"]";
  testing::TdsPeer peer(db_dir.path(), std::string(R"j({"users": {"sa": ")j") + kDatabasePassword +
                                           R"j("}, "databases": {
    "QTVConfig": ["CREATE TABLE BazeUpdate (Grupa varchar(50), Poredak int, DatabaseName varchar(128))",
                  "INSERT INTO BazeUpdate VALUES ('Grupa', 1, 'B1'), ('Grupa', 2, 'B2')"],
    "B1": )j" + options + R"j(, "B2": )j" + options +
                                           "}}");
  WriteFile(box.path() / "Update" / "Update.zip",
            BuildZip({{"Install.Ini", ""}, {"Citaj.txt", "nova"}}));

  const auto run =
      box.Run(kClient, "7", {box.folder() + "share", Connection(peer, "x"), "0", "Grupa", "8"});
  ASSERT_EQ(run.exit_code, 0) << run.output;

  const auto logs = testing::RunLogs(box);
  ASSERT_EQ(logs.size(), 3u);  // the group run and one child per database
  ExpectNoPassword(logs, kDatabasePassword);
  std::string all;
  for (const auto& log : logs) all += log;
  ExpectEvents(all, {"updater za bazu B1: izlazni status 0", "updater za bazu B2: izlazni status 0",
                     " 5=\"8\""});
}

// Each line is on the disk once written: a kill in the middle of the install loses none of what
// came before it.
TEST(RunLog, KeepsEveryLineBeforeAKill) {
  AppSandbox box;
  WriteFile(box.path() / "Update" / "Update.zip",
            BuildZip({{"Install.Ini", ""}, {"Citaj.txt", "nova"}}));

  const auto run =
      box.RunKilledAt("Update/Install.journal", "fdatasync:2:after", kClient, "8", {"x", "0"});

  const auto logs = testing::RunLogs(box);
  ASSERT_EQ(logs.size(), 1u) << run.output;
  ExpectEvents(logs[0], {"status: Instaliram > UPDATE.zip", "Update.zip: raspakirana"});
  EXPECT_EQ(logs[0].find("izlazni status"), std::string::npos) << logs[0];
  EXPECT_TRUE(logs[0].ends_with("\r\n"));
}

// A link planted at the log folder's name is removed, never written through.
TEST(RunLog, APlantedLinkIsNotFollowed) {
  AppSandbox box;
  testing::TempDir elsewhere;
  fs::create_directory_symlink(elsewhere.path(), box.path() / "ZEPRUpdateLog");

  box.Run(kClient, "9");

  EXPECT_TRUE(fs::is_empty(elsewhere.path()));
  EXPECT_FALSE(fs::is_symlink(box.path() / "ZEPRUpdateLog"));
  EXPECT_EQ(testing::RunLogs(box).size(), 1u);
}

}  // namespace
}  // namespace zepr
