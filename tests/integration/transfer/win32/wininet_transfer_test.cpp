// The WinINet back ends against the same local peers as the libcurl ones. The peers run on
// the Linux side (windows_transfer_test starts them and this program under Wine) and are
// named by the environment; without it every case skips.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

#include "config/settings.h"
#include "core/encoding.h"
#include "core/errors.h"
#include "core/path_text.h"
#include "integration/transfer/ftp_cases.h"
#include "integration/transfer/http_cases.h"
#include "platform/win32/wide.h"
#include "support/fake_window.h"
#include "support/sandbox.h"
#include "transfer/ftp_session.h"
#include "transfer/http_download.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using zepr::testing::FakeWindow;
using zepr::testing::ReadFile;
using zepr::testing::TempDir;
using zepr::testing::WriteFile;

// Read wide: the narrow environment is in the ANSI code page, which may lack the letters.
std::optional<std::string> Env(const std::string& name) {
  const wchar_t* value = _wgetenv(platform::Utf8ToWide(name).c_str());
  if (value == nullptr || *value == L'\0') return std::nullopt;
  return platform::WideToUtf8(value);
}

std::string Bytes(size_t size, unsigned seed = 1) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 251 + seed));
  return bytes;
}

// A peer's log as it grows: only the lines written since the case began count.
class LogTail {
 public:
  LogTail() = default;
  explicit LogTail(fs::path path) : path_(std::move(path)), start_(ReadFile(path_).size()) {}
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path_).substr(start_));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // The lines that start with verb.
  std::vector<std::string> Starting(const std::string& verb) const {
    std::vector<std::string> lines;
    for (const auto& line : Lines()) {
      if (line.rfind(verb, 0) == 0) lines.push_back(line);
    }
    return lines;
  }

 private:
  fs::path path_;
  size_t start_ = 0;
};

void EmptyFolder(const fs::path& folder) {
  for (const auto& entry : fs::directory_iterator(folder)) fs::remove_all(entry.path());
}

// Real ticks, so the window is refreshed as in production; a wall clock only the test moves.
// A wait for the window's messages skips the ticks it would take, so the pauses between
// attempts cost no real time.
class TestClock : public Clock {
 public:
  uint32_t TickCount() override { return real_.TickCount() + skipped_; }
  void Sleep(uint32_t ms) override { now_ms_ += ms; }
  int64_t NowMs() override { return now_ms_; }
  void Skip(uint32_t ms) { skipped_ += ms; }
  uint32_t skipped() const { return skipped_; }

 private:
  SystemClock real_;
  int64_t now_ms_ = 1'700'000'000'000;
  uint32_t skipped_ = 0;
};

class TestWindow : public MainWindow {
 public:
  explicit TestWindow(TestClock& clock) : MainWindow(clock), test_clock_(clock) {}
  void ProcessMessages() override {
    if (on_messages) on_messages();
  }
  void WaitMessages(uint32_t ms) override { test_clock_.Skip(ms); }
  void OpenErrorLog(const std::string&) override {}
  bool IsHeadless() const override { return true; }

  std::vector<std::pair<std::string, std::string>> dialogs;
  std::vector<std::string> statuses;
  std::function<void()> on_messages;

 protected:
  void ShowDialog(const std::string& title, const std::string& text) override {
    dialogs.emplace_back(title, text);
  }
  void Changed(Element what) override {
    if (what == Element::kLabel1) statuses.push_back(Label1());
  }

 private:
  TestClock& test_clock_;
};

// --- HTTP ---------------------------------------------------------------------------------

class WininetHttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto port = Env("ZEPR_HTTP_PORT");
    const auto root = Env("ZEPR_HTTP_ROOT");
    if (!port || !root) GTEST_SKIP() << "no HTTP endpoint: run through windows_transfer_test";
    port_ = *port;
    root_ = PathFromUtf8(*root);
    EmptyFolder(root_ / "served");
    WriteFile(ControlPath(), "{}");
    log_ = LogTail(root_ / "requests.log");
    sent_before_ = Sent();
  }

  fs::path ControlPath() const { return root_ / "control.json"; }
  // Body bytes the endpoint has sent so far.
  uint64_t Sent() const {
    const std::string text = ReadFile(root_ / "sent");
    return text.empty() ? 0 : std::stoull(text);
  }
  void Serve(const std::string& name, const std::string& bytes) {
    WriteFile(root_ / "served" / "Klijent" / "APP" / PathFromUtf8(name), bytes);
  }
  void Rule(const std::string& name, const std::string& json) {
    WriteFile(ControlPath(), "{\"" + name + "\": " + json + "}");
  }
  std::string Url(const std::string& name) const {
    return "http://127.0.0.1:" + port_ + "/download/_UPDATE/update.php?file=Klijent/APP/" + name;
  }
  fs::path Target(const std::string& name = "Update.zip") const {
    return local_.path() / PathFromUtf8(name);
  }

  std::string port_;
  fs::path root_;
  LogTail log_;
  uint64_t sent_before_ = 0;
  TempDir local_;
  VirtualClock clock_;
  FakeWindow window_{clock_};
  SystemHttpClient client_{window_, {.connect_timeout_ms = 5000, .stall_limit_s = 1}};
};

