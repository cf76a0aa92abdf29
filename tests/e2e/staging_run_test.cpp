// Staging into the site's share folder, the real updater against the download endpoint and
// the database stand-in.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/connection_text.h"
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
using testing::kSection;
using testing::kTitle;
using testing::ReadFile;
using testing::WriteFile;
using testing::WriteUpdateIni;

std::string WorkingDatabase() {
  return std::string(R"({"users": {"sa": "tajna"}, "databases": {"Radna": [")") + kOptionsTable +
         R"("]}})";
}

std::string Connection(const testing::TdsPeer& peer, const std::string& password = "tajna") {
  return EncodeConnectionList({peer.server(), "sa", password, "Radna"});
}

size_t Count(const Strings& items, const std::string& item) {
  return static_cast<size_t>(std::count(items.begin(), items.end(), item));
}

// A site with the update archives and a share holding yesterday's.
struct Staging {
  AppSandbox box;
  DownloadSite site;
  testing::TempDir share;
  testing::TempDir db_dir;
  const std::string main_archive = BuildZip({{"Install.Ini", ""}, {"Citaj.txt", "nova"}});
  const std::string spec_archive = BuildZip({{"Posebno.txt", "posebno"}});

  Staging() {
    WriteUpdateIni(box, site);
    WriteFile(share.path() / "Update.zip", "jucerasnja");
    WriteFile(share.path() / "UpdateSpec.zip", "jucerasnja posebna");
  }
  void Serve() {
    site.Put(kClient, "Update.zip", main_archive);
    site.Put(kClient, "UpdateSpec.zip", spec_archive);
  }
};

struct ScriptModeCase {
  const char* mode;
  const char* script_folder;  // where the endpoint has the script
  bool tool_opened;
};

void PrintTo(const ScriptModeCase& c, std::ostream* os) { *os << c.mode; }

class StageAndScript : public ::testing::TestWithParam<ScriptModeCase> {};

// The archives are staged, the script is fetched (from the common folder when the client
// has none) and deleted again, the SQL Server tool is asked for unless the mode is "SU", and a
// real share run installs what was staged.
TEST_P(StageAndScript, StagesFetchesTheScriptAndHandsOverToAShareRun) {
  const ScriptModeCase& c = GetParam();
  Staging s;
  s.Serve();
  s.site.Put(c.script_folder, "skripta.sql", "select 1\r\nGO\r\n");
  testing::TdsPeer peer(s.db_dir.path(), WorkingDatabase());
  testing::ProcessWatcher updaters(s.box.updater());

  const auto run =
      s.box.Run(kClient, "4", {s.share.folder(), Connection(peer), "skripta.sql", c.mode});
  const std::string& out = run.output;

  EXPECT_EQ(ReadFile(s.share.path() / "Update.zip"), s.main_archive);
  EXPECT_EQ(ReadFile(s.share.path() / "UpdateSpec.zip"), s.spec_archive);
  EXPECT_TRUE(
      HasLine(out, "status: Skinuo sam datoteku \\r" + s.site.Url(c.script_folder) + "skripta.sql"))
      << out;
  EXPECT_FALSE(fs::exists(s.box.path() / "skripta.sql"));
  EXPECT_EQ(peer.BatchesContaining("@@Version").size(), c.tool_opened ? 1u : 0u);

  const auto updaters_seen = updaters.CommandLines();
  ASSERT_EQ(updaters_seen.size(), 2u);
  EXPECT_EQ(updaters_seen[1], (Strings{s.box.updater().string(), kTitle, kSection, s.box.app(),
                                       kClient, "2", s.share.folder()}));
  EXPECT_EQ(ReadFile(s.box.path() / "Citaj.txt"), "nova");
  EXPECT_EQ(ReadFile(s.box.path() / "Posebno.txt"), "posebno");
  EXPECT_EQ(s.box.Starts(), Strings{""});
  EXPECT_TRUE(HasLine(out, "type: tip: 2")) << out;
}

INSTANTIATE_TEST_SUITE_P(Modes, StageAndScript,
                         ::testing::Values(ScriptModeCase{"SU", "_SVI", false},
                                           ScriptModeCase{"U", kClient, true}),
                         [](const auto& info) { return std::string(info.param.mode); });

