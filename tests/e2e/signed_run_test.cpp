// Signed updates, the real updater against signatures made by Debian's minisign with throwaway
// keys: what the publisher signed installs, on every path; anything else leaves the application
// folder as it was, with status 9.
#include <gtest/gtest.h>

#include <functional>

#include "core/connection_text.h"
#include "core/text.h"
#include "e2e/e2e_sandbox.h"
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
using testing::kSection;
using testing::Publisher;
using testing::ReadFile;
using testing::WriteFile;

constexpr int kRefused = 9;

// The tree of the application folder without the working folder, which every run empties.
auto TreeOutsideUpdate(const fs::path& folder) {
  auto tree = testing::Tree(folder);
  std::erase_if(tree, [](const auto& entry) { return entry.first.starts_with("Update/"); });
  return tree;
}

bool Refused(const std::string& output, const std::string& name, const std::string& reason) {
  return !testing::LinesStartingWith(
              output, "status: Potpis nije prihvaćen: " + name + "\\rUzrok: " + reason)
              .empty();
}

std::string WorkingDatabase() {
  return std::string(R"({"users": {"sa": "tajna"}, "databases": {"Radna": [")") +
         testing::kOptionsTable + R"("]}})";
}

// An application folder that trusts the publisher's key "a", and a site that serves its update.
struct SignedSite {
  explicit SignedSite(Build build = Build::kLinux) : box(build) {
    testing::WriteSignedUpdateIni(box, site, publisher);
    WriteFile(box.path() / "Citaj.txt", "stara verzija");
  }
  void Serve(const std::string& bytes, const std::string& signature) {
    site.Put(kClient, "Update.zip", bytes);
    if (!signature.empty()) site.Put(kClient, "Update.zip.minisig", signature);
  }
  std::string Archive(const std::string& text) const {
    return BuildZip({{"Install.Ini", ""}, {"Citaj.txt", text}});
  }

  AppSandbox box;
  DownloadSite site;
  Publisher publisher;
};

TEST(SignedInternetRun, WhatThePublisherSignedInstallsAndMayComeAgain) {
  SignedSite s;
  const std::string archive = s.Archive("nova verzija");
  s.Serve(archive, s.publisher.Sign(archive, "Update.zip"));

  for (int run_number : {1, 2}) {
    SCOPED_TRACE(run_number);
    const auto run = s.box.Run(kClient, "3", {"x"});
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(ReadFile(s.box.path() / "Citaj.txt"), "nova verzija");
  }
  const Strings requests = s.site.Requests();
  EXPECT_NE(std::find(requests.begin(), requests.end(), "KLIJENT/DEMO/UPDATE.ZIP.minisig"),
            requests.end());
  EXPECT_TRUE(fs::exists(s.box.path() / "ZEPRUpdatePotpisi.txt"));

  // Bound to this client (letter case aside), an update installs from wherever the run took
  // it: here the common folder, once the client's own answered 404.
  const std::string bound = s.Archive("verzija za klijenta");
  s.site.Put("_SVI", "Update.zip", bound);
  s.site.Put("_SVI", "Update.zip.minisig",
             s.publisher.Sign(bound, "Update.zip", kSection, "a", "klijent"));
  s.site.Misbehave(R"({"KLIJENT/DEMO/Update.zip": {"status": 404}})");
  const auto run = s.box.Run(kClient, "3", {"x"});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(ReadFile(s.box.path() / "Citaj.txt"), "verzija za klijenta");
}