// One request per download: the archive crosses the line once.
TEST_F(WininetHttpTest, DeliversFileInOneRequestWithFiguresAndNoCache) {
  const std::string body = Bytes(3'000'000);
  Serve("Update.zip", body);
  window_.SetProgress(42);

  ASSERT_TRUE(
      client_.HttpDownloadFile(Url("UPDATE.ZIP"), Utf8FromPath(Target()), "Update.zip (_SVI)"));

  EXPECT_TRUE(ReadFile(Target()) == body);
  EXPECT_EQ(testing::ListFolder(local_.path()), std::vector<std::string>{"Update.zip"});
  EXPECT_EQ(window_.Progress(), 100);
  EXPECT_EQ(window_.Label1(), "");
  EXPECT_TRUE(window_.dialogs.empty());
  EXPECT_EQ(clock_.slept_ms(), 1500u);
  // The virtual clock stands still: the throttle lets through the first and the final figures.
  ASSERT_EQ(window_.statuses.size(), 3u);
  EXPECT_EQ(window_.statuses[0].rfind("skidam datoteku Update.zip (_SVI): ", 0), 0u);
  EXPECT_EQ(window_.statuses[1], "skidam datoteku Update.zip (_SVI): 3000k/3000k...");

  const auto log = log_.Lines();
  ASSERT_EQ(log.size(), 1u);
  const std::string path = "GET\t/download/_UPDATE/update.php?file=Klijent/APP/UPDATE.ZIP\t";
  EXPECT_EQ(log[0], path + "ZEPRUpdate.exe\tno-cache\tno-cache\t-\t-");
  EXPECT_EQ(Sent() - sent_before_, body.size());

  // The same file again comes from the server, not from a cache.
  fs::remove(Target());
  ASSERT_TRUE(client_.HttpDownloadFile(Url("UPDATE.ZIP"), Utf8FromPath(Target()), "Update.zip"));
  EXPECT_EQ(log_.Lines().size(), 2u);
}

TEST_F(WininetHttpTest, FinalFiguresRoundHalvesToEven) {
  for (const auto& c : testing::FinalFiguresCases()) {
    SCOPED_TRACE(std::to_string(c.size) + (c.announced ? "" : " without length"));
    const std::string name = "F" + std::to_string(c.size) + (c.announced ? ".zip" : "n.zip");
    Serve(name, Bytes(c.size));
    if (!c.announced) Rule(name, R"({"nolength": 1})");
    window_.statuses.clear();

    ASSERT_TRUE(client_.HttpDownloadFile(Url(name), Utf8FromPath(Target(name)), "Skripta"));

    EXPECT_EQ(fs::file_size(Target(name)), c.size);
    ASSERT_GE(window_.statuses.size(), 2u);
    EXPECT_EQ(window_.statuses[window_.statuses.size() - 2],
              "skidam datoteku Skripta: " + c.figures);
    EXPECT_EQ(window_.Progress(), 100);
  }
}

TEST_F(WininetHttpTest, FailuresLeaveNoPartialFile) {
  for (const auto& c : testing::FailureCases()) {
    SCOPED_TRACE(c.what);
    EmptyFolder(root_ / "served");
    if (c.what != "missing file") Serve("Update.zip", Bytes(1'000'000));
    WriteFile(ControlPath(), c.rule.empty() ? "{}" : R"({"update.zip": )" + c.rule + "}");
    WriteFile(Target(), "old archive");
    window_.dialogs.clear();
    window_.SetLabel1("Skidam > Update.zip");
    const LogTail log(root_ / "requests.log");
    const auto started = std::chrono::steady_clock::now();

    EXPECT_FALSE(
        client_.HttpDownloadFile(Url("Update.zip"), Utf8FromPath(Target()), "Update.zip", c.limit));

    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    // Known difference: Wine's read loses the block it was filling when the stall limit ends
    // it, so a stall within the first block brought the file no further and is not asked again.
    EXPECT_EQ(log.Lines().size(), c.what == "body stalls" ? 1 : c.requests);
    if (c.old_file_kept) {
      EXPECT_EQ(testing::ListFolder(local_.path()), std::vector<std::string>{"Update.zip"});
      EXPECT_EQ(ReadFile(Target()), "old archive");
    } else {
      EXPECT_TRUE(testing::ListFolder(local_.path()).empty());
    }
    testing::ExpectShown(c.shown, window_);
  }
  // A file as long as its limit is not longer.
  WriteFile(ControlPath(), "{}");
  EXPECT_TRUE(
      client_.HttpDownloadFile(Url("Update.zip"), Utf8FromPath(Target()), "Update.zip", 1'000'000));
}

TEST_F(WininetHttpTest, ReplacedFileKeepsItsAttributes) {
  Serve("Update.zip", "new");
  WriteFile(Target(), "old");
  const std::wstring target = Target().wstring();
  ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));

  ASSERT_TRUE(client_.HttpDownloadFile(Url("Update.zip"), Utf8FromPath(Target()), "Update.zip"));

  EXPECT_EQ(ReadFile(Target()), "new");
  EXPECT_NE(GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(testing::ListFolder(local_.path()), std::vector<std::string>{"Update.zip"});
}

TEST_F(WininetHttpTest, NamesWithBlanksAndCroatianLettersReachTheEndpoint) {
  Serve("Skripta ažuriranja.sql", "select 1");
  const auto target = Target("Skripta ažuriranja.sql");

  ASSERT_TRUE(client_.HttpDownloadFile(Url("SKRIPTA AŽURIRANJA.SQL"), Utf8FromPath(target),
                                       "SKRIPTA AŽURIRANJA.SQL (_SVI)"));

  EXPECT_EQ(ReadFile(target), "select 1");
  EXPECT_EQ(window_.statuses[window_.statuses.size() - 2],
            "skidam datoteku SKRIPTA AŽURIRANJA.SQL (_SVI): 0k/0k...");
}