// The tool needs the database; when it cannot be reached the run stops there, with the
// script kept, although "U" asked for a share run.
TEST(StageAndScriptFailure, UnreachableDatabaseStopsBeforeTheHandOver) {
  Staging s;
  s.Serve();
  s.site.Put(kClient, "skripta.sql", "select 1\r\n");
  testing::TdsPeer peer(s.db_dir.path(), WorkingDatabase());

  const auto run =
      s.box.Run(kClient, "4", {s.share.folder(), Connection(peer, "kriva"), "skripta.sql", "U"});
  const std::string& out = run.output;

  const auto failures =
      testing::LinesStartingWith(out, "status: Nadogradnja baze podataka nije uspjela.\\rUzrok: ");
  ASSERT_EQ(failures.size(), 1u) << out;
  EXPECT_NE(failures[0].find("Login failed for user 'sa'"), std::string::npos) << failures[0];
  EXPECT_TRUE(fs::exists(s.box.path() / "skripta.sql"));
  EXPECT_FALSE(HasLine(out, "done: Instalacija završena.")) << out;
  EXPECT_EQ(ReadFile(s.share.path() / "Update.zip"), s.main_archive);
}

TEST(StageSpecial, ReplacesOnlyTheSpecialArchiveOnTheShare) {
  Staging s;
  s.Serve();

  const auto run = s.box.Run(kClient, "5", {s.share.folder()});

  EXPECT_EQ(ReadFile(s.share.path() / "UpdateSpec.zip"), s.spec_archive);
  EXPECT_EQ(ReadFile(s.share.path() / "Update.zip"), "jucerasnja");
  for (const auto& request : s.site.Requests()) EXPECT_EQ(request, "KLIJENT/DEMO/UpdateSpec.ZIP");
  EXPECT_TRUE(HasLine(run.output,
                      "mark steps 0 1 plain: Skidam UpdateSpec.zip datoteku na naš "
                      "server"))
      << run.output;
  EXPECT_TRUE(s.box.Starts().empty());
  EXPECT_TRUE(run.output.ends_with("done: Instalacija završena.\nend\n")) << run.output;
}

// Staged into the share and installed here: the archive's scripts reach the database and
// the application starts, as this is the last run.
TEST(StageAndInstall, FetchesIntoTheShareInstallsHereAndRunsTheScripts) {
  Staging s;
  const std::string archive = BuildZip(
      {{"Citaj.txt", "nova"}, {"Update/UpdateBaze/01.sql", "CREATE TABLE T01 (a int)\r\nGO\r\n"}});
  s.site.Put(kClient, "Update.zip", archive);
  testing::TdsPeer peer(s.db_dir.path(), WorkingDatabase());

  const auto run = s.box.Run(kClient, "6", {s.share.folder(), Connection(peer), "0"});

  EXPECT_EQ(ReadFile(s.share.path() / "Update.zip"), archive);
  EXPECT_FALSE(fs::exists(s.share.path() / "UpdateSpec.zip"));  // yesterday's is gone
  EXPECT_EQ(ReadFile(s.box.path() / "Citaj.txt"), "nova");
  EXPECT_EQ(peer.BatchesContaining("CREATE TABLE T01").size(), 1u);
  EXPECT_FALSE(fs::exists(s.box.path() / "Update" / "UpdateBaze" / "01.sql"));
  EXPECT_EQ(s.box.Starts(), Strings{""});
  EXPECT_TRUE(run.output.ends_with("done: Instalacija završena.\nend\n")) << run.output;
}

