// Update from the internet, the real updater against the download endpoint and the database
// stand-in.
#include <gtest/gtest.h>
#include <unistd.h>

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
using testing::DownloadSite;
using testing::HasLine;
using testing::kClient;
using testing::kOptionsTable;
using testing::ReadFile;
using testing::WriteFile;
using testing::WriteUpdateIni;

// The application and a helper program run when the update comes; both are stopped, the
// archives are installed by their scripts and the mirror, the scripts reach the database,
// and the application is started once again, without arguments.
TEST(InternetRun, InstallsBothArchivesRunsTheScriptsAndRestartsTheApplication) {
  AppSandbox box;
  DownloadSite site;
  WriteUpdateIni(box, site);
  testing::TempDir tools;
  testing::TempDir db_dir;
  testing::TdsPeer peer(db_dir.path(), std::string(R"({"users": {"sa": "taj,na"}, )") +
                                           R"("databases": {"Radna": [")" + kOptionsTable +
                                           R"("]}})");
  const std::string helper = "Pomocni" + std::to_string(getpid()) + ".exe";
  fs::copy_file(box.app_exe(), tools.path() / helper);
  WriteFile(box.path() / "Citaj.txt", "stara verzija");

  const std::string install_ini = "[KILL]\r\n1=" + helper +
                                  "\r\n[DIR_1]\r\n1=Izvjestaji\r\n"
                                  "[CPY_.Izvjestaji\\]\r\n1=Racun.rpt#B\r\n"
                                  "[CPY_" +
                                  tools.folder() + "Alati/]\r\n1=Alat.txt\r\n";
  site.Put(kClient, "Update.zip",
           BuildZip({{"Install.Ini", install_ini},
                     testing::AppEntry(box.app() + ".exe"),
                     {"Citaj.txt", "nova verzija"},
                     {"Dodaci/Pomoc.txt", Utf8ToCp1250("pomoć")},
                     {"Racun.rpt#A", "varijanta A"},
                     {"Racun.rpt#B", "varijanta B"},
                     {"Alat.txt", "alat"},
                     {"README", "bez točke"},
                     {"Update/UpdateBaze/002_Cijene.sql",
                      "INSERT INTO Artikli VALUES (2, 'Kava')\r\nGO\r\n"},
                     {"Update/UpdateBaze/001_Artikli.sql",
                      Utf8ToCp1250("CREATE TABLE Artikli (Sifra int, Naziv varchar(50))\r\nGO\r\n"
                                   "INSERT INTO Artikli VALUES (1, 'Čokolada')\r\nGO\r\n")}}));
  site.Put(kClient, "UpdateSpec.zip", BuildZip({{"Posebno.txt", "posebno"}}));

  testing::RunningProgram app({box.app_exe().string(), "--live-ms=60000"});
  testing::RunningProgram helper_program({(tools.path() / helper).string(), "--live-ms=60000"});
  ASSERT_EQ(box.AwaitStarts(1).size(), 1u);

  const auto run =
      box.Run(kClient, "3", {EncodeConnectionList({peer.server(), "sa", "taj,na", "Radna"}), "0"});
  const std::string& out = run.output;

  EXPECT_TRUE(app.Stopped());
  EXPECT_TRUE(helper_program.Stopped());
  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), "nova verzija");
  EXPECT_EQ(ReadFile(box.path() / "Dodaci" / "Pomoc.txt"), Utf8ToCp1250("pomoć"));
  EXPECT_EQ(ReadFile(box.path() / "Izvjestaji" / "Racun.rpt"), "varijanta B");
  EXPECT_EQ(ReadFile(tools.path() / "Alati" / "Alat.txt"), "alat");
  EXPECT_EQ(ReadFile(box.path() / "Posebno.txt"), "posebno");
  EXPECT_FALSE(fs::exists(box.path() / "README"));
  EXPECT_FALSE(fs::exists(box.path() / "Install.Ini"));

  // Both scripts ran in name order, through the escaped password; then they are gone.
  EXPECT_EQ(testing::PeerRows(db_dir.path(), "Radna", "SELECT Sifra, Naziv FROM Artikli"),
            (Strings{"1|Čokolada", "2|Kava"}));
  const auto version_rows =
      testing::PeerRows(db_dir.path(), "Radna", "SELECT SEKCIJA, Kljuc FROM OpcijeAplikacije");
  EXPECT_EQ(version_rows, Strings{box.app() + "|TrenVerzijaDatum"});
  EXPECT_FALSE(fs::exists(box.path() / "Update" / "UpdateBaze" / "001_Artikli.sql"));
  EXPECT_FALSE(fs::exists(box.path() / "GreškeSQLUpdate.txt"));

  EXPECT_EQ(box.Starts(), (Strings{"--live-ms=60000", ""}));
  EXPECT_TRUE(HasLine(out, "mark steps 3 1 plain: Instaliram")) << out;
  EXPECT_TRUE(out.ends_with("done: Instalacija završena.\nend\n")) << out;
  EXPECT_EQ(run.exit_code, 0);
}