TEST_F(WininetHttpTest, UnwritableTargetRaisesAfterTheWindowIsCleared) {
  Serve("Update.zip", Bytes(5000));
  window_.SetLabel1("Skidam > Update.zip");
  try {
    client_.HttpDownloadFile(Url("Update.zip"), Utf8FromPath(local_.path() / "Nema" / "Update.zip"),
                             "Update.zip");
    FAIL() << "no error raised";
  } catch (const UpdateError& error) {
    EXPECT_STREQ(error.what(), "Invalid filename");
  }
  EXPECT_EQ(window_.Label1(), "");
  EXPECT_TRUE(testing::ListFolder(local_.path()).empty());
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  return fields;
}

// A transfer cut or stalled after some bytes is asked for again (Range in the request headers,
// the status and Content-Range of the answer checked) until the file is whole, never mixed.
TEST_F(WininetHttpTest, CutTransferIsContinuedWithinTheRunNeverMixed) {
  const std::string body = Bytes(1'000'000);
  const std::string replaced = Bytes(1'200'000, 7);
  for (const auto& c : testing::CutCases()) {
    SCOPED_TRACE(c.what);
    EmptyFolder(root_ / "served");
    EmptyFolder(local_.path());
    Serve("Update.zip", body);
    Serve("Nova.zip", replaced);
    Rule("update.zip", c.rule);
    const LogTail log(root_ / "requests.log");
    const uint64_t sent_before = Sent();
    window_.dialogs.clear();
    window_.statuses.clear();

    EXPECT_EQ(client_.HttpDownloadFile(Url("Update.zip"), Utf8FromPath(Target()), "Update.zip"),
              c.delivered);

    if (c.delivered) {
      EXPECT_TRUE(ReadFile(Target()) == (c.replaced ? replaced : body));
      EXPECT_TRUE(window_.dialogs.empty());
    } else {
      ASSERT_EQ(window_.dialogs.size(), 1u);
      EXPECT_EQ(window_.dialogs[0].text, "greška u downloadu");
      EXPECT_TRUE(testing::ListFolder(local_.path()).empty());
    }
    // What a stalled read had gathered is asked for again: at most a block more.
    EXPECT_GE(Sent() - sent_before, c.sent);
    EXPECT_LE(Sent() - sent_before, c.sent + (c.what.starts_with("stalls") ? 256 * 1024 : 0));
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), c.requests);
    EXPECT_EQ(Fields(lines[0])[5], "-");
    for (size_t i = 1; i < lines.size(); ++i) {
      const auto fields = Fields(lines[i]);
      ASSERT_EQ(fields.size(), 7u);
      EXPECT_EQ(fields[5].rfind("bytes=", 0), 0u);
      if (c.if_range == "etag") {
        EXPECT_EQ(fields[6].front(), '"') << fields[6];
      } else if (c.if_range == "date") {
        EXPECT_TRUE(fields[6].ends_with(" GMT")) << fields[6];
      } else {
        EXPECT_EQ(fields[6], "-");
      }
    }
    std::vector<std::string> retry_lines;
    for (const auto& status : window_.statuses) {
      if (status.starts_with("Veza je prekinuta")) retry_lines.push_back(status);
    }
    EXPECT_EQ(retry_lines, testing::PauseLines(c.waits));
  }
}

// A download given up on keeps its bytes in the resume folder; the next run continues them
// while the server has the same version.
TEST_F(WininetHttpTest, PartialFileIsContinuedByTheNextRun) {
  const std::string body = Bytes(1'000'000);
  const std::string replaced = Bytes(1'000'000, 9);
  const fs::path resume = local_.path() / "ZEPRUpdateNastavak";
  for (const auto& c : testing::ResumeCases()) {
    SCOPED_TRACE(c.what);
    EmptyFolder(root_ / "served");
    EmptyFolder(local_.path());
    Serve("Update.zip", body);
    Serve("Druga.zip", body);
    Serve("Nova.zip", replaced);
    Rule("update.zip",
         c.validated ? R"({"cut": 600000})" : R"({"cut": 600000, "noetag": 1, "nodate": 1})");
    const HttpOptions options{.connect_timeout_ms = 5000,
                              .stall_limit_s = 1,
                              .pause_after_download = false,
                              .resume_folder = Utf8FromPath(resume)};
    {
      SystemHttpClient first(window_, options);
      EXPECT_FALSE(first.HttpDownloadFile(Url("Update.zip"), Utf8FromPath(Target()), "Update.zip"));
    }
    // Bytes that nobody could tell the version of are not kept.
    EXPECT_EQ(fs::exists(resume) ? testing::ListFolder(resume).size() : 0u, c.validated ? 2u : 0u);
    if (c.age_days > 0) {
      for (const auto& entry : fs::directory_iterator(resume)) {
        fs::last_write_time(entry.path(),
                            fs::file_time_type::clock::now() - std::chrono::hours(24 * c.age_days));
      }
    }
    WriteFile(ControlPath(), c.second_rule);
    const LogTail log(root_ / "requests.log");
    const uint64_t sent_before = Sent();
    SystemHttpClient next(window_, options);

    ASSERT_TRUE(next.HttpDownloadFile(Url(c.url.empty() ? "Update.zip" : c.url),
                                      Utf8FromPath(Target()), "Update.zip"));

    EXPECT_TRUE(ReadFile(Target()) == (c.replaced ? replaced : body));
    EXPECT_GE(Sent() - sent_before, c.sent);
    EXPECT_LE(Sent() - sent_before, c.sent + c.unread);
    std::vector<std::string> ranges;
    for (const auto& line : log.Lines()) ranges.push_back(Fields(line)[5]);
    EXPECT_EQ(ranges, c.ranges);
    // Nothing waits for a later run: the folder is gone again.
    EXPECT_FALSE(fs::exists(resume));
  }
}