// "x": no download, no copy, no unpack; only the scripts already unpacked run.
TEST(StageAndInstall, ScriptsOnlyRunsWhatIsAlreadyUnpacked) {
  AppSandbox box;
  DownloadSite site;
  WriteUpdateIni(box, site);
  site.Put(kClient, "Update.zip", BuildZip({{"Citaj.txt", "nova"}}));
  testing::TempDir db_dir;
  testing::TdsPeer peer(db_dir.path(), WorkingDatabase());
  WriteFile(box.path() / "Update" / "UpdateBaze" / "01.sql", "CREATE TABLE T01 (a int)\r\nGO\r\n");
  WriteFile(box.path() / "Update" / "Update.zip", "nije arhiva");
  const auto before = testing::Tree(box.path() / "Update");

  const auto run = box.Run(kClient, "6", {"x", Connection(peer)});
  const std::string& out = run.output;

  EXPECT_TRUE(site.Requests().empty());
  EXPECT_EQ(peer.BatchesContaining("CREATE TABLE T01").size(), 1u);
  auto expected = before;
  std::erase_if(expected, [](const auto& entry) { return entry.first == "UpdateBaze/01.sql"; });
  EXPECT_EQ(testing::Tree(box.path() / "Update"), expected);  // only the script is gone
  EXPECT_FALSE(fs::exists(box.path() / "Citaj.txt"));
  EXPECT_TRUE(box.Starts().empty());
  EXPECT_TRUE(testing::LinesStartingWith(out, "mark steps 0 1").empty()) << out;
  EXPECT_TRUE(out.ends_with("done: Instalacija završena.\nend\n")) << out;
}

// The share keeps an entry of the archive's name that cannot be copied (here a folder):
// the run reports the share instead of installing.
TEST(StageAndInstall, ShareArchiveThatCannotBeCopiedIsReported) {
  Staging s;
  fs::remove(s.share.path() / "Update.zip");
  WriteFile(s.share.path() / "Update.zip" / "nesto.txt", "");

  const auto run = s.box.Run(kClient, "6", {s.share.folder(), "x"});

  EXPECT_TRUE(HasLine(run.output, "dialog: Greška!: Neuspješno skidanje ZIP datoteka sa servera: " +
                                      s.share.folder()))
      << run.output;
  EXPECT_FALSE(fs::exists(s.box.path() / "Update" / "Update.zip"));
  EXPECT_FALSE(HasLine(run.output, "done: Instalacija završena.")) << run.output;
  EXPECT_TRUE(run.output.ends_with("end\n")) << run.output;
}

struct FailedStagingCase {
  const char* type;
  const char* archive;  // the one the failure names
  bool main_archive_kept;
  const char* first_step;
};

void PrintTo(const FailedStagingCase& c, std::ostream* os) { *os << "type " << c.type; }

class StagingFailure : public ::testing::TestWithParam<FailedStagingCase> {};

// Nothing arrives: the client's address is reported, the first step is marked failed, and
// the old archives the run deleted stay deleted.
TEST_P(StagingFailure, NothingServedReportsTheAddressAndMarksTheFirstStep) {
  const FailedStagingCase& c = GetParam();
  Staging s;
  Strings params{s.share.folder()};
  if (std::string(c.type) == "4") params = {s.share.folder(), "x", "skripta.sql", "U"};

  const auto run = s.box.Run(kClient, c.type, params);
  const std::string& out = run.output;

  EXPECT_TRUE(HasLine(out, "dialog: Greška!: Neuspješno skidanje datoteka sa internet lokacije: " +
                               s.site.Url(kClient) + c.archive))
      << out;
  EXPECT_TRUE(HasLine(out, std::string("mark steps 0 2 plain: ") + c.first_step)) << out;
  EXPECT_FALSE(fs::exists(s.share.path() / "UpdateSpec.zip"));
  EXPECT_EQ(fs::exists(s.share.path() / "Update.zip"), c.main_archive_kept);
  EXPECT_EQ(Count(s.site.Requests(), "_SVI/DEMO/UpdateSpec.ZIP"), 0u);
  EXPECT_TRUE(out.ends_with("end\n")) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Types, StagingFailure,
    ::testing::Values(
        FailedStagingCase{"4", "UPDATE.ZIP", false, "Skidam Update.zip datoteke na naš server"},
        FailedStagingCase{"5", "UpdateSpec.ZIP", true,
                          "Skidam UpdateSpec.zip datoteku na naš server"},
        FailedStagingCase{"6", "UPDATE.ZIP", false, "Skidam Update.zip datoteke na naš server"}),
    [](const auto& info) { return std::string("Type") + info.param.type; });

}  // namespace
}  // namespace zepr
