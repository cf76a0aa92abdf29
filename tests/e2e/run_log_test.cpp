// The run log of the real updater: what a run did, line by line as it happened, and never a
// password, whatever form it came in; in both programs.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <memory>
#include <tuple>

#include "core/connection_text.h"
#include "core/encoding.h"
#include "core/text.h"
#include "e2e/e2e_sandbox.h"
#include "support/tds_peer_process.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::AppSandbox;
using testing::Build;
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

// A download host with a user and a password ("!" percent-encoded, as a URL carries it).
constexpr char kUrlUser[] = "korisnik";
constexpr char kUrlPassword[] = "UrlLozinka%21";

// What one type 3 run needs around it while it runs.
struct Stage {
  explicit Stage(Build build) : build(build), box(build) {}
  Build build;
  AppSandbox box;
  testing::DownloadSite site;
  testing::TempDir db_dir;
  std::unique_ptr<testing::TdsPeer> peer;
  std::unique_ptr<testing::RunningProgram> app;
  std::string archive;
  size_t cut = 0;
};

struct LogCase {
  const char* name;
  // Prepares the stage; returns the parameters after the type.
  std::function<std::vector<std::string>(Stage&)> prepare;
  int exit_code;
  // What the log says, each once at least.
  std::function<std::vector<std::string>(const Stage&)> events;
  // The summary after "kraj: ", up to the time taken.
  std::function<std::string(const Stage&)> summary;
  // In neither the log nor the headless output.
  std::vector<std::string> never;
};

const LogCase kLogCases[] = {
    // An install: the parameters (the connection's password masked), the download, the programs
    // stopped and the waits, the files, the scripts, the restart.
    {"Install",
     [](Stage& s) {
       testing::WriteUpdateIni(s.box, s.site);
       s.peer = std::make_unique<testing::TdsPeer>(
           s.db_dir.path(), std::string(R"({"users": {"sa": ")") + kDatabasePassword +
                                R"("}, "databases": {"Radna": [")" + kOptionsTable + R"("]}})");
       WriteFile(s.box.path() / "Citaj.txt", "stara verzija");
       s.archive = BuildZip({{"Install.Ini", ""},
                             {"Citaj.txt", "nova verzija"},
                             {"Novo.txt", "novo"},
                             {"Update/UpdateBaze/01.sql", "CREATE TABLE T01 (a int)\r\nGO\r\n"}});
       s.site.Put(kClient, "Update.zip", s.archive);
       s.app = std::make_unique<testing::RunningProgram>(
           testing::Launch(s.build, s.box.app_exe(), {"--live-ms=60000"}));
       EXPECT_EQ(s.box.AwaitStarts(1).size(), 1u);
       return std::vector<std::string>{Connection(*s.peer), "0"};
     },
     0,
     [](const Stage& s) {
       const std::string program = "program " + s.box.app();
       return std::vector<std::string>{
           "ZEPRUpdate ",
           " 5=\"3\" 6=\"" + EncodeConnectionList({s.peer->server(), "sa", "***", "Radna"}) +
               "\" 7=\"0\"",
           "status: Skidam > Update.zip",
           "HTTP " + s.site.Url(kClient) + "UPDATE.ZIP: status 200, završeno, " +
               std::to_string(s.archive.size()) + " bajtova, ",
           "Update.zip: raspakirana",
           ": zaustavljeno procesa: 1; čekam 3 s",
           ": nije pokrenut; čekam 3 s",
           "zamijenjena datoteka: ",
           "Citaj.txt",
           "dodana datoteka: ",
           "SQL skripta 01.sql",
           "SQL 01.sql, linija 2: izvršeno",
           "korak Instaliram: završeno",
           "stavka 01.sql: završeno",
           "done: Instalacija završena.",
           "pokrećem \"",
       };
     },
     [](const Stage& s) {
       return "izlazni status 0 (završeno), zamijenjeno datoteka 1, dodano {added}, skinuto " +
              std::to_string(s.archive.size()) + " bajtova, SQL skripti 1, trajanje ";
     },
     {kDatabasePassword, EncodeConnectionList({kDatabasePassword})}},
    // A failed download from a host with a user and password: the client's archive is not on
    // the server, the common one is cut and kept for the next run.
    {"FailedDownload",
     [](Stage& s) {
       WriteFile(s.box.path() / "UPDATE.INI", "[HTTP]\r\nHOST=" + std::string(kUrlUser) + ":" +
                                                  kUrlPassword + "@" + s.site.host() + "\r\n");
       s.archive = BuildZip({{"Install.Ini", ""}, {"Citaj.txt", std::string(20000, 'x')}});
       s.cut = s.archive.size() / 2;
       s.site.Put("_SVI", "Update.zip", s.archive);
       s.site.Misbehave(R"({"_SVI/DEMO/Update.zip": {"cut": )" + std::to_string(s.cut) + "}}");
       return std::vector<std::string>{"x"};
     },
     2,
     [](const Stage& s) {
       const std::string site =
           "http://***@" + s.site.host() + "/download/_UPDATE/update.php?file=";
       return std::vector<std::string>{
           "HTTP " + site +
               "KLIJENT/DEMO/UPDATE.ZIP: status 404, poslužitelj nema datoteku, 0 "
               "bajtova, ",
           "HTTP " + site + "_SVI/DEMO/UPDATE.ZIP: status 200, prekinuto, " +
               std::to_string(s.cut) + " bajtova, ",
           "nedovršeno skidanje čeka sljedeće pokretanje: ",
           "ZEPRUpdateNastavak/",
           ", " + std::to_string(s.cut) + " od " + std::to_string(s.archive.size()) + " bajtova",
           "dialog: Greška!: Neuspješno skidanje ZIP datoteka sa internet lokacije: " + site +
               "KLIJENT/DEMO/UPDATE.ZIP",
       };
     },
     [](const Stage& s) {
       return "izlazni status 2 (skidanje nije uspjelo), zamijenjeno datoteka 0, dodano 0, "
              "skinuto " +
              std::to_string(s.cut) + " bajtova, SQL skripti 0, trajanje ";
     },
     {kUrlUser, kUrlPassword, "UrlLozinka"}},
};