// WinINet blocks in the connect, the wait for the headers and every read for as long as the
// limits allow; the window must go on running meanwhile.
TEST_F(WininetHttpTest, WindowRunsWhileTheServerIsSilent) {
  Serve("Update.zip", Bytes(1'000'000));
  struct Case {
    std::string what;
    std::string rule;
  } cases[] = {
      {"waits for the headers", R"({"hang": 30})"},
      {"body stalls", R"({"cut": 100000, "stall": 30})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Rule("update.zip", c.rule);
    TestClock clock;
    TestWindow window(clock);
    int pumped = 0;
    window.on_messages = [&] { ++pumped; };
    SystemHttpClient client(
        window, {.connect_timeout_ms = 5000, .stall_limit_s = 1, .pause_after_download = false});

    EXPECT_FALSE(client.HttpDownloadFile(Url("Update.zip"), Utf8FromPath(Target()), "Update.zip"));

    // A whole stall limit passed in the wait, several refresh intervals.
    EXPECT_GE(pumped, 3);
  }
}

// The same folder over https, with certificates of a private authority (for the address,
// expired, for another name, for another address) and of an administrator's (EC and RSA keys),
// and over plain http; the Linux side made the certificates with openssl.
class WininetHttpsTest : public WininetHttpTest {
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

  void SetUp() override {
    WininetHttpTest::SetUp();
    if (IsSkipped()) return;
    const std::pair<Server, const char*> ports[] = {
        {Server::kHttps, "ZEPR_HTTPS_PORT"},
        {Server::kExpired, "ZEPR_HTTPS_EXPIRED_PORT"},
        {Server::kMisnamed, "ZEPR_HTTPS_MISNAMED_PORT"},
        {Server::kMisaddressed, "ZEPR_HTTPS_MISADDRESSED_PORT"},
        {Server::kAdministratorEc, "ZEPR_HTTPS_EC_PORT"},
        {Server::kAdministratorRsa, "ZEPR_HTTPS_RSA_PORT"},
    };
    for (const auto& [server, name] : ports) {
      const auto port = Env(name);
      if (!port) GTEST_SKIP() << "no HTTPS endpoint: run through windows_transfer_test";
      ports_[server] = *port;
    }
    ports_[Server::kPlain] = ports_[Server::kPlainAsHttps] = port_;
    for (const char* name :
         {"ZEPR_HTTPS_CA", "ZEPR_HTTPS_OTHER_CA", "ZEPR_HTTPS_EC_CA", "ZEPR_HTTPS_RSA_CA",
          "ZEPR_HTTPS_KEY", "ZEPR_HTTPS_PIN", "ZEPR_HTTPS_OTHER_PIN"}) {
      const auto value = Env(name);
      if (!value) GTEST_SKIP() << "no HTTPS endpoint: run through windows_transfer_test";
      env_[name] = *value;
    }
  }

  std::string Host(Server server) const {
    return (server == Server::kPlain ? "http://127.0.0.1:" : "https://127.0.0.1:") +
           ports_.at(server);
  }
  std::string ServerUrl(Server server, const std::string& name = "Update.zip") const {
    return Host(server) + "/download/_UPDATE/update.php?file=Klijent/APP/" + name;
  }
  const std::string& Setting(const char* name) const { return env_.at(name); }

  std::map<Server, std::string> ports_;
  std::map<std::string, std::string> env_;
};

TEST_F(WininetHttpsTest, ServerIsTrustedOnlyAsConfigured) {
  const std::string body = Bytes(300'000);
  Serve("Update.zip", body);
  // Where the redirect leads: a client that followed it would get the file.
  Serve("Preko.zip", body);
  const std::string ca = Setting("ZEPR_HTTPS_CA");
  const std::string key = Setting("ZEPR_HTTPS_KEY");
  const std::string pin = Setting("ZEPR_HTTPS_PIN");
  const std::string other_pin = Setting("ZEPR_HTTPS_OTHER_PIN");
  const std::string missing = Utf8FromPath(local_.path() / "nema.pem");
  // Base64 that holds no certificate: a key under a certificate's label.
  const TempDir files;
  const std::string relabelled = Utf8FromPath(files.path() / "kljuc-kao-ca.pem");
  std::string key_text = ReadFile(PathFromUtf8(key));
  for (size_t at; (at = key_text.find("PRIVATE KEY")) != std::string::npos;) {
    key_text.replace(at, 11, "CERTIFICATE");
  }
  WriteFile(PathFromUtf8(relabelled), key_text);
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
      {"private CA and its key pinned", Server::kHttps, ca, pin, "", ""},
      {"the key among other pins", Server::kHttps, ca, " " + other_pin + " ; " + pin + ";", "", ""},
      {"another key pinned", Server::kHttps, ca, other_pin, "",
       "ključ poslužitelja ne odgovara (PIN)"},
      {"a pin does not replace the CA", Server::kHttps, "", pin, "", untrusted},
      {"malformed pin", Server::kHttps, ca, "sha256//kratko", "", "PIN nije ispravan"},
      {"another authority", Server::kHttps, Setting("ZEPR_HTTPS_OTHER_CA"), "", "", untrusted},
      {"expired certificate", Server::kExpired, ca, "", "", expired},
      {"certificate for another name", Server::kMisnamed, ca, "", "", misnamed},
      {"certificate for another address", Server::kMisaddressed, ca, "", "", misnamed},
      {"administrator's authority, EC keys", Server::kAdministratorEc, Setting("ZEPR_HTTPS_EC_CA"),
       "", "", ""},
      {"administrator's authority, RSA keys", Server::kAdministratorRsa,
       Setting("ZEPR_HTTPS_RSA_CA"), "", "", ""},
      {"administrator's server, another authority", Server::kAdministratorEc, ca, "", "",
       untrusted},
      {"administrator's server, system store alone", Server::kAdministratorRsa, "", "", "",
       untrusted},
      {"plain http server", Server::kPlainAsHttps, ca, "", "", "poslužitelj ne govori HTTPS"},
      {"redirect to http", Server::kHttps, ca, "",
       R"({"location": ")" + ServerUrl(Server::kPlain, "Preko.zip") + R"("})",
       "preusmjeravanje s https na http je odbijeno"},
      {"CA file missing", Server::kHttps, missing, "", "",
       "ne mogu pročitati CA certifikat " + missing},
      {"CA file without a certificate", Server::kHttps, key, "", "",
       "CA datoteka " + key + " ne sadrži certifikat"},
      {"CA file with a key labelled as a certificate", Server::kHttps, relabelled, "", "",
       "CA datoteka " + relabelled + " ne sadrži certifikat"},
      // Plain http is what it always was, whatever the https settings say.
      {"plain http", Server::kPlain, missing, "sha256//kratko", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(ControlPath(), c.rule.empty() ? "{}" : R"({"update.zip": )" + c.rule + "}");
    const LogTail log(root_ / "requests.log");
    WriteFile(Target(), "old archive");
    window_.dialogs.clear();
    SystemHttpClient client(window_, {.connect_timeout_ms = 5000,
                                      .stall_limit_s = 1,
                                      .pause_after_download = false,
                                      .ca_file = c.ca_file,
                                      .pinned_keys = c.pin});

    const bool delivered =
        client.HttpDownloadFile(ServerUrl(c.server), Utf8FromPath(Target()), "Update.zip (_SVI)");

    EXPECT_EQ(testing::ListFolder(local_.path()), std::vector<std::string>{"Update.zip"});
    if (c.refusal.empty()) {
      EXPECT_TRUE(delivered);
      EXPECT_TRUE(window_.dialogs.empty());
      EXPECT_TRUE(ReadFile(Target()) == body);
      EXPECT_EQ(log.Lines().size(), 1u);
    } else {
      EXPECT_FALSE(delivered);
      ASSERT_EQ(window_.dialogs.size(), 1u);
      EXPECT_EQ(window_.dialogs[0].title, "Greška! Uzrok greške:");
      EXPECT_EQ(window_.dialogs[0].text, c.refusal);
      EXPECT_EQ(ReadFile(Target()), "old archive");
    }
  }
}

// The way from UPDATE.INI: a host written with https, a CA beside the executable or by its full
// path, a pin.
TEST_F(WininetHttpsTest, HttpSettingsOfUpdateIniReachTheServer) {
  Serve("Update.zip", "zip");
  struct Case {
    std::string what;
    Server server;
    std::string ca;
    bool beside;  // else named by its full path
    std::string pin;
  } cases[] = {
      {"test authority beside, pinned", Server::kHttps, Setting("ZEPR_HTTPS_CA"), true,
       Setting("ZEPR_HTTPS_PIN")},
      {"administrator's EC authority beside", Server::kAdministratorEc, Setting("ZEPR_HTTPS_EC_CA"),
       true, ""},
      {"administrator's RSA authority by full path", Server::kAdministratorRsa,
       Setting("ZEPR_HTTPS_RSA_CA"), false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir program;
    fs::path ca = PathFromUtf8(c.ca);
    if (c.beside) {
      WriteFile(program.path() / "firma-ca.pem", ReadFile(ca));
      ca = program.path() / "firma-ca.pem";
    }
    // The scheme in any letter case.
    const std::string host = "HTTPS" + Host(c.server).substr(5);
    WriteFile(program.path() / "UPDATE.INI",
              "[HTTP]\r\nHOST=" + host + "\r\nCA=" + (c.beside ? "firma-ca.pem" : c.ca) +
                  (c.pin.empty() ? "" : "\r\nPIN=" + c.pin) + "\r\n");
    fs::remove(Target());

    const HttpSettings settings = ReadHttpSettings(program.folder());
    EXPECT_EQ(settings.host, host);
    EXPECT_EQ(PathFromUtf8(settings.ca_file), ca);
    SystemHttpClient client(
        window_,
        {.pause_after_download = false, .ca_file = settings.ca_file, .pinned_keys = settings.pin});

    ASSERT_TRUE(client.HttpDownloadFile(ServerUrl(c.server), Utf8FromPath(Target()), "Update.zip"));
    EXPECT_EQ(ReadFile(Target()), "zip");
  }
}

// Not a test: the Linux-side benchmark runs this case alone to time the download.
TEST(WininetBench, DownloadsTheBenchmarkFile) {
  const auto url = Env("ZEPR_BENCH_URL");
  if (!url) GTEST_SKIP() << "run by bench/transfer/wininet_download_bench";
  const int runs = std::max(1, std::atoi(Env("ZEPR_BENCH_RUNS").value_or("3").c_str()));
  TempDir local;
  const std::string target = Utf8FromPath(local.path() / "Update.zip");
  VirtualClock virtual_clock;
  FakeWindow window(virtual_clock);
  SystemHttpClient client(window, {.pause_after_download = false});
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    fs::remove(target);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.HttpDownloadFile(*url, target, "Update.zip"));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  std::printf("BENCH seconds %.3f bytes %llu\n", best,
              static_cast<unsigned long long>(fs::file_size(target)));
}

// --- FTP ----------------------------------------------------------------------------------

struct FtpPeer {
  std::string port;
  fs::path root;
  fs::path log;
  std::string user;
  std::string password;
};

// prefix: ZEPR_FTP (ASCII login) or ZEPR_FTP_CP1250 (a Croatian password).
std::optional<FtpPeer> FtpPeerFromEnv(const std::string& prefix) {
  const auto port = Env(prefix + "_PORT");
  const auto root = Env(prefix + "_ROOT");
  const auto user = Env(prefix + "_USER");
  const auto password = Env(prefix + "_PASSWORD");
  if (!port || !root || !user || !password) return std::nullopt;
  const fs::path folder = PathFromUtf8(*root);
  return FtpPeer{*port, folder / "served", folder / "commands.log", *user, *password};
}

class WininetFtpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto peer = FtpPeerFromEnv("ZEPR_FTP");
    if (!peer) GTEST_SKIP() << "no FTP server: run through windows_transfer_test";
    peer_ = *peer;
    EmptyFolder(peer_.root);
    log_ = LogTail(peer_.log);
  }

  void Serve(const std::string& name, const std::string& bytes) {
    WriteFile(peer_.root / "KLIJENT" / "APP" / name, bytes);
  }
  FtpSettings Settings(bool passive = true) const {
    FtpSettings s;
    s.host = "127.0.0.1";
    s.port = std::stoi(peer_.port);
    s.passive = passive;
    s.user = peer_.user;
    s.password = peer_.password;
    s.remote_folder = "KLIJENT/APP/";
    return s;
  }
  std::string Local(const std::string& name) const { return Utf8FromPath(local_.path() / name); }

  FtpPeer peer_;
  LogTail log_;
  TempDir local_;
  TestClock clock_;
  TestWindow window_{clock_};
  FtpSession session_{window_};
};