// Stopping the application is the installation's first step, so it runs at the end only
// when something else starts it again meanwhile (a launcher that keeps it alive, another
// session). The updater must then leave it alone.
TEST(InternetRun, ApplicationRunningAgainAtTheEndIsNotStartedTwice) {
  AppSandbox box;
  DownloadSite site;
  WriteUpdateIni(box, site);
  site.Put(kClient, "Update.zip", BuildZip({{"Install.Ini", ""}, {"Citaj.txt", "nova"}}));
  const std::string kept = "--live-ms=60000\tzadrzan";
  testing::KeepRunning launcher({box.app_exe().string(), "--live-ms=60000", "zadrzan"});
  ASSERT_EQ(box.AwaitStarts(1).size(), 1u);

  const auto run = box.Run(kClient, "3", {"x"});

  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), "nova");
  EXPECT_GE(launcher.starts(), 2) << "the installation did not stop the application";
  const auto starts = box.Starts();
  EXPECT_TRUE(std::all_of(starts.begin(), starts.end(), [&](auto& s) { return s == kept; }))
      << ReadFile(box.path() / "started.txt");
  EXPECT_TRUE(HasLine(run.output, "done: Instalacija završena.")) << run.output;
}

// Only the common folder has the main archive: it is fetched from there, and the special
// archive still comes from the client's folder.
TEST(InternetRun, MainArchiveFromTheCommonFolderSpecialFromTheClient) {
  AppSandbox box;
  DownloadSite site;
  WriteUpdateIni(box, site);
  site.Put("_SVI", "Update.zip", BuildZip({{"Zajednicko.txt", "svi"}}));
  site.Put(kClient, "UpdateSpec.zip", BuildZip({{"Posebno.txt", "klijent"}}));
  site.Put("_SVI", "UpdateSpec.zip", BuildZip({{"Posebno.txt", "svi"}}));

  const auto run = box.Run(kClient, "3", {"x"});

  EXPECT_EQ(ReadFile(box.path() / "Zajednicko.txt"), "svi");
  EXPECT_EQ(ReadFile(box.path() / "Posebno.txt"), "klijent");
  const auto requests = site.Requests();
  EXPECT_EQ(std::count(requests.begin(), requests.end(), "_SVI/DEMO/UpdateSpec.ZIP"), 0);
  EXPECT_FALSE(
      testing::LinesStartingWith(run.output, "status: skidam datoteku Update.zip (_SVI): ").empty())
      << run.output;
  EXPECT_EQ(box.Starts(), Strings{""});
}

// No archive arrives: the client's address is reported, the special archive is not asked
// for, and nothing in the application folder changes. A body cut off midway leaves no
// archive behind either.
TEST(InternetRun, FailedDownloadReportsTheClientAddressAndChangesNothing) {
  struct Case {
    const char* name;
    bool served_cut;
  };
  for (const Case& c : {Case{"nothing served", false}, Case{"body cut midway", true}}) {
    SCOPED_TRACE(c.name);
    AppSandbox box;
    DownloadSite site;
    WriteUpdateIni(box, site);
    WriteFile(box.path() / "Citaj.txt", "stara verzija");
    if (c.served_cut) {
      site.Put(kClient, "Update.zip",
               BuildZip({testing::AppEntry(box.app() + ".exe"), {"Citaj.txt", "nova"}}));
      site.Misbehave(R"({"KLIJENT/DEMO/Update.zip": {"cut": 5000}})");
    }
    const auto before = testing::Tree(box.path());

    const auto run = box.Run(kClient, "3", {"x"});
    const std::string& out = run.output;

    EXPECT_TRUE(HasLine(out,
                        "dialog: Greška!: Neuspješno skidanje ZIP datoteka sa internet "
                        "lokacije: " +
                            site.Url(kClient) + "UPDATE.ZIP"))
        << out;
    EXPECT_EQ(HasLine(out, "dialog: ZEPR Nadogradnja aplikacije: greška u downloadu"), c.served_cut)
        << out;
    // Only the emptied working folder is new, and the bytes of a cut body, which wait for the
    // next run in a folder of their own.
    auto after = testing::Tree(box.path());
    EXPECT_EQ(std::erase_if(after, [](const auto& entry) { return entry.first == "Update/"; }), 1u);
    EXPECT_EQ(std::erase_if(after,
                            [](const auto& entry) {
                              return entry.first.starts_with("ZEPRUpdateNastavak/");
                            }) > 0,
              c.served_cut);
    EXPECT_EQ(after, before);
    for (const auto& request : site.Requests())
      EXPECT_EQ(request.find("UpdateSpec"), std::string::npos);
    EXPECT_TRUE(box.Starts().empty());
    EXPECT_TRUE(out.ends_with("end\n")) << out;
  }
}

}  // namespace
}  // namespace zepr