void PrintTo(const LogCase& c, std::ostream* out) { *out << c.name; }

class OperatorReadsTheLog : public ::testing::TestWithParam<std::tuple<Build, LogCase>> {
 protected:
  void SetUp() override {
    if (std::get<0>(GetParam()) == Build::kWindows) {
      const std::string why = testing::WindowsRunsUnavailable();
      if (!why.empty()) GTEST_SKIP() << why;
    }
  }
};

// What a type 3 run did, as an operator reads it: the events, no secret, no drawing of the
// window, each line with its time and process, and the last line summing the run up.
TEST_P(OperatorReadsTheLog, Type3Run) {
  const auto& [build, c] = GetParam();
  Stage stage(build);
  const auto more = c.prepare(stage);

  const auto run = stage.box.Run(kClient, "3", more);
  EXPECT_EQ(run.exit_code, c.exit_code) << run.output;

  const auto logs = testing::RunLogs(stage.box);
  ASSERT_EQ(logs.size(), 1u);
  const std::string& log = logs[0];
  ExpectEvents(log, c.events(stage));
  for (const auto& text : c.never) {
    EXPECT_EQ(log.find(text), std::string::npos) << text << " in\n" << log;
    EXPECT_EQ(run.output.find(text), std::string::npos) << text << " in\n" << run.output;
  }
  // The window's dialogs are the headless output's, URLs masked alike; how the window draws its
  // steps and check boxes is left out.
  for (const auto& text : SplitLines(log)) {
    if (text.empty()) continue;
    EXPECT_TRUE(StartsWithTimeAndProcess(text)) << text;
    for (const char* drawing : {"] mark ", "] check "}) {
      EXPECT_EQ(text.find(drawing), std::string::npos) << text;
    }
    const size_t dialog = text.find("] dialog: ");
    if (dialog != std::string::npos) {
      EXPECT_TRUE(testing::HasLine(run.output, text.substr(dialog + 2))) << run.output;
    }
  }
  // One summary, the last line: the added files as many as the log names.
  size_t added = 0;
  for (size_t at = log.find("dodana datoteka: "); at != std::string::npos;
       at = log.find("dodana datoteka: ", at + 1)) {
    ++added;
  }
  const std::string summary = ReplaceAll(c.summary(stage), "{added}", std::to_string(added));
  const auto lines = SplitLines(log);
  ASSERT_FALSE(lines.empty());
  const std::string last =
      lines.back().empty() && lines.size() > 1 ? lines[lines.size() - 2] : lines.back();
  EXPECT_NE(last.find("] kraj: " + summary), std::string::npos) << log;
  EXPECT_TRUE(last.ends_with(" s")) << last;
  EXPECT_EQ(log.find("kraj: "), log.rfind("kraj: ")) << log;
}

INSTANTIATE_TEST_SUITE_P(Cases, OperatorReadsTheLog,
                         ::testing::Combine(::testing::Values(Build::kLinux, Build::kWindows),
                                            ::testing::ValuesIn(kLogCases)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) == Build::kLinux
                                                  ? "Linux"
                                                  : "Windows") +
                                  std::get<1>(info.param).name;
                         });

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
  // The server's files named without the user.
  ExpectEvents(logs.at(0), {"FTP ftp://***@127.0.0.1:" + std::to_string(server.port()) + "/",
                            "KLIJENT/" + std::string(kSection) + "/Update.zip: preuzeto, ",
                            "dodana datoteka: ", "kraj: izlazni status 0 (završeno)"});
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