TEST_F(WininetFtpTest, OneLoginServesEveryRetrievalInBothModes) {
  const std::string list = "[UPDATE]\r\n1=Update.zip\r\n";
  const std::string archive = Bytes(2 * 1024 * 1024);
  Serve("update.cfg", list);
  Serve("Update.zip", archive);
  for (bool passive : {true, false}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    fs::remove_all(local_.path() / "Update");
    fs::create_directories(local_.path() / "Update");
    std::array<std::string, 4> last_figures;
    int64_t highest = 0;
    window_.on_messages = [&] {
      highest = std::max(highest, window_.Progress());
      if (!window_.Statistics()[3].empty()) last_figures = window_.Statistics();
    };

    ASSERT_TRUE(session_.Connect(Settings(passive)));
    EXPECT_TRUE(session_.IsConnected());
    session_.Retrieve("update.cfg", Local("Update/update.cfg"));
    window_.SetProgressMax(session_.Size("Update.zip"));
    EXPECT_EQ(window_.ProgressMax(), static_cast<int64_t>(archive.size()));
    session_.Retrieve("Update.zip", Local("Update/Update.zip"));
    // The final figures were shown, then the block was emptied and the bar reset.
    EXPECT_EQ(highest, static_cast<int64_t>(archive.size()));
    EXPECT_EQ(last_figures[2], "2,048.00 Kb");
    EXPECT_EQ(last_figures[3], "2,048.00 Kb");
    EXPECT_EQ(window_.Progress(), 0);
    EXPECT_EQ(window_.Statistics(), (std::array<std::string, 4>{}));
    session_.Close();
    EXPECT_FALSE(session_.IsConnected());

    EXPECT_EQ(ReadFile(Local("Update/update.cfg")), list);
    EXPECT_TRUE(ReadFile(Local("Update/Update.zip")) == archive);
    EXPECT_EQ(testing::ListFolder(local_.path() / "Update"),
              (std::vector<std::string>{"Update.zip", "update.cfg"}));
  }
  EXPECT_EQ(log_.Starting("USER ").size(), 2u);
  EXPECT_EQ(log_.Starting("PASS ").size(), 2u);
  EXPECT_EQ(log_.Starting("CWD "),
            (std::vector<std::string>{"CWD KLIJENT/APP", "CWD KLIJENT/APP"}));
  EXPECT_EQ(log_.Starting("SIZE "),
            (std::vector<std::string>{"SIZE Update.zip", "SIZE Update.zip"}));
  EXPECT_EQ(log_.Starting("RETR ").size(), 4u);
  EXPECT_EQ(log_.Starting("EPSV").size() + log_.Starting("PASV").size(), 2u);
  EXPECT_EQ(log_.Starting("EPRT ").size() + log_.Starting("PORT ").size(), 2u);
}

