// Installing the archive already in the working folder, as a child of a database group run.
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
using testing::HasLine;
using testing::kClient;
using testing::ReadFile;
using testing::WriteFile;

// A child run installs what an earlier run left, runs the scripts, raises the minimum
// version in number order (2.1.0.10 after 2.1.0.9) and leaves starting the application to
// its parent.
TEST(InstallPresent, ChildRunInstallsRaisesTheMinimumVersionAndStartsNothing) {
  AppSandbox box;
  testing::TempDir db_dir;
  testing::TdsPeer peer(db_dir.path(),
                        std::string(R"({"databases": {"Radna": [")") + testing::kOptionsTable +
                            R"(", "INSERT INTO OpcijeAplikacije VALUES (')" + box.app() +
                            R"json(', 'MinVerzija', '2.1.0.9', '')"]}})json");
  const auto image = testing::BuildPeImage({false, testing::FourPartVersion{2, 1, 0, 10}});
  WriteFile(
      box.path() / "Update" / "Update.zip",
      testing::BuildZip({{box.app() + ".exe", image},
                         {"Citaj.txt", "nova"},
                         {"Update/UpdateBaze/01.sql", "CREATE TABLE T01 (a int)\r\nGO\r\n"}}));
  // Left by an earlier unpack: the folder is not emptied first, so this is installed too.
  WriteFile(box.path() / "Update" / "Update" / "Stari.txt", "od prije");

  const auto run = box.Run(
      kClient, "8", {EncodeConnectionList({peer.server(), "sa", "tajna", "Radna"}), "1", "1"});
  const std::string& out = run.output;

  EXPECT_EQ(ReadFile(box.app_exe()), image);
  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), "nova");
  EXPECT_EQ(ReadFile(box.path() / "Stari.txt"), "od prije");
  EXPECT_EQ(peer.BatchesContaining("CREATE TABLE T01").size(), 1u);
  const auto value_of = [&](const std::string& key) {
    return testing::PeerRows(db_dir.path(), "Radna",
                             "SELECT Vrijednost FROM OpcijeAplikacije WHERE Kljuc='" + key + "'");
  };
  EXPECT_EQ(value_of("MinVerzija"), Strings{"2.1.0.10"});
  EXPECT_EQ(value_of("TrenVerzijaDatum").size(), 1u);
  EXPECT_TRUE(HasLine(out, "status: Minimalna verzija 2.1.0.10 postavljena")) << out;
  EXPECT_TRUE(box.Starts().empty());
  EXPECT_TRUE(testing::LinesStartingWith(out, "mark steps 0 0").empty()) << out;
  EXPECT_TRUE(HasLine(out, "mark steps 2 0 bold: Instaliram")) << out;
  EXPECT_TRUE(testing::LinesStartingWith(out, "mark steps 2 1").empty()) << out;
  EXPECT_TRUE(out.ends_with("done: Instalacija završena.\nend\n")) << out;
}

}  // namespace
}  // namespace zepr
