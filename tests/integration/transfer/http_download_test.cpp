#include "transfer/http_download.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "app/form_create.h"
#include "config/settings.h"
#include "core/errors.h"
#include "http_cases.h"
#include "support/fake_window.h"
#include "support/peer_process.h"
#include "support/sandbox.h"
#include "test_authority.h"
#include "transfer/transfer_shared.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using zepr::testing::FakeWindow;
using zepr::testing::PeerProcess;
using zepr::testing::ReadFile;
using zepr::testing::TempDir;
using zepr::testing::WriteFile;

std::string Bytes(size_t size, unsigned seed = 0) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>((i * 131 + i / 251 + seed) & 0xFF);
  }
  return bytes;
}

std::vector<std::string> Lines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  return fields;
}

class HttpDownloadTest : public ::testing::Test {
 protected:
  HttpDownloadTest()
      : endpoint_({zepr::testing::SystemPython(), zepr::testing::SupportFile("http_endpoint.py"),
                   "--root", served_.folder(), "--log", LogPath().string(), "--control",
                   ControlPath().string(), "--sent", SentPath().string(), "--time-limit", "120"}),
        window_(clock_),
        client_(window_, {.connect_timeout_ms = 5000, .stall_limit_s = 1}) {}

  fs::path LogPath() const { return served_.path() / "requests.log"; }
  fs::path ControlPath() const { return served_.path() / "control.json"; }
  fs::path SentPath() const { return served_.path() / "sent"; }
  // Body bytes the endpoint has sent so far.
  uint64_t Sent() const {
    const std::string text = ReadFile(SentPath());
    return text.empty() ? 0 : std::stoull(text);
  }

  void Serve(const std::string& name, const std::string& bytes) {
    WriteFile(served_.path() / "Klijent" / "APP" / name, bytes);
  }
  void Rule(const std::string& json) { WriteFile(ControlPath(), json); }
  std::string Url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(endpoint_.port()) +
           "/download/_UPDATE/update.php?file=Klijent/APP/" + name;
  }
  fs::path Target() const { return local_.path() / "Update.zip"; }

  TempDir served_;
  TempDir local_;
  PeerProcess endpoint_;
  VirtualClock clock_;
  FakeWindow window_;
  SystemHttpClient client_;
};

// One request per download: its status is judged before any byte is written, so the archive
// crosses the line once.
TEST_F(HttpDownloadTest, DeliversFileInOneRequestWithFiguresWithoutCache) {
  const std::string body = Bytes(3'000'000);
  Serve("Update.zip", body);
  window_.SetProgress(42);

  ASSERT_TRUE(client_.HttpDownloadFile(Url("UPDATE.ZIP"), Target().string(), "Update.zip (_SVI)"));

  EXPECT_TRUE(ReadFile(Target()) == body);
  EXPECT_THAT(testing::ListFolder(local_.path()), ElementsAre("Update.zip"));
  EXPECT_EQ(window_.Progress(), 100);
  EXPECT_EQ(window_.ProgressMax(), 100);
  EXPECT_EQ(window_.Label1(), "");
  EXPECT_TRUE(window_.dialogs.empty());
  EXPECT_EQ(clock_.slept_ms(), 1500u);
  EXPECT_GT(window_.processed(), 0);
  // Time stands still on the virtual clock, so the throttle lets only the first figures and
  // the final ones through, however many blocks arrive.
  ASSERT_EQ(window_.statuses.size(), 3u);
  EXPECT_THAT(window_.statuses[0], ::testing::StartsWith("skidam datoteku Update.zip (_SVI): "));
  EXPECT_EQ(window_.statuses[1], "skidam datoteku Update.zip (_SVI): 3000k/3000k...");
  EXPECT_EQ(window_.statuses[2], "");

  const auto log = Lines(LogPath());
  ASSERT_EQ(log.size(), 1u);
  const std::string path = "/download/_UPDATE/update.php?file=Klijent/APP/UPDATE.ZIP";
  EXPECT_THAT(Fields(log[0]),
              ElementsAre("GET", path, "ZEPRUpdate.exe", "no-cache", "no-cache", "-", "-"));
  EXPECT_EQ(Sent(), body.size());
}

