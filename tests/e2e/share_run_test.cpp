// Update from a share folder (here a plain local folder), the real updater with its real
// follow-up runs.
#include <gtest/gtest.h>

#include "core/connection_text.h"
#include "e2e/e2e_sandbox.h"
#include "support/demo_app/pe_image.h"
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
using testing::kSection;
using testing::kTitle;
using testing::ReadFile;
using testing::WriteFile;
using testing::WriteUpdateIni;

TEST(ShareRun, CopiesInstallsAndStartsTheApplicationWithItsArguments) {
  AppSandbox box;
  testing::TempDir share;
  WriteFile(share.path() / "Update.zip",
            BuildZip({{"Install.Ini", "[DIR_1]\r\n1=Izvjestaji\r\n"}, {"Citaj.txt", "nova"}}));
  WriteFile(share.path() / "UpdateSpec.zip", BuildZip({{"Posebno.txt", "posebno"}}));
  const auto share_before = testing::Tree(share.path());

  // The folder without its trailing separator, as operators write it.
  const auto run = box.Run(kClient, "2", {share.path().string(), "x", "prvi,drugi  treci"});

  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), "nova");
  EXPECT_EQ(ReadFile(box.path() / "Posebno.txt"), "posebno");
  EXPECT_TRUE(fs::is_directory(box.path() / "Izvjestaji"));
  EXPECT_EQ(testing::Tree(share.path()), share_before);
  EXPECT_EQ(box.Starts(), Strings{"prvi\tdrugi\ttreci"});
  EXPECT_TRUE(run.output.ends_with("done: Instalacija završena.\nend\n")) << run.output;
}

// Nothing on the share: after its pause the run hands over to a real internet run with the
// five common fields only, and that run completes the update.
TEST(ShareRun, WithoutAnArchiveFallsBackToAnInternetRunThatCompletes) {
  AppSandbox box;
  testing::TempDir share;
  DownloadSite site;
  WriteUpdateIni(box, site);
  site.Put(kClient, "Update.zip", BuildZip({{"Citaj.txt", "s interneta"}}));
  testing::ProcessWatcher updaters(box.updater());

  const auto run = box.Run(kClient, "2", {share.folder(), "x", "prvi"});
  const std::string& out = run.output;

  EXPECT_TRUE(HasLine(out, "status: Neuspješno kopiranje sa share foldera: \\r" + share.folder()))
      << out;
  const auto children = updaters.CommandLines();
  ASSERT_EQ(children.size(), 2u);
  EXPECT_EQ(children[1],
            (Strings{box.updater().string(), kTitle, kSection, box.app(), kClient, "3"}));
  EXPECT_TRUE(HasLine(out, "type: tip: 3")) << out;
  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), "s interneta");
  EXPECT_EQ(box.Starts(), Strings{""});  // by the child, without the share run's arguments
  EXPECT_TRUE(out.ends_with("done: Instalacija završena.\nend\n")) << out;
}

// The database asks for a newer version than the share holds (1.0.0.10 after 1.0.0.9, in
// number order): the run hands over to a staging run that fetches the newer archive into
// the share and installs it here.
TEST(ShareRun, DatabaseDemandingANewerVersionEscalatesToStagingFromTheInternet) {
  AppSandbox box;
  testing::TempDir share;
  DownloadSite site;
  WriteUpdateIni(box, site);
  testing::TempDir db_dir;
  testing::TdsPeer peer(db_dir.path(), R"json({"databases": {"Radna": [
      "CREATE TABLE OpcijeAplikacije (SEKCIJA varchar(50), Kljuc varchar(50), Vrijednost varchar(255), KOMENTAR varchar(255))",
      "INSERT INTO OpcijeAplikacije VALUES ('DEMO', 'MinVerzija', '1.0.0.10', '')"]}})json");
  const std::string older = testing::BuildPeImage({false, testing::FourPartVersion{1, 0, 0, 9}});
  WriteFile(share.path() / "Update.zip",
            BuildZip({{box.app() + ".exe", older}, {"Citaj.txt", "sa sharea"}}));
  const std::string newer =
      BuildZip({testing::AppEntry(box.app() + ".exe"), {"Citaj.txt", "s interneta"}});
  site.Put(kClient, "Update.zip", newer);

  const auto run =
      box.Run(kClient, "2",
              {share.folder(), EncodeConnectionList({peer.server(), "sa", "tajna", "Radna"})});
  const std::string& out = run.output;

  EXPECT_TRUE(HasLine(out, std::string("status: I dalje postoji novija verzija programa ") +
                               kTitle + "\\r1.0.0.9 / 1.0.0.10. Pokrećem skidanje sa interneta..."))
      << out;
  EXPECT_EQ(ReadFile(share.path() / "Update.zip"), newer);
  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), "s interneta");
  EXPECT_EQ(box.Starts(), Strings{""});
  EXPECT_TRUE(out.ends_with("done: Instalacija završena.\nend\n")) << out;
}

}  // namespace
}  // namespace zepr
