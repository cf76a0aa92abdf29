// The Windows updater under Wine, against the same local peers as the Linux one: the download
// endpoint, the FTP server and the database stand-in (reached through Wine's ODBC, which hands
// over to the host's driver).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>

#include "core/connection_text.h"
#include "e2e/e2e_sandbox.h"
#include "install/file_version.h"
#include "support/tds_peer_process.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using testing::AppSandbox;
using testing::Build;
using testing::BuildZip;
using testing::DownloadSite;
using testing::HasLine;
using testing::kClient;
using testing::kOptionsTable;
using testing::ReadFile;
using testing::WriteFile;

class WindowsRun : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = testing::WindowsRunsUnavailable();
    if (!why.empty()) GTEST_SKIP() << why;
  }
};

std::string WorkingDatabase() {
  return std::string(R"({"users": {"sa": "tajna"}, "databases": {"Radna": [")") + kOptionsTable +
         R"("]}})";
}

std::string Connection(const testing::TdsPeer& peer) {
  return EncodeConnectionList({peer.server(), "sa", "tajna", "Radna"});
}

// One file to copy onto a workstation: it imports only the system's own libraries, and it says
// its version to our own reader of versions.
TEST_F(WindowsRun, ProgramNeedsNoLibraryBesideItAndCarriesItsVersion) {
  const fs::path exe = fs::path(std::getenv("ZEPR_WINDOWS_BUILD_DIR")) / "bin" / "ZEPRUpdate.exe";
  EXPECT_EQ(FileVersionString(exe.string()), ZEPR_PROJECT_VERSION ".0");
  // The manifest travels inside: common controls 6, per-monitor DPI, the invoker's rights.
  const std::string image = ReadFile(exe);
  for (const char* part : {"Microsoft.Windows.Common-Controls", "PerMonitorV2", "asInvoker"}) {
    EXPECT_NE(image.find(part), std::string::npos) << part;
  }
  const std::string objdump = testing::FindProgram("x86_64-w64-mingw32-objdump");
  if (objdump.empty()) GTEST_SKIP() << "no objdump for Windows images";
  const auto dump = testing::RunProgram({objdump, "-p", exe.string()});
  const std::set<std::string> system = {
      "ADVAPI32.dll", "COMCTL32.dll", "GDI32.dll",   "KERNEL32.dll", "MPR.dll",
      "msvcrt.dll",   "ODBC32.dll",   "SHELL32.dll", "USER32.dll",   "WININET.dll",
      "ole32.dll",    "SHLWAPI.dll",  "WS2_32.dll"};
  std::vector<std::string> imported;
  for (const auto& line : testing::LinesStartingWith(dump.output, "\tDLL Name: ")) {
    imported.push_back(line.substr(11));
  }
  EXPECT_FALSE(imported.empty()) << dump.output;
  for (const auto& dll : imported) EXPECT_TRUE(system.count(dll)) << dll << " is not the system's";
}

TEST_F(WindowsRun, WithoutParametersEndsAtOnce) {
  AppSandbox box(Build::kWindows);
  const auto run =
      testing::RunProgram(testing::Launch(Build::kWindows, box.updater()), {"DISPLAY="});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_FALSE(fs::exists(box.path() / "Update"));
}

// Type 3: the running application is stopped, the archive from the endpoint installed by its
// script, and the application started again.
TEST_F(WindowsRun, InternetRunInstallsAndRestartsTheApplication) {
  AppSandbox box(Build::kWindows);
  DownloadSite site;
  testing::WriteUpdateIni(box, site);
  WriteFile(box.path() / "Citaj.txt", "stara verzija");
  site.Put(kClient, "Update.zip",
           BuildZip({{"Install.Ini", "[DIR_1]\r\n1=Izvjestaji\r\n"},
                     testing::AppEntry(box.app() + ".exe", Build::kWindows),
                     {"Citaj.txt", "nova verzija"},
                     {"Dodaci\\Pomoc.txt", "pomoc"}}));
  testing::RunningProgram app(testing::Launch(Build::kWindows, box.app_exe(), {"--live-ms=60000"}));
  ASSERT_EQ(box.AwaitStarts(1).size(), 1u);

  const auto run = box.Run(kClient, "3", {"x"});

  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), "nova verzija");
  EXPECT_EQ(ReadFile(box.path() / "Dodaci" / "Pomoc.txt"), "pomoc");
  EXPECT_TRUE(fs::is_directory(box.path() / "Izvjestaji"));
  EXPECT_TRUE(HasLine(run.output, "done: Instalacija završena.")) << run.output;
  EXPECT_EQ(box.AwaitStarts(2), (Strings{"--live-ms=60000", ""}));
  // The run log, as on Linux.
  const auto logs = testing::RunLogs(box);
  ASSERT_EQ(logs.size(), 1u);
  for (const char* event :
       {"status: Skidam > Update.zip", "zamijenjena datoteka: ", "kraj: izlazni status 0 ("}) {
    EXPECT_NE(logs[0].find(event), std::string::npos) << event << "\n" << logs[0];
  }
}