TEST_F(HttpDownloadTest, FinalFiguresRoundHalvesToEven) {
  for (const auto& c : testing::FinalFiguresCases()) {
    SCOPED_TRACE(std::to_string(c.size) + (c.announced ? "" : " without length"));
    const std::string name = "F" + std::to_string(c.size) + (c.announced ? ".zip" : "n.zip");
    Serve(name, Bytes(c.size));
    if (!c.announced) Rule(R"({")" + name + R"(": {"nolength": 1}})");
    window_.statuses.clear();
    const auto target = local_.path() / name;

    ASSERT_TRUE(client_.HttpDownloadFile(Url(name), target.string(), "Skripta"));

    EXPECT_EQ(fs::file_size(target), c.size);
    ASSERT_GE(window_.statuses.size(), 2u);
    EXPECT_EQ(window_.statuses[window_.statuses.size() - 2],
              "skidam datoteku Skripta: " + c.figures);
    EXPECT_EQ(window_.Progress(), 100);
  }
}

TEST(DownloadFigures, StatusTextAndBarRoundHalvesToEven) {
  struct Case {
    uint64_t written, expected;
    std::string text;
    int64_t percent;
  } cases[] = {
      {0, 2500, "skidam datoteku X: 0k/2k...", 0},
      {1500, 2500, "skidam datoteku X: 2k/2k...", 60},
      {125, 1000, "skidam datoteku X: 0k/1k...", 12},  // 12.5 -> 12
      {135, 1000, "skidam datoteku X: 0k/1k...", 14},  // 13.5 -> 14
      {500, 3000, "skidam datoteku X: 0k/3k...", 17},  // 16.67
      {4500, 0, "skidam datoteku X: 4k/0k...", 0},     // no length: the bar waits
      {5'000'000'000, 5'000'000'000, "skidam datoteku X: 5000000k/5000000k...", 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.written) + "/" + std::to_string(c.expected));
    EXPECT_EQ(DownloadStatusText("X", c.written, c.expected), c.text);
    EXPECT_EQ(DownloadPercent(c.written, c.expected), c.percent);
  }
}

TEST_F(HttpDownloadTest, FailuresLeaveNoPartialFile) {
  for (const auto& c : testing::FailureCases()) {
    SCOPED_TRACE(c.what);
    fs::remove_all(served_.path() / "Klijent");
    fs::remove(LogPath());
    if (c.what != "missing file") Serve("Update.zip", Bytes(1'000'000));
    Rule(c.rule.empty() ? "{}" : R"({"update.zip": )" + c.rule + "}");
    WriteFile(Target(), "old archive");
    window_.dialogs.clear();
    window_.SetLabel1("Skidam > Update.zip");
    const auto started = std::chrono::steady_clock::now();

    EXPECT_FALSE(
        client_.HttpDownloadFile(Url("Update.zip"), Target().string(), "Update.zip", c.limit));

    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(Lines(LogPath()).size(), c.requests);
    if (c.old_file_kept) {
      EXPECT_THAT(testing::ListFolder(local_.path()), ElementsAre("Update.zip"));
      EXPECT_EQ(ReadFile(Target()), "old archive");
    } else {
      EXPECT_TRUE(testing::ListFolder(local_.path()).empty());
    }
    testing::ExpectShown(c.shown, window_);
  }
  // A file as long as its limit is not longer.
  Rule("{}");
  EXPECT_TRUE(
      client_.HttpDownloadFile(Url("Update.zip"), Target().string(), "Update.zip", 1'000'000));
}

