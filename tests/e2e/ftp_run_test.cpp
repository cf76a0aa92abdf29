// Update from the FTP server named in UPDATE.INI: the real updater against pyftpdlib.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/connection_text.h"
#include "core/encoding.h"
#include "e2e/e2e_sandbox.h"
#include "support/tds_peer_process.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using testing::AppSandbox;
using testing::BuildZip;
using testing::HasLine;
using testing::kClient;
using testing::kSection;
using testing::ReadFile;
using testing::WriteFile;

constexpr const char* kUser = "zepr";
constexpr const char* kListName = "lista.ini";

// The program's section of UPDATE.INI (CP1250), for a server on this port.
std::string FtpSection(int port, const std::string& password, const std::string& more = "") {
  return Utf8ToCp1250("[" + std::string(kSection) + "]\r\nSERVER=127.0.0.1\r\nPORT=" +
                      std::to_string(port) + "\r\nUSERNAME=" + kUser + "\r\nPASSWORD=" + password +
                      "\r\nSTART_DIR=/azuriranja/\r\nKORISNIK=klijent\r\nCFG=" + kListName +
                      "\r\nPASSIVE=D\r\n" + more);
}

// The customer's update folder on the server: START_DIR, KORISNIK in capitals, the section.
fs::path RemoteFolder(const testing::TempDir& root) {
  return root.path() / "azuriranja" / "KLIJENT" / kSection;
}

size_t CountStartingWith(const Strings& lines, const std::string& prefix) {
  return static_cast<size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const auto& line) { return line.starts_with(prefix); }));
}

// The download list names two archives, an empty entry and a key twice (whose first value
// counts both times): everything comes over one login, is installed, the scripts run and
// the application starts.
TEST(FtpRun, FetchesTheListedArchivesOverOneLoginAndInstallsThem) {
  AppSandbox box;
  testing::TempDir root;
  testing::FtpServer server(root.path(), kUser, "tajna");
  testing::TempDir db_dir;
  testing::TdsPeer peer(db_dir.path(), std::string(R"({"databases": {"Radna": [")") +
                                           testing::kOptionsTable + R"("]}})");
  WriteFile(box.path() / "UPDATE.INI", FtpSection(server.port(), "tajna"));
  const fs::path remote = RemoteFolder(root);
  WriteFile(remote / kListName,
            "[UPDATE]\r\n1=Update.zip\r\n2=\r\n3=UpdateSpec.zip\r\n1=Nepoznato.zip\r\n");
  WriteFile(remote / "Update.zip",
            BuildZip({{"Install.Ini", "[DIR_1]\r\n1=Izvjestaji\r\n"},
                      {"Citaj.txt", "nova"},
                      {"Update/UpdateBaze/01.sql", "CREATE TABLE T01 (a int)\r\nGO\r\n"}}));
  WriteFile(remote / "UpdateSpec.zip", BuildZip({{"Posebno.txt", "posebno"}}));

  const auto run =
      box.Run(kClient, "1", {EncodeConnectionList({peer.server(), "sa", "tajna", "Radna"})});
  const std::string& out = run.output;

  const auto commands = server.Commands();
  EXPECT_EQ(CountStartingWith(commands, "USER "), 1u);
  EXPECT_EQ(CountStartingWith(commands, "PASS "), 1u);
  EXPECT_EQ(CountStartingWith(commands, "RETR "), 4u);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "RETR Update.zip"), 2);
  EXPECT_EQ(CountStartingWith(commands, "RETR Nepoznato"), 0u);
  for (const char* status :
       {"status: Download > (4/1) = Update.zip", "status: Download > (4/2) = ",
        "status: Download > (4/3) = UpdateSpec.zip", "status: Download > (4/4) = Update.zip"}) {
    EXPECT_TRUE(HasLine(out, status)) << status << "\n" << out;
  }

  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), "nova");
  EXPECT_EQ(ReadFile(box.path() / "Posebno.txt"), "posebno");
  EXPECT_TRUE(fs::is_directory(box.path() / "Izvjestaji"));
  EXPECT_EQ(peer.BatchesContaining("CREATE TABLE T01").size(), 1u);
  EXPECT_EQ(box.Starts(), Strings{""});
  EXPECT_TRUE(HasLine(out, "done: Instalacija završena.")) << out;
  EXPECT_TRUE(HasLine(out, "end")) << out;  // the sequence still closes after the request
}