// Type 8: the archive already in Update\ is installed and the application started. The archive
// carries the updater itself, as a publisher ships a new one: Windows lets the running updater's
// file be renamed but not removed, so the install sets it aside and ends without a word. The next
// start, of any type (here one with nothing to do), is the new updater's and removes the old one.
TEST_F(WindowsRun, PresentArchiveIsInstalledWithANewUpdater) {
  AppSandbox box(Build::kWindows);
  const std::string old_updater = ReadFile(box.updater());
  // Another file that runs all the same: what follows the image is not loaded.
  const std::string new_updater = old_updater + "nova verzija";
  WriteFile(
      box.path() / "Update" / "Update.zip",
      BuildZip({{"Install.Ini", ""}, {"Citaj.txt", "nova"}, {"ZEPRUpdate.exe", new_updater}}));
  const fs::path update = box.path() / "Update";
  const auto which = [&](const std::string& bytes) {
    return bytes == old_updater ? "old" : bytes == new_updater ? "new" : "other";
  };

  const auto run = box.Run(kClient, "8", {"x", "0"});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(testing::LinesStartingWith(run.output, "dialog: "), Strings{}) << run.output;
  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), "nova");
  EXPECT_EQ(which(ReadFile(box.updater())), "new");
  EXPECT_EQ(box.AwaitStarts(1), Strings{""});
  EXPECT_FALSE(fs::exists(update / "Install.journal"));
  EXPECT_FALSE(fs::exists(update / "Install.backup"));
  Strings leftovers;
  std::error_code ec;
  for (const auto& file : fs::directory_iterator(update / "Install.leftover", ec)) {
    leftovers.push_back(which(ReadFile(file.path())));
  }
  EXPECT_EQ(leftovers, Strings{"old"});

  const auto next = box.Run(kClient, "9");
  EXPECT_EQ(next.exit_code, 0) << next.output;
  EXPECT_EQ(testing::LinesStartingWith(next.output, "status: "), Strings{}) << next.output;
  EXPECT_FALSE(fs::exists(update / "Install.leftover"));
}

// Paths past the 260 characters at which Windows paths once ended: an application folder that
// deep, and a file of the archive deeper still. The archive already in Update\ is installed
// whole, twice (nothing is left behind that the next run would take for a damaged archive), and
// the application is started from there.
TEST_F(WindowsRun, InstallsIntoAFolderBeyondTheOldPathLimit) {
  testing::TempDir dir;
  fs::path folder = fs::canonical(dir.path());
  for (const char level : {'a', 'b', 'c', 'd'}) folder /= std::string(70, level);
  fs::create_directories(folder);
  // As Wine names it: the drive Z: before the Unix path.
  ASSERT_GT(folder.string().size() + 2, 260u);
  const fs::path bin = fs::path(std::getenv("ZEPR_WINDOWS_BUILD_DIR")) / "bin";
  const std::string app = "Duga" + std::to_string(getpid());
  fs::copy_file(bin / "ZEPRUpdate.exe", folder / "ZEPRUpdate.exe");
  fs::copy_file(bin / "Demo.exe", folder / (app + ".exe"));
  const std::string deep = "Dodaci/" + std::string(70, 'e') + "/" + std::string(70, 'f') + ".txt";
  WriteFile(folder / "Update" / "Update.zip",
            BuildZip({{"Install.Ini", ""}, {"Citaj.txt", "nova"}, {deep, "duboko"}}));

  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    auto result = testing::RunProgram(
        testing::Launch(Build::kWindows, folder / "ZEPRUpdate.exe",
                        {testing::kTitle, testing::kSection, app, kClient, "8", "x", "0"}),
        {"DISPLAY=", "ZEPR_HEADLESS=1"}, folder);
    std::erase(result.output, '\r');
    EXPECT_EQ(result.exit_code, 0) << result.output;
    EXPECT_TRUE(HasLine(result.output, "done: Instalacija završena.")) << result.output;
    EXPECT_EQ(ReadFile(folder / "Citaj.txt"), "nova");
    EXPECT_EQ(ReadFile(folder / deep), "duboko");
    // The application records each start beside itself, once the updater has ended.
    const std::string starts(static_cast<size_t>(run), '\n');
    for (int i = 0; i < 1000 && ReadFile(folder / "started.txt") != starts; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(ReadFile(folder / "started.txt"), starts);
  }
}