// A transfer cut or stalled after some bytes is asked for again after 2, 4 and 8 s (on the
// window's clock) for the rest, with the version it must belong to: the file that arrives is
// always one version whole.
TEST_F(HttpDownloadTest, CutTransferIsContinuedWithinTheRunNeverMixed) {
  const std::string body = Bytes(1'000'000);
  const std::string replaced = Bytes(1'200'000, 7);
  for (const auto& c : testing::CutCases()) {
    SCOPED_TRACE(c.what);
    fs::remove_all(served_.path() / "Klijent");
    fs::remove(LogPath());
    Serve("Update.zip", body);
    Serve("Nova.zip", replaced);
    Rule(R"({"update.zip": )" + c.rule + "}");
    const uint64_t sent_before = Sent();
    window_.dialogs.clear();
    window_.statuses.clear();
    const uint64_t slept_before = clock_.slept_ms();

    EXPECT_EQ(client_.HttpDownloadFile(Url("Update.zip"), Target().string(), "Update.zip"),
              c.delivered);

    if (c.delivered) {
      EXPECT_TRUE(ReadFile(Target()) == (c.replaced ? replaced : body));
      EXPECT_TRUE(window_.dialogs.empty());
    } else {
      ASSERT_EQ(window_.dialogs.size(), 1u);
      EXPECT_EQ(window_.dialogs[0].text, "greška u downloadu");
    }
    EXPECT_THAT(testing::ListFolder(local_.path()),
                c.delivered ? std::vector<std::string>{"Update.zip"} : std::vector<std::string>{});
    EXPECT_EQ(Sent() - sent_before, c.sent);
    const auto log = Lines(LogPath());
    ASSERT_EQ(log.size(), c.requests);
    EXPECT_EQ(Fields(log[0])[5], "-");
    for (size_t i = 1; i < log.size(); ++i) {
      const auto fields = Fields(log[i]);
      EXPECT_THAT(fields[5], ::testing::MatchesRegex("bytes=[0-9]+-"));
      if (c.if_range == "etag") {
        EXPECT_THAT(fields[6], ::testing::MatchesRegex("\"[0-9a-f-]+\""));
      } else if (c.if_range == "date") {
        EXPECT_THAT(fields[6], ::testing::EndsWith(" GMT"));
      } else {
        EXPECT_EQ(fields[6], "-");
      }
    }
    // Each pause counts down on the status line, attempt by attempt, then the figures return.
    uint32_t waited = 0;
    for (uint32_t wait : c.waits) waited += wait;
    std::vector<std::string> retry_lines;
    for (const auto& status : window_.statuses) {
      if (status.starts_with("Veza je prekinuta")) retry_lines.push_back(status);
    }
    EXPECT_EQ(retry_lines, testing::PauseLines(c.waits));
    EXPECT_EQ(clock_.slept_ms() - slept_before, waited * 1000 + 1500);
    EXPECT_EQ(window_.Label1(), "");
  }
}

// The window stays alive in the pauses, and an end asked for meanwhile (Esc) ends the waiting.
TEST_F(HttpDownloadTest, EndAskedForDuringAPauseGivesUp) {
  // Asks for the end at the third refresh of the window in a pause.
  class EscWindow : public FakeWindow {
   public:
    using FakeWindow::FakeWindow;
    void ProcessMessages() override {
      FakeWindow::ProcessMessages();
      if (Label1().starts_with("Veza je prekinuta") && ++pumped_in_pause == 3) RequestEnd();
    }
    int pumped_in_pause = 0;
  } window(clock_);
  SystemHttpClient client(window, {.connect_timeout_ms = 5000, .stall_limit_s = 1});
  Serve("Update.zip", Bytes(1'000'000));
  Rule(R"({"update.zip": {"cut": 500000}})");

  EXPECT_FALSE(client.HttpDownloadFile(Url("Update.zip"), Target().string(), "Update.zip"));

  EXPECT_EQ(window.pumped_in_pause, 3);
  EXPECT_EQ(Lines(LogPath()).size(), 1u);
  // The pause ended at once; the one that leaves the final figures readable still ran.
  EXPECT_LT(clock_.slept_ms(), 1500u + 200u);
  EXPECT_TRUE(testing::ListFolder(local_.path()).empty());
}