TEST_F(WininetFtpTest, MissingFolderRaisesTheServersReply) {
  Serve("Update.zip", "zip");
  FtpSettings settings = Settings();
  settings.remote_folder = "NEMA/APP/";
  try {
    session_.Connect(settings);
    FAIL() << "no error raised";
  } catch (const UpdateError& e) {
    EXPECT_STREQ(e.what(), "No such file or directory.");
  }
  EXPECT_TRUE(window_.dialogs.empty());
  // The login stands, so the run can still close it or change elsewhere.
  EXPECT_TRUE(session_.IsConnected());
  session_.ChangeDir("/KLIJENT/APP");
  session_.Retrieve("Update.zip", Local("Update.zip"));
  EXPECT_EQ(ReadFile(Local("Update.zip")), "zip");
  EXPECT_EQ(log_.Starting("USER ").size(), 1u);
}

TEST_F(WininetFtpTest, FailedLoginShowsTheServersReply) {
  const auto closed_port = Env("ZEPR_FTP_CLOSED_PORT");
  if (!closed_port) GTEST_SKIP() << "no FTP server: run through windows_transfer_test";
  for (const auto& c : testing::FailedLoginCases(peer_.user, peer_.password, "")) {
    SCOPED_TRACE(c.what);
    window_.dialogs.clear();
    FtpSettings settings = Settings();
    settings.user = c.user;
    settings.password = c.password;
    if (c.closed_port) settings.port = std::stoi(*closed_port);
    EXPECT_FALSE(session_.Connect(settings));
    EXPECT_FALSE(session_.IsConnected());
    ASSERT_EQ(window_.dialogs.size(), 1u);
    EXPECT_EQ(window_.dialogs[0].first, "Greška! Uzrok greške:");
    EXPECT_NE(window_.dialogs[0].second.find(c.reason), std::string::npos)
        << window_.dialogs[0].second;
  }
  EXPECT_TRUE(log_.Starting("DELE").empty());
  for (const auto& line : log_.Starting("PASS ")) EXPECT_EQ(line.find('\r'), std::string::npos);
}