// Type 6 "x": the unpacked scripts go batch by batch through ODBC to the database; a failing
// batch is written to the error log beside the program.
TEST_F(WindowsRun, ScriptsReachTheDatabaseAndAFailureIsLogged) {
  AppSandbox box(Build::kWindows);
  DownloadSite site;
  testing::WriteUpdateIni(box, site);
  testing::TempDir db_dir;
  testing::TdsPeer peer(db_dir.path(), WorkingDatabase());
  WriteFile(box.path() / "Update" / "UpdateBaze" / "01.sql",
            "CREATE TABLE T01 (a int)\r\nGO\r\nINSERT INTO T01 VALUES (1)\r\nGO\r\n");
  WriteFile(box.path() / "Update" / "UpdateBaze" / "02.sql",
            "INSERT INTO Nepostojeca VALUES (1)\r\nGO\r\n");

  const auto run = box.Run(kClient, "6", {"x", Connection(peer)});

  EXPECT_EQ(peer.BatchesContaining("CREATE TABLE T01").size(), 1u) << run.output;
  EXPECT_EQ(testing::PeerRows(db_dir.path(), "Radna", "SELECT a FROM T01"), Strings{"1"});
  const fs::path log = box.path() / fs::u8path("GreškeSQLUpdate.txt");
  ASSERT_TRUE(fs::exists(log)) << run.output;
  EXPECT_EQ(ReadFile(log), "02.sql, linija: 2\r\n") << run.output;
  EXPECT_EQ(peer.BatchesContaining("Nepostojeca").size(), 2u);  // tried twice, then logged
}

// Type 1: the download list and its archives over one FTP login.
TEST_F(WindowsRun, FtpRunFetchesTheListOverOneLogin) {
  AppSandbox box(Build::kWindows);
  testing::TempDir root;
  testing::FtpServer server(root.path(), "zepr", "tajna");
  WriteFile(box.path() / "UPDATE.INI",
            "[DEMO]\r\nSERVER=127.0.0.1\r\nPORT=" + std::to_string(server.port()) +
                "\r\nUSERNAME=zepr\r\nPASSWORD=tajna\r\nSTART_DIR=/azuriranja/\r\n"
                "KORISNIK=klijent\r\nCFG=lista.ini\r\nPASSIVE=D\r\n");
  const fs::path remote = root.path() / "azuriranja" / "KLIJENT" / "DEMO";
  WriteFile(remote / "lista.ini", "[UPDATE]\r\n1=Update.zip\r\n2=UpdateSpec.zip\r\n");
  WriteFile(remote / "Update.zip", BuildZip({{"Install.Ini", ""}, {"Citaj.txt", "nova"}}));
  WriteFile(remote / "UpdateSpec.zip", BuildZip({{"Posebno.txt", "posebno"}}));

  const auto run = box.Run(kClient, "1", {"x"});

  const auto commands = server.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "USER zepr"), 1) << run.output;
  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), "nova") << run.output;
  EXPECT_EQ(ReadFile(box.path() / "Posebno.txt"), "posebno");
  EXPECT_TRUE(HasLine(run.output, "done: Instalacija završena.")) << run.output;
}

}  // namespace
}  // namespace zepr