// A download given up on keeps its bytes in the resume folder with the version they belong to;
// the next run continues them when the server still has that version, and starts afresh
// otherwise.
TEST_F(HttpDownloadTest, PartialFileIsContinuedByTheNextRun) {
  const std::string body = Bytes(1'000'000);
  const std::string replaced = Bytes(1'000'000, 9);
  const fs::path resume = local_.path() / "ZEPRUpdateNastavak";
  for (const auto& c : testing::ResumeCases()) {
    SCOPED_TRACE(c.what);
    fs::remove_all(served_.path() / "Klijent");
    fs::remove_all(local_.path());
    fs::create_directories(local_.path());
    Serve("Update.zip", body);
    Serve("Druga.zip", body);
    Serve("Nova.zip", replaced);
    Rule(c.validated ? R"({"update.zip": {"cut": 600000}})"
                     : R"({"update.zip": {"cut": 600000, "noetag": 1, "nodate": 1}})");
    {
      SystemHttpClient first(window_, {.connect_timeout_ms = 5000,
                                       .stall_limit_s = 1,
                                       .pause_after_download = false,
                                       .resume_folder = resume.string()});
      EXPECT_FALSE(first.HttpDownloadFile(Url("Update.zip"), Target().string(), "Update.zip"));
    }
    EXPECT_FALSE(fs::exists(Target()));
    // Bytes that nobody could tell the version of are not kept.
    EXPECT_EQ(fs::exists(resume) ? testing::ListFolder(resume).size() : 0u, c.validated ? 2u : 0u);
    if (c.age_days > 0) {
      for (const auto& entry : fs::directory_iterator(resume)) {
        fs::last_write_time(entry.path(),
                            fs::file_time_type::clock::now() - std::chrono::hours(24 * c.age_days));
      }
    }
    Rule(c.second_rule);
    fs::remove(LogPath());
    const uint64_t sent_before = Sent();
    SystemHttpClient next(window_, {.connect_timeout_ms = 5000,
                                    .stall_limit_s = 1,
                                    .pause_after_download = false,
                                    .resume_folder = resume.string()});

    ASSERT_TRUE(next.HttpDownloadFile(Url(c.url.empty() ? "Update.zip" : c.url), Target().string(),
                                      "Update.zip"));

    EXPECT_TRUE(ReadFile(Target()) == (c.replaced ? replaced : body));
    EXPECT_GE(Sent() - sent_before, c.sent);
    EXPECT_LE(Sent() - sent_before, c.sent + c.unread);
    std::vector<std::string> ranges;
    for (const auto& line : Lines(LogPath())) ranges.push_back(Fields(line)[5]);
    EXPECT_EQ(ranges, c.ranges);
    // Nothing waits for a later run: the folder is gone again.
    EXPECT_FALSE(fs::exists(resume));
    EXPECT_THAT(testing::ListFolder(local_.path()), ElementsAre("Update.zip"));
  }
}