// A rejected login is shown with the server's own reply.
TEST(FtpRun, WrongPasswordShowsTheServersReply) {
  AppSandbox box;
  testing::TempDir root;
  testing::FtpServer server(root.path(), kUser, "tajna");
  WriteFile(box.path() / "UPDATE.INI", FtpSection(server.port(), "kriva"));
  WriteFile(RemoteFolder(root) / kListName, "[UPDATE]\r\n1=Update.zip\r\n");

  const auto run = box.Run("_SVI", "1");
  const std::string& out = run.output;

  // The reply was "530 Authentication failed.".
  EXPECT_EQ(testing::LinesStartingWith(out, "dialog: "),
            Strings{"dialog: Greška! Uzrok greške:: Authentication failed."})
      << out;
  EXPECT_TRUE(HasLine(out, "status: Ne mogu se spojiti sa ftp serverom!")) << out;
  EXPECT_EQ(CountStartingWith(server.Commands(), "RETR "), 0u);
  EXPECT_TRUE(out.ends_with("end\n")) << out;
}

// Nobody answers: a refused connection is shown as the server being out of reach, and the
// run ends. The common folder keeps the run from handing over to an internet run.
TEST(FtpRun, ServerDownIsShownAndTheRunEnds) {
  AppSandbox box;
  WriteFile(box.path() / "UPDATE.INI", FtpSection(testing::UnusedPort(), "tajna"));

  const auto run = box.Run("_SVI", "1", {"x"});
  const std::string& out = run.output;

  EXPECT_TRUE(HasLine(out, "status: Ne mogu se spojiti sa ftp serverom!")) << out;
  EXPECT_TRUE(out.ends_with("end\n")) << out;
}

// A password between encipher markers is enciphered in place on the first run, and the
// enciphered form logs in on every run; its letters reach the server as CP1250.
TEST(FtpRun, MarkedPasswordIsEncipheredInPlaceAndStillLogsIn) {
  const std::string password = "Šifra-čžć9";
  AppSandbox box;
  testing::TempDir root;
  testing::FtpServer server(root.path(), kUser, password);
  WriteFile(box.path() / "UPDATE.INI",
            FtpSection(server.port(), "<@ENIGMAŠIFRIRAJ@>" + password + "<@ENIGMAŠIFRIRAJ@>",
                       "CRYPT=D\r\n"));
  WriteFile(RemoteFolder(root) / kListName, "[UPDATE]\r\n");  // nothing to install

  box.Run(kClient, "1");
  const std::string enciphered = ReadFile(box.path() / "UPDATE.INI");
  box.Run(kClient, "1");

  const std::string marker = Utf8ToCp1250("<ENIGMADEŠIFRIRAJ>");
  const std::string key = "PASSWORD=" + marker;
  const size_t at = enciphered.find(key);
  ASSERT_NE(at, std::string::npos) << enciphered;
  const size_t end = enciphered.find(marker + "\r\n", at + key.size());
  ASSERT_NE(end, std::string::npos) << enciphered;
  EXPECT_EQ(end - at - key.size(), 2 * Utf8ToCp1250(password).size());
  EXPECT_EQ(enciphered.find(Utf8ToCp1250(password)), std::string::npos);
  EXPECT_EQ(ReadFile(box.path() / "UPDATE.INI"), enciphered);  // the second run only reads it

  const auto commands = server.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "PASS " + Utf8ToCp1250(password)), 2);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), std::string("RETR ") + kListName), 2);
}

}  // namespace
}  // namespace zepr