struct RefusalCase {
  const char* name;
  // What the status line says after "Uzrok: ", from its start.
  const char* reason;
  // Serves the update (and may run the updater once before).
  std::function<void(SignedSite&)> arrange;
  // What the status line and the final dialog say, when not the usual refusal of Update.zip.
  const char* line = nullptr;
  // 3 fetches the update; 8 installs what lies in Update/.
  const char* type = "3";
  // When not 0: the site sent no more body bytes than this in the run.
  uint64_t most_sent = 0;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class SignatureRefused : public ::testing::TestWithParam<RefusalCase> {};

// Each refusal leaves everything outside the working folder byte for byte as it was (nothing
// recorded), starts no program and ends with status 9; the status line and the run's one
// dialog name the refusal and its cause.
TEST_P(SignatureRefused, LeavesTheApplicationAsItWas) {
  const RefusalCase& c = GetParam();
  SignedSite s;
  c.arrange(s);
  const auto before = TreeOutsideUpdate(s.box.path());
  const size_t starts_before = s.box.Starts().size();
  const uint64_t sent_before = s.site.Sent();

  const bool present = std::string(c.type) == "8";
  const auto run = s.box.Run(kClient, c.type, present ? Strings{"x", "1"} : Strings{"x"});

  if (c.most_sent > 0) {
    EXPECT_LE(s.site.Sent() - sent_before, c.most_sent);
  }
  EXPECT_EQ(run.exit_code, kRefused) << run.output;
  const std::string line =
      c.line ? c.line : "Potpis nije prihvaćen: Update.zip\\rUzrok: " + std::string(c.reason);
  EXPECT_FALSE(testing::LinesStartingWith(run.output, "status: " + line).empty()) << run.output;
  const Strings dialogs = testing::LinesStartingWith(run.output, "dialog: ");
  ASSERT_EQ(dialogs.size(), 1u) << run.output;
  EXPECT_TRUE(dialogs[0].starts_with("dialog: Greška!: " + line)) << dialogs[0];
  EXPECT_EQ(TreeOutsideUpdate(s.box.path()), before);
  EXPECT_FALSE(fs::exists(s.box.path() / "Update" / "Update.zip"));
  EXPECT_EQ(s.box.Starts().size(), starts_before);
}

const std::string kComment = "file:Update.zip\tprogram:" + std::string(kSection) + "\ttimestamp:";

INSTANTIATE_TEST_SUITE_P(
    Cases, SignatureRefused,
    ::testing::Values(
        RefusalCase{"FlippedByte", "potpis nije ispravan",
                    [](SignedSite& s) {
                      std::string archive = s.Archive("nova verzija");
                      const std::string signature = s.publisher.Sign(archive, "Update.zip");
                      archive[archive.size() / 2] ^= 0x01;
                      s.Serve(archive, signature);
                    }},
        RefusalCase{"EditedTrustedComment", "potpis nije ispravan",
                    [](SignedSite& s) {
                      const std::string archive = s.Archive("nova verzija");
                      s.Serve(archive, ReplaceAll(s.publisher.Sign(archive, "Update.zip"),
                                                  "timestamp:", "timestamp:9"));
                    }},
        RefusalCase{"UnknownKey", "nepoznat ključ",
                    [](SignedSite& s) {
                      const std::string archive = s.Archive("nova verzija");
                      s.Serve(archive, s.publisher.Sign(archive, "Update.zip", kSection, "b"));
                    }},
        RefusalCase{"LegacyForm", "zastarjeli oblik potpisa",
                    [](SignedSite& s) {
                      const std::string archive = s.Archive("nova verzija");
                      s.Serve(archive,
                              s.publisher.SignWithComment(archive, kComment + "1", {"-l"}));
                    }},
        RefusalCase{"NoSignature", "nema potpisa",
                    [](SignedSite& s) { s.Serve(s.Archive("nova verzija"), ""); }},
        // Read no further than the longest valid signature could go: a file of 100 MB behind
        // a valid signature counts as no signature, and most of it never crosses the line.
        RefusalCase{"HugeSignatureFile", "nema potpisa",
                    [](SignedSite& s) {
                      const std::string archive = s.Archive("nova verzija");
                      std::string signature = s.publisher.Sign(archive, "Update.zip");
                      signature.resize(100'000'000, '\n');
                      s.Serve(archive, signature);
                    },
                    nullptr, "3", 50'000'000},
        RefusalCase{"AnotherFilesSignature", "potpis je za drugu datoteku",
                    [](SignedSite& s) {
                      const std::string archive = s.Archive("nova verzija");
                      s.Serve(archive, s.publisher.Sign(archive, "UpdateSpec.zip"));
                    }},
        RefusalCase{"AnotherProgramsSignature", "potpis je za drugi program",
                    [](SignedSite& s) {
                      const std::string archive = s.Archive("nova verzija");
                      s.Serve(archive, s.publisher.Sign(archive, "Update.zip", "DRUGI"));
                    }},
        // The newer update is installed first; the older one, signed as well, is a rollback.
        RefusalCase{"OlderThanInstalled", "starija verzija od instalirane",
                    [](SignedSite& s) {
                      const std::string newer = s.Archive("nova verzija");
                      s.Serve(newer, s.publisher.Sign(newer, "Update.zip"));
                      ASSERT_EQ(s.box.Run(kClient, "3", {"x"}).exit_code, 0);
                      const std::string older = s.Archive("stara verzija 2");
                      s.Serve(older, s.publisher.SignWithComment(older, kComment + "1700000000"));
                    }},
        // A publisher's clock gone wrong: recorded, it would hold back every later update.
        RefusalCase{"SignedInTheFuture", "potpisan u budućnosti (01.01.2100. 00:00 UTC)",
                    [](SignedSite& s) {
                      const std::string archive = s.Archive("nova verzija");
                      WriteFile(s.box.path() / "Update" / "Update.zip", archive);
                      WriteFile(s.box.path() / "Update" / "Update.zip.minisig",
                                s.publisher.SignWithComment(archive, kComment + "4102444800"));
                    },
                    nullptr, "8"},
        // Bound to another client, it is refused also from the common folder.
        RefusalCase{"AnotherClientsSignature", "potpis je za drugog klijenta (DRUGI)",
                    [](SignedSite& s) {
                      const std::string archive = s.Archive("nova verzija");
                      s.site.Put("_SVI", "Update.zip", archive);
                      s.site.Put("_SVI", "Update.zip.minisig",
                                 s.publisher.Sign(archive, "Update.zip", kSection, "a", "DRUGI"));
                    }},
        RefusalCase{"MalformedKeyInUpdateIni", "",
                    [](SignedSite& s) {
                      WriteFile(s.box.path() / "UPDATE.INI",
                                ReadFile(s.box.path() / "UPDATE.INI") + "KEY2=RWQ nije kljuc\r\n");
                      const std::string archive = s.Archive("nova verzija");
                      s.Serve(archive, s.publisher.Sign(archive, "Update.zip"));
                    },
                    "Potpisi se ne mogu provjeriti.\\rUzrok: neispravan ključ u UPDATE.INI"}),
    [](const auto& info) { return std::string(info.param.name); });

// Type 1: each archive of the list is checked on its own; the signed one installs.
TEST(SignedPaths, FtpListArchivesAreCheckedEachOnItsOwn) {
  AppSandbox box;
  Publisher publisher;
  testing::TempDir root;
  testing::FtpServer server(root.path(), "zepr", "tajna");
  WriteFile(box.path() / "UPDATE.INI",
            "[" + std::string(kSection) +
                "]\r\nSERVER=127.0.0.1\r\nPORT=" + std::to_string(server.port()) +
                "\r\nUSERNAME=zepr\r\nPASSWORD=tajna\r\nSTART_DIR=/\r\nKORISNIK=klijent\r\n"
                "CFG=lista.ini\r\nPASSIVE=D\r\n[SIGN]\r\nKEY=" +
                publisher.PublicKey() + "\r\n");
  const fs::path remote = root.path() / "KLIJENT" / kSection;
  WriteFile(remote / "lista.ini", "[UPDATE]\r\n1=Update.zip\r\n2=UpdateSpec.zip\r\n");
  const std::string main = BuildZip({{"Install.Ini", ""}, {"Citaj.txt", "nova"}});
  WriteFile(remote / "Update.zip", main);
  WriteFile(remote / "Update.zip.minisig", publisher.Sign(main, "Update.zip"));
  const std::string special = BuildZip({{"Posebno.txt", "posebno"}});
  WriteFile(remote / "UpdateSpec.zip", special);
  WriteFile(remote / "UpdateSpec.zip.minisig", publisher.Sign(special, "Update.zip"));

  const auto run = box.Run(kClient, "1", {"x"});

  EXPECT_EQ(ReadFile(box.path() / "Citaj.txt"), "nova") << run.output;
  EXPECT_FALSE(fs::exists(box.path() / "Posebno.txt"));
  EXPECT_TRUE(Refused(run.output, "UpdateSpec.zip", "potpis je za drugu datoteku")) << run.output;
  EXPECT_EQ(run.exit_code, kRefused) << run.output;
}

// Types 6, 2 and 5: the staging run puts each signature beside its archive on the share, the
// share run of another workstation checks its own copy with it, and a refused staged archive
// is taken off the share.
TEST(SignedPaths, StagedArchivesCarryTheirSignaturesToTheShareRun) {
  SignedSite stager;
  testing::TempDir share;
  testing::TempDir db_dir;
  testing::TdsPeer peer(db_dir.path(), WorkingDatabase());
  const std::string archive = stager.Archive("nova verzija");
  stager.Serve(archive, stager.publisher.Sign(archive, "Update.zip"));
  const std::string connection = EncodeConnectionList({peer.server(), "sa", "tajna", "Radna"});

  const auto staged = stager.box.Run(kClient, "6", {share.folder(), connection, "0"});
  ASSERT_EQ(staged.exit_code, 0) << staged.output;
  EXPECT_EQ(ReadFile(stager.box.path() / "Citaj.txt"), "nova verzija");
  EXPECT_TRUE(fs::exists(share.path() / "Update.zip.minisig"));

  AppSandbox workstation;
  WriteFile(workstation.path() / "UPDATE.INI",
            "[SIGN]\r\nKEY=" + stager.publisher.PublicKey() + "\r\n");
  const auto copied = workstation.Run(kClient, "2", {share.folder()});
  EXPECT_EQ(copied.exit_code, 0) << copied.output;
  EXPECT_EQ(ReadFile(workstation.path() / "Citaj.txt"), "nova verzija");

  const std::string special = BuildZip({{"Posebno.txt", "posebno"}});
  stager.site.Put(kClient, "UpdateSpec.zip", special);
  stager.site.Put(kClient, "UpdateSpec.zip.minisig",
                  stager.publisher.Sign(special, "UpdateSpec.zip", "DRUGI"));
  const auto special_run = stager.box.Run(kClient, "5", {share.folder()});
  EXPECT_EQ(special_run.exit_code, kRefused) << special_run.output;
  EXPECT_TRUE(Refused(special_run.output, "UpdateSpec.zip", "potpis je za drugi program"));
  EXPECT_FALSE(fs::exists(share.path() / "UpdateSpec.zip"));
  EXPECT_TRUE(fs::exists(share.path() / "Update.zip"));
}

// Type 4: a script that is not the publisher's never reaches the database's tool.
TEST(SignedPaths, StagingScriptIsCheckedBeforeTheDatabaseSeesIt) {
  SignedSite s;
  testing::TempDir share;
  testing::TempDir db_dir;
  testing::TdsPeer peer(db_dir.path(), WorkingDatabase());
  const std::string archive = s.Archive("nova verzija");
  s.Serve(archive, s.publisher.Sign(archive, "Update.zip"));
  const std::string script = "select 1\r\nGO\r\n";
  s.site.Put(kClient, "skripta.sql", script);
  s.site.Put(kClient, "skripta.sql.minisig",
             s.publisher.Sign(script, "skripta.sql", kSection, "b"));
  const std::string connection = EncodeConnectionList({peer.server(), "sa", "tajna", "Radna"});

  const auto run = s.box.Run(kClient, "4", {share.folder(), connection, "skripta.sql", "U"});

  EXPECT_EQ(run.exit_code, kRefused) << run.output;
  EXPECT_TRUE(Refused(run.output, "skripta.sql", "nepoznat ključ")) << run.output;
  EXPECT_TRUE(peer.BatchesContaining("@@Version").empty());
  EXPECT_FALSE(fs::exists(s.box.path() / "skripta.sql"));
  EXPECT_EQ(ReadFile(share.path() / "Update.zip"), archive);  // staged, as it was accepted
}

// Type 7: each child checks the archive it installs; a refusal fails its database.
TEST(SignedPaths, GroupChildrenRefuseAnUnsignedArchive) {
  SignedSite s;
  testing::TempDir db_dir;
  testing::TdsPeer peer(db_dir.path(), R"json({
    "users": {"sa": "tajna"},
    "databases": {
      "QTVConfig": ["CREATE TABLE BazeUpdate (Grupa varchar(50), Poredak int, DatabaseName varchar(128))",
                    "INSERT INTO BazeUpdate VALUES ('Grupa', 1, 'B1')"],
      "B1": ["CREATE TABLE OpcijeAplikacije (SEKCIJA varchar(50), Kljuc varchar(50), Vrijednost varchar(255), KOMENTAR varchar(255))"]
    }
  })json");
  WriteFile(s.box.path() / "Update" / "Update.zip", s.Archive("nova verzija"));