TEST_F(WininetFtpTest, FailedRetrievalLeavesNothingBehindAndTheSessionGoesOn) {
  const std::string big = Bytes(1'000'000);
  Serve("Update.zip", big);
  Serve("Cut.zip", big);  // the server breaks this transfer after 200000 bytes
  ASSERT_TRUE(session_.Connect(Settings()));
  WriteFile(Local("Existing.zip"), "old");
  // WinINet gives no words of its own for a transfer the server broke off.
  for (const auto& c : testing::FailedRetrievalCases("")) {
    SCOPED_TRACE(c.name);
    try {
      session_.Retrieve(c.name, Local(c.local), c.limit);
      ADD_FAILURE() << "no error raised";
    } catch (const UpdateError& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
    EXPECT_EQ(testing::ListFolder(local_.path()), std::vector<std::string>{"Existing.zip"});
    EXPECT_EQ(window_.Statistics(), (std::array<std::string, 4>{}));
  }
  EXPECT_EQ(ReadFile(Local("Existing.zip")), "old");
  EXPECT_TRUE(log_.Starting("DELE").empty());
  session_.Retrieve("Update.zip", Local("Update.zip"));
  EXPECT_TRUE(ReadFile(Local("Update.zip")) == big);
}

// A retrieval cut after some bytes is continued with REST before the retrieval, while SIZE and
// MDTM stay what they were; the file that arrives is one version whole.
TEST(WininetFtpResumeTest, CutRetrievalIsContinuedWithinTheRunNeverMixed) {
  const auto peer = FtpPeerFromEnv("ZEPR_FTP_RESUME");
  if (!peer) GTEST_SKIP() << "no FTP server: run through windows_transfer_test";
  EmptyFolder(peer->root);
  const std::string body = Bytes(1'000'000);
  const std::string replaced = Bytes(1'100'000, 5);
  for (const auto& c : testing::CutRetrievalCases()) {
    WriteFile(peer->root / "KLIJENT" / "APP" / c.name, body);
  }
  WriteFile(peer->root / "KLIJENT" / "APP" / "Nova.zip", replaced);
  for (const auto& c : testing::CutRetrievalCases()) {
    SCOPED_TRACE(c.what);
    const LogTail log(peer->log);
    TempDir local;
    TestClock clock;
    TestWindow window(clock);
    FtpSession session(window);
    session.SetStallLimitMs(2000);
    ASSERT_TRUE(session.Connect(
        {"127.0.0.1", std::stoi(peer->port), true, peer->user, peer->password, "KLIJENT/APP"}));
    window.SetLabel1("Download > (1/1) = " + c.name);
    const uint32_t skipped = clock.skipped();
    const uint32_t ticks = clock.TickCount();
    EXPECT_EQ(session.Size(c.name), 1'000'000);
    const std::string target = Utf8FromPath(local.path() / c.name);

    std::string error;
    try {
      session.Retrieve(c.name, target);
    } catch (const UpdateError& e) {
      error = e.what();
    }

    if (!c.delivered) {
      EXPECT_NE(error, "");
      EXPECT_TRUE(testing::ListFolder(local.path()).empty());
    } else {
      EXPECT_EQ(error, "");
      EXPECT_TRUE(ReadFile(target) == (c.replaced ? replaced : body));
      EXPECT_EQ(testing::ListFolder(local.path()), std::vector<std::string>{c.name});
    }
    EXPECT_EQ(log.Starting("REST "), c.rests);
    EXPECT_FALSE(log.Starting("MDTM ").empty());
    EXPECT_NE(
        std::find(window.statuses.begin(), window.statuses.end(),
                  "Veza je prekinuta, nastavljam skidanje " + c.name + " za 2 s (pokušaj 2 od 4)"),
        window.statuses.end());
    EXPECT_EQ(window.Label1(), "Download > (1/1) = " + c.name);
    // The pauses are counted in ticks, and real ones pass while they are skipped.
    EXPECT_GE(clock.TickCount() - ticks, c.waited_ms);
    EXPECT_LT(clock.skipped() - skipped, c.waited_ms + 1000);
  }
}

// WinINet blocks in the login, every wait for a reply and every read, and Wine's FTP ignores
// the time limits altogether: the window must go on running, and the silence must end with
// the stall limit.
TEST(WininetFtpSilentTest, WindowRunsWhileTheServerIsSilentAndTheStallLimitEndsIt) {
  const auto peer = FtpPeerFromEnv("ZEPR_FTP_MUTE");
  const auto silent_port = Env("ZEPR_FTP_SILENT_PORT");
  if (!peer || !silent_port) GTEST_SKIP() << "no FTP server: run through windows_transfer_test";
  EmptyFolder(peer->root);
  // The server answers nothing that names TIHO or Tiho.zip, and goes silent for a minute
  // after the first 100000 bytes of Stall.zip.
  WriteFile(peer->root / "KLIJENT" / "APP" / "Tiho.zip", "zip");
  WriteFile(peer->root / "KLIJENT" / "APP" / "Stall.zip", Bytes(1'000'000));
  fs::create_directories(peer->root / "KLIJENT" / "TIHO");

  enum class Step { kConnect, kChangeDir, kSize, kRetrieve };
  struct Case {
    std::string what;
    bool greets;
    std::string folder;
    Step silent;
    std::string file;
    std::string figures_meanwhile;
  } cases[] = {
      {"no greeting", false, "KLIJENT/APP", Step::kConnect, "", ""},
      {"folder change unanswered", true, "KLIJENT/TIHO", Step::kChangeDir, "", ""},
      {"size unanswered", true, "KLIJENT/APP", Step::kSize, "Tiho.zip", ""},
      {"retrieval unanswered", true, "KLIJENT/APP", Step::kRetrieve, "Tiho.zip", ""},
      // Last: the whole server is silent for a minute after it.
      {"transfer stalls", true, "KLIJENT/APP", Step::kRetrieve, "Stall.zip", "97.66 Kb"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir local;
    TestClock clock;
    TestWindow window(clock);
    int pumped = 0;
    std::string figures;
    window.on_messages = [&] {
      ++pumped;
      if (!window.Statistics()[3].empty()) figures = window.Statistics()[3];
    };
    FtpSession session(window);
    session.SetStallLimitMs(1000);
    const FtpSettings settings{"127.0.0.1",    std::stoi(c.greets ? peer->port : *silent_port),
                               true,           peer->user,
                               peer->password, c.folder};
    const std::string target = Utf8FromPath(local.path() / "Update.zip");
    const auto started = std::chrono::steady_clock::now();

    std::string error;
    try {
      if (session.Connect(settings)) {
        if (c.silent == Step::kSize) {
          EXPECT_EQ(session.Size(c.file), -1);
        }
        if (c.silent == Step::kRetrieve) session.Retrieve(c.file, target);
      }
    } catch (const UpdateError& e) {
      error = e.what();
    }

    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    // A whole stall limit passed in the wait, several refresh intervals.
    EXPECT_GE(pumped, 3);
    // The connection is no use after a reply or transfer left half done.
    EXPECT_FALSE(session.IsConnected());
    switch (c.silent) {
      case Step::kConnect:
        ASSERT_EQ(window.dialogs.size(), 1u);
        EXPECT_EQ(window.dialogs[0].first, "Greška! Uzrok greške:");
        EXPECT_EQ(window.dialogs[0].second, "The operation timed out.");
        break;
      case Step::kSize:
        EXPECT_TRUE(window.dialogs.empty());
        EXPECT_EQ(error, "");
        break;
      case Step::kChangeDir:
      case Step::kRetrieve:
        EXPECT_TRUE(window.dialogs.empty());
        EXPECT_EQ(error, "The operation timed out.");
        break;
    }
    EXPECT_EQ(figures, c.figures_meanwhile);
    EXPECT_EQ(window.Statistics(), (std::array<std::string, 4>{}));
    EXPECT_TRUE(testing::ListFolder(local.path()).empty());
  }
}

// WinINet sends FTP names and the login in the ANSI code page; the servers of the system have
// always received CP1250, which a Windows set up for Croatian uses.
TEST(WininetFtpAnsiTest, NamesAndLoginGoOutAsCp1250Bytes) {
  const auto peer = FtpPeerFromEnv("ZEPR_FTP_CP1250");
  if (!peer) GTEST_SKIP() << "no FTP server: run through windows_transfer_test";
  if (GetACP() != 1250) GTEST_SKIP() << "the ANSI code page here is " << GetACP() << ", not 1250";
  // Served by the Linux side under its CP1250 name.
  const std::string name = "Šifre čćž.zip";
  const LogTail log(peer->log);
  TempDir local;
  TestClock clock;
  TestWindow window(clock);
  FtpSession session(window);
  FtpSettings settings{"127.0.0.1", std::stoi(peer->port), true,
                       peer->user,  peer->password,        "ČAKOVEC/APP"};
  ASSERT_TRUE(session.Connect(settings)) << window.dialogs.at(0).second;
  EXPECT_EQ(session.Size(name), 3);
  session.Retrieve(name, Utf8FromPath(local.path() / PathFromUtf8(name)));

  EXPECT_EQ(ReadFile(local.path() / PathFromUtf8(name)), "zip");
  EXPECT_EQ(log.Starting("CWD "), std::vector<std::string>{"CWD " + Utf8ToCp1250("ČAKOVEC/APP")});
  EXPECT_EQ(log.Starting("RETR "), std::vector<std::string>{"RETR " + Utf8ToCp1250(name)});
}

}  // namespace
}  // namespace zepr