// The tests above run with short limits; a run that overrides nothing gets these. A limit of 0
// would mean none, and a dead server would hold an unattended run for good.
TEST(HttpOptionsTest, LimitsWhenNothingOverridesThem) {
  const HttpOptions defaults;
  EXPECT_EQ(defaults.connect_timeout_ms, 60'000);
  EXPECT_EQ(defaults.stall_limit_s, 120);
}

TEST_F(HttpDownloadTest, RefusedConnectionFailsQuietly) {
  const std::string url = Url("Update.zip");
  endpoint_.Stop();
  window_.SetLabel1("Skidam > Update.zip");

  EXPECT_FALSE(client_.HttpDownloadFile(url, Target().string(), "Update.zip"));

  EXPECT_TRUE(window_.dialogs.empty());
  EXPECT_EQ(window_.Label1(), "Skidam > Update.zip");
  EXPECT_FALSE(fs::exists(Target()));
  EXPECT_EQ(clock_.slept_ms(), 0u);
}

TEST_F(HttpDownloadTest, NamesWithBlanksAndCroatianLettersReachTheEndpoint) {
  Serve("Skripta ažuriranja.sql", "select 1");
  const auto target = local_.path() / "Skripta ažuriranja.sql";

  ASSERT_TRUE(client_.HttpDownloadFile(Url("SKRIPTA AŽURIRANJA.SQL"), target.string(),
                                       "SKRIPTA AŽURIRANJA.SQL (_SVI)"));

  EXPECT_EQ(ReadFile(target), "select 1");
  EXPECT_EQ(window_.statuses[window_.statuses.size() - 2],
            "skidam datoteku SKRIPTA AŽURIRANJA.SQL (_SVI): 0k/0k...");
}

TEST_F(HttpDownloadTest, UnwritableTargetRaisesAfterTheWindowIsCleared) {
  Serve("Update.zip", Bytes(5000));
  const auto target = local_.path() / "Nema" / "Update.zip";
  window_.SetLabel1("Skidam > Update.zip");

  try {
    client_.HttpDownloadFile(Url("Update.zip"), target.string(), "Update.zip");
    FAIL() << "no error raised";
  } catch (const UpdateError& error) {
    EXPECT_STREQ(error.what(), "Invalid filename");
  }
  EXPECT_EQ(window_.Label1(), "");
  EXPECT_EQ(clock_.slept_ms(), 1500u);
  EXPECT_TRUE(testing::ListFolder(local_.path()).empty());
}

// --- HTTPS --------------------------------------------------------------------------------

constexpr const char* kRefusedTitle = "Greška! Uzrok greške:";

// Endpoints on one folder: https with certificates of a private authority (for the address,
// expired, for another name, for another address), with the certificates of an administrator's
// authority (EC and RSA keys), and plain http.
class HttpsDownloadTest : public ::testing::Test {
 protected:
  enum class Server {
    kHttps,
    kExpired,
    kMisnamed,
    kMisaddressed,
    kAdministratorEc,
    kAdministratorRsa,
    kPlain,
    kPlainAsHttps,  // the plain endpoint named by an https URL
  };

  HttpsDownloadTest()
      : authority_(testing::MakeTestAuthority(folder_.path() / "pki")),
        administrator_ec_(testing::MakeAdministratorCa(folder_.path() / "ec", "ec")),
        administrator_rsa_(testing::MakeAdministratorCa(folder_.path() / "rsa", "rsa")),
        window_(clock_) {
    const fs::path& key = authority_.server_key;
    Start(Server::kHttps, {"--tls-cert", authority_.server.string(), "--tls-key", key.string()});
    Start(Server::kExpired, {"--tls-cert", authority_.expired.string(), "--tls-key", key.string()});
    Start(Server::kMisnamed, {"--tls-cert", authority_.misnamed.string(), "--tls-key",
                              authority_.misnamed_key.string()});
    Start(Server::kMisaddressed,
          {"--tls-cert", authority_.misaddressed.string(), "--tls-key", key.string()});
    Start(Server::kAdministratorEc, {"--tls-cert", administrator_ec_.server.string(), "--tls-key",
                                     administrator_ec_.server_key.string()});
    Start(Server::kAdministratorRsa, {"--tls-cert", administrator_rsa_.server.string(), "--tls-key",
                                      administrator_rsa_.server_key.string()});
    Start(Server::kPlain, {});
  }

  void Start(Server server, const std::vector<std::string>& tls) {
    std::vector<std::string> argv = {zepr::testing::SystemPython(),
                                     zepr::testing::SupportFile("http_endpoint.py"),
                                     "--root",
                                     (folder_.path() / "served").string(),
                                     "--log",
                                     LogPath().string(),
                                     "--control",
                                     ControlPath().string(),
                                     "--time-limit",
                                     "120"};
    argv.insert(argv.end(), tls.begin(), tls.end());
    endpoints_.emplace(server, std::make_unique<PeerProcess>(argv));
  }
  fs::path LogPath() const { return folder_.path() / "requests.log"; }
  fs::path ControlPath() const { return folder_.path() / "control.json"; }
  std::string Host(Server server) const {
    if (server == Server::kPlain) {
      return "http://127.0.0.1:" + std::to_string(endpoints_.at(server)->port());
    }
    const Server endpoint = server == Server::kPlainAsHttps ? Server::kPlain : server;
    return "https://127.0.0.1:" + std::to_string(endpoints_.at(endpoint)->port());
  }
  std::string Url(Server server, const std::string& name = "Update.zip") const {
    return Host(server) + "/download/_UPDATE/update.php?file=Klijent/APP/" + name;
  }
  fs::path Target() const { return local_.path() / "Update.zip"; }

  TempDir folder_;
  TempDir local_;
  testing::TestAuthority authority_;
  testing::AdministratorCa administrator_ec_;
  testing::AdministratorCa administrator_rsa_;
  std::map<Server, std::unique_ptr<PeerProcess>> endpoints_;
  VirtualClock clock_;
  FakeWindow window_;
};

TEST_F(HttpsDownloadTest, ServerIsTrustedOnlyAsConfigured) {
  const std::string body = Bytes(300'000);
  WriteFile(folder_.path() / "served" / "Klijent" / "APP" / "Update.zip", body);
  // Where the redirect leads: a client that followed it would get the file.
  WriteFile(folder_.path() / "served" / "Klijent" / "APP" / "Preko.zip", body);
  const std::string ca = authority_.ca.string();
  const std::string missing = (folder_.path() / "nema.pem").string();
  // Base64 that holds no certificate: a key under a certificate's label.
  const std::string relabelled = (folder_.path() / "kljuc-kao-ca.pem").string();
  std::string key = ReadFile(authority_.server_key);
  for (size_t at; (at = key.find("PRIVATE KEY")) != std::string::npos;) {
    key.replace(at, 11, "CERTIFICATE");
  }
  WriteFile(relabelled, key);
  const std::string untrusted = "certifikat poslužitelja nije pouzdan";
  const std::string expired = "certifikat poslužitelja je istekao ili još ne vrijedi";
  const std::string misnamed = "certifikat ne glasi na ime poslužitelja";
  struct Case {
    std::string what;
    Server server;
    std::string ca_file;
    std::string pin;
    std::string rule;     // control file entry for Update.zip
    std::string refusal;  // "" when the file arrives
  } cases[] = {
      {"system store alone", Server::kHttps, "", "", "", untrusted},
      {"private CA", Server::kHttps, ca, "", "", ""},
      {"private CA and its key pinned", Server::kHttps, ca, authority_.pin, "", ""},
      {"the key among other pins", Server::kHttps, ca,
       " " + authority_.other_pin + " ; " + authority_.pin + ";", "", ""},
      {"another key pinned", Server::kHttps, ca, authority_.other_pin, "",
       "ključ poslužitelja ne odgovara (PIN)"},
      {"a pin does not replace the CA", Server::kHttps, "", authority_.pin, "", untrusted},
      {"malformed pin", Server::kHttps, ca, "sha256//kratko", "", "PIN nije ispravan"},
      {"another authority", Server::kHttps, authority_.other_ca.string(), "", "", untrusted},
      {"expired certificate", Server::kExpired, ca, "", "", expired},
      {"certificate for another name", Server::kMisnamed, ca, "", "", misnamed},
      {"certificate for another address", Server::kMisaddressed, ca, "", "", misnamed},
      {"administrator's authority, EC keys", Server::kAdministratorEc,
       administrator_ec_.ca.string(), "", "", ""},
      {"administrator's authority, RSA keys", Server::kAdministratorRsa,
       administrator_rsa_.ca.string(), "", "", ""},
      {"administrator's server, another authority", Server::kAdministratorEc, ca, "", "",
       untrusted},
      {"administrator's server, system store alone", Server::kAdministratorRsa, "", "", "",
       untrusted},
      {"plain http server", Server::kPlainAsHttps, ca, "", "", "poslužitelj ne govori HTTPS"},
      {"redirect to http", Server::kHttps, ca, "",
       R"({"location": ")" + Url(Server::kPlain, "Preko.zip") + R"("})",
       "preusmjeravanje s https na http je odbijeno"},
      {"CA file missing", Server::kHttps, missing, "", "",
       "ne mogu pročitati CA certifikat " + missing},
      {"CA file without a certificate", Server::kHttps, authority_.server_key.string(), "", "",
       "CA datoteka " + authority_.server_key.string() + " ne sadrži certifikat"},
      {"CA file with a key labelled as a certificate", Server::kHttps, relabelled, "", "",
       "CA datoteka " + relabelled + " ne sadrži certifikat"},
      // Plain http is what it always was, whatever the https settings say.
      {"plain http", Server::kPlain, missing, "sha256//kratko", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(ControlPath(), c.rule.empty() ? "{}" : R"({"update.zip": )" + c.rule + "}");
    fs::remove(LogPath());
    WriteFile(Target(), "old archive");
    window_.dialogs.clear();
    SystemHttpClient client(window_, {.connect_timeout_ms = 5000,
                                      .stall_limit_s = 1,
                                      .pause_after_download = false,
                                      .ca_file = c.ca_file,
                                      .pinned_keys = c.pin});

    const bool delivered =
        client.HttpDownloadFile(Url(c.server), Target().string(), "Update.zip (_SVI)");

    EXPECT_THAT(testing::ListFolder(local_.path()), ElementsAre("Update.zip"));
    if (c.refusal.empty()) {
      EXPECT_TRUE(delivered);
      EXPECT_TRUE(window_.dialogs.empty());
      EXPECT_TRUE(ReadFile(Target()) == body);
      EXPECT_EQ(Lines(LogPath()).size(), 1u);
    } else {
      EXPECT_FALSE(delivered);
      ASSERT_EQ(window_.dialogs.size(), 1u);
      EXPECT_EQ(window_.dialogs[0].title, kRefusedTitle);
      EXPECT_EQ(window_.dialogs[0].text, c.refusal);
      EXPECT_EQ(ReadFile(Target()), "old archive");
      // The transfer never began: at most the request that was refused reached a server.
      EXPECT_LE(Lines(LogPath()).size(), 1u);
    }
  }
}

// The Windows program reads the key out of the certificate itself to check a pin: the bytes
// must be those that openssl hashes, and a damaged certificate gives none.
TEST(ServerKey, PinnedBytesAreTheKeyAsTheCertificateCarriesIt) {
  TempDir folder;
  const testing::TestAuthority authority = testing::MakeTestAuthority(folder.path());
  const auto certificates = transfer::PemCertificates(ReadFile(authority.server));
  ASSERT_EQ(certificates.size(), 2u);  // the server's, then the authority's
  const auto key = transfer::SubjectPublicKeyInfo(certificates[0]);
  ASSERT_TRUE(key.has_value());
  EXPECT_TRUE(*key == ReadFile(folder.path() / "server.spki"));
  for (size_t cut : {size_t{0}, size_t{1}, size_t{4}, size_t{200}, certificates[0].size() - 1}) {
    SCOPED_TRACE(cut);
    const std::string damaged = certificates[0].substr(0, cut);
    const auto none = transfer::SubjectPublicKeyInfo(damaged);
    EXPECT_FALSE(none.has_value());
  }
}

// The Windows program checks an address against the certificate's IP names itself where Wine
// compares DNS names only: the names as openssl writes them, each address in one spelling.
TEST(ServerName, AddressIsOneOfTheCertificatesIpNames) {
  TempDir folder;
  const auto made = testing::RunProgram(
      {testing::FindProgram("openssl"), "req", "-x509", "-newkey", "ec", "-pkeyopt",
       "ec_paramgen_curve:P-256", "-nodes", "-keyout", (folder.path() / "key.pem").string(), "-out",
       (folder.path() / "cert.pem").string(), "-days", "2", "-subj", "/CN=10.0.0.9", "-addext",
       "subjectAltName=DNS:10.0.0.8,IP:10.0.0.1,IP:2001:db8::7,DNS:localhost"});
  ASSERT_EQ(made.exit_code, 0) << made.output;
  const auto certificates = transfer::PemCertificates(ReadFile(folder.path() / "cert.pem"));
  ASSERT_EQ(certificates.size(), 1u);
  const std::string& certificate = certificates[0];
  struct Case {
    std::string host;
    bool named;
  } cases[] = {
      {"10.0.0.1", true},    {"[2001:db8::7]", true},
      {"2001:db8::7", true}, {"[2001:0db8:0:0:0:0:0:7]", true},
      {"10.0.0.2", false},   {"10.0.0.8", false},  // a DNS name that looks like an address
      {"10.0.0.9", false},                         // the common name
      {"[::1]", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    const auto address = transfer::AddressBytes(c.host);
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(transfer::CertificateNamesAddress(certificate, *address), c.named);
  }
  for (const char* other :
       {"localhost", "010.0.0.1", "10.1", "10.0.0.1.1", "10.0.0.256", "0x0a.0.0.1", "10.0.0.1 ",
        "[::1", "::1%1", "1::2::3", "1:2", ":1::", "[1:2:3:4:5:6:7:8:9]", "[12345::]"}) {
    SCOPED_TRACE(other);
    EXPECT_FALSE(transfer::AddressBytes(other).has_value());
  }
  // A damaged certificate names nothing.
  const auto ten = *transfer::AddressBytes("10.0.0.1");
  EXPECT_FALSE(
      transfer::CertificateNamesAddress(certificate.substr(0, certificate.size() - 1), ten));
  EXPECT_FALSE(transfer::IsCertificate(certificate + '\0'));
}

// The way from UPDATE.INI: a host written with https, a CA beside the executable or by its full
// path, a pin.
TEST_F(HttpsDownloadTest, HttpSettingsOfUpdateIniReachTheServer) {
  WriteFile(folder_.path() / "served" / "Klijent" / "APP" / "Update.zip", "zip");
  struct Case {
    std::string what;
    Server server;
    fs::path ca;
    bool beside;  // else named by its full path
    std::string pin;
  } cases[] = {
      {"test authority beside, pinned", Server::kHttps, authority_.ca, true, authority_.pin},
      {"administrator's EC authority by full path", Server::kAdministratorEc, administrator_ec_.ca,
       false, ""},
      {"administrator's RSA authority beside", Server::kAdministratorRsa, administrator_rsa_.ca,
       true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir program;
    fs::path ca = c.ca;
    if (c.beside) fs::copy_file(c.ca, ca = program.path() / "firma-ca.pem");
    // The scheme in any letter case.
    const std::string host = "HTTPS" + Host(c.server).substr(5);
    WriteFile(program.path() / "Update.ini",
              "[HTTP]\r\nHOST=" + host +
                  "\r\nCA=" + (c.beside ? std::string("firma-ca.pem") : ca.string()) +
                  (c.pin.empty() ? "" : "\r\nPIN=" + c.pin) + "\r\n");
    fs::remove(Target());

    const HttpSettings settings = ReadHttpSettings(program.folder());
    const std::string url = ComposeDownloadUrl(settings.host, "Klijent", "APP") + "Update.zip";
    EXPECT_EQ(url, Url(c.server));
    EXPECT_EQ(fs::path(settings.ca_file), ca);
    SystemHttpClient client(
        window_,
        {.pause_after_download = false, .ca_file = settings.ca_file, .pinned_keys = settings.pin});

    ASSERT_TRUE(client.HttpDownloadFile(url, Target().string(), "Update.zip"));
    EXPECT_EQ(ReadFile(Target()), "zip");
  }
}

}  // namespace
}  // namespace zepr