  const auto run =
      s.box.Run(kClient, "7",
                {s.box.folder() + "share",
                 EncodeConnectionList({peer.server(), "sa", "tajna", "x"}), "0", "Grupa", "8"});

  EXPECT_EQ(run.exit_code, 7) << run.output;
  EXPECT_TRUE(Refused(run.output, "Update.zip", "nema potpisa")) << run.output;
  EXPECT_TRUE(HasLine(run.output, "mark databases 0 2 plain: B1")) << run.output;
  EXPECT_EQ(ReadFile(s.box.path() / "Citaj.txt"), "stara verzija");
}

// The Windows program under Wine: type 3 installs an update signed for its client (dated by
// the workstation's clock, not ahead of it), type 8 checks what type 3 left in Update/, and
// type 2 refuses a copy signed by a key it does not trust.
TEST(SignedWindowsRun, InternetPresentAndShareRuns) {
  const std::string why = testing::WindowsRunsUnavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  SignedSite s(Build::kWindows);
  const std::string archive = s.Archive("nova verzija");
  s.Serve(archive, s.publisher.Sign(archive, "Update.zip", kSection, "a", kClient));

  const auto fetched = s.box.Run(kClient, "3", {"x"});
  EXPECT_EQ(fetched.exit_code, 0) << fetched.output;
  EXPECT_EQ(ReadFile(s.box.path() / "Citaj.txt"), "nova verzija");

  WriteFile(s.box.path() / "Citaj.txt", "izmijenjena");
  const auto present = s.box.Run(kClient, "8", {"x", "1"});
  EXPECT_EQ(present.exit_code, 0) << present.output;
  EXPECT_EQ(ReadFile(s.box.path() / "Citaj.txt"), "nova verzija");

  testing::TempDir share;
  const std::string other = s.Archive("tuđa verzija");
  WriteFile(share.path() / "Update.zip", other);
  WriteFile(share.path() / "Update.zip.minisig",
            s.publisher.Sign(other, "Update.zip", kSection, "b"));
  const auto copied = s.box.Run("_SVI", "2", {share.folder()});
  EXPECT_EQ(copied.exit_code, kRefused) << copied.output;
  EXPECT_TRUE(Refused(copied.output, "Update.zip", "nepoznat ključ")) << copied.output;
  EXPECT_EQ(ReadFile(s.box.path() / "Citaj.txt"), "nova verzija");
}

}  // namespace
}  // namespace zepr
