#include "transfer/ftp_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "core/encoding.h"
#include "core/errors.h"
#include "ftp_cases.h"
#include "support/peer_process.h"
#include "support/sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using zepr::testing::PeerProcess;
using zepr::testing::ReadFile;
using zepr::testing::TempDir;
using zepr::testing::WriteFile;

constexpr const char* kUser = "korisnik";
constexpr const char* kPassword = "tajna";

// Real ticks, so the window is refreshed as in production, but a wall clock that only the
// test moves, so the statistics come out exact. A wait for the window's messages skips the
// ticks it would take, so the pauses between attempts cost no real time.
class TestClock : public Clock {
 public:
  uint32_t TickCount() override { return real_.TickCount() + skipped_; }
  void Sleep(uint32_t ms) override { now_ms_ += ms; }
  int64_t NowMs() override { return now_ms_; }
  void AdvanceNow(int64_t ms) { now_ms_ += ms; }
  void Skip(uint32_t ms) {
    skipped_ += ms;
    skipped_total_ += ms;
  }
  uint64_t skipped_total() const { return skipped_total_; }

 private:
  SystemClock real_;
  int64_t now_ms_ = 1'700'000'000'000;
  uint32_t skipped_ = 0;
  uint64_t skipped_total_ = 0;
};

class TestWindow : public MainWindow {
 public:
  struct Dialog {
    std::string title;
    std::string text;
  };
  explicit TestWindow(TestClock& clock) : MainWindow(clock), test_clock_(clock) {}

  void ProcessMessages() override {
    ++processed;
    if (on_messages) on_messages();
  }
  void WaitMessages(uint32_t ms) override { test_clock_.Skip(ms); }
  void OpenErrorLog(const std::string&) override {}
  bool IsHeadless() const override { return true; }

  std::vector<Dialog> dialogs;
  std::vector<std::string> statuses;
  int processed = 0;
  std::function<void()> on_messages;

 protected:
  void ShowDialog(const std::string& title, const std::string& text) override {
    dialogs.push_back({title, text});
  }
  void Changed(Element what) override {
    if (what == Element::kLabel1) statuses.push_back(Label1());
  }

 private:
  TestClock& test_clock_;
};

std::string Bytes(size_t size, unsigned seed = 1) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 251 + seed));
  return bytes;
}

class FtpSessionTest : public ::testing::Test {
 protected:
  FtpSessionTest() : window_(clock_), session_(window_) {}

  // Starts the server on the served folder; extra are fault options of the server.
  void StartServer(std::vector<std::string> extra = {}, const std::string& password = kPassword) {
    std::vector<std::string> argv = {zepr::testing::SystemPython(),
                                     zepr::testing::SupportFile("ftp_server.py"),
                                     "--root",
                                     served_.path().string(),
                                     "--user",
                                     kUser,
                                     "--password",
                                     password,
                                     "--log",
                                     LogPath().string(),
                                     "--time-limit",
                                     "100"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    server_.emplace(argv);
  }

  // Serves bytes under the customer's folder; name_bytes are the name as stored on disk.
  void Serve(const std::string& name_bytes, const std::string& bytes) {
    WriteFile(served_.path() / "KLIJENT" / "APP" / name_bytes, bytes);
  }

  FtpSettings Settings(bool passive = true) const {
    FtpSettings s;
    s.host = "127.0.0.1";
    s.port = server_->port();
    s.passive = passive;
    s.user = kUser;
    s.password = kPassword;
    s.remote_folder = "KLIJENT/APP/";
    return s;
  }

  fs::path LogPath() const { return log_dir_.path() / "commands.log"; }
  fs::path Local(const std::string& name) const { return local_.path() / name; }

  // The commands the server received with any of the verbs, in the order they came.
  std::vector<std::string> Commands(std::initializer_list<std::string> verbs) const {
    std::vector<std::string> lines;
    std::ifstream in(LogPath(), std::ios::binary);
    for (std::string line; std::getline(in, line);) {
      for (const auto& verb : verbs) {
        if (line.rfind(verb, 0) == 0) {
          lines.push_back(line);
          break;
        }
      }
    }
    return lines;
  }
  std::vector<std::string> Commands(const std::string& verb) const {
    return Commands(std::initializer_list<std::string>{verb});
  }
  // The offsets asked for; libcurl's own "REST 0" with a size query only probes the server.
  std::vector<std::string> Rests() const {
    auto rests = Commands("REST ");
    std::erase(rests, "REST 0");
    return rests;
  }

  TempDir served_;
  TempDir log_dir_;
  TempDir local_;
  std::optional<PeerProcess> server_;
  TestClock clock_;
  TestWindow window_;
  FtpSession session_;
};

TEST_F(FtpSessionTest, OneLoginServesEveryRetrievalInBothModes) {
  const std::string list = "[UPDATE]\r\n1=Update.zip\r\n";
  const std::string archive = Bytes(300'000);
  Serve("update.cfg", list);
  Serve("Update.zip", archive);
  Serve("Empty.zip", "");
  StartServer();
  for (bool passive : {true, false}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    fs::remove_all(local_.path() / "Update");
    fs::create_directories(local_.path() / "Update");

    ASSERT_TRUE(session_.Connect(Settings(passive)));
    EXPECT_TRUE(session_.IsConnected());
    session_.Retrieve("update.cfg", Local("Update/update.cfg"));
    EXPECT_EQ(session_.Size("Update.zip"), static_cast<int64_t>(archive.size()));
    session_.Retrieve("Update.zip", Local("Update/Update.zip"));
    EXPECT_EQ(window_.Progress(), 0);
    session_.Retrieve("Empty.zip", Local("Update/Empty.zip"));
    EXPECT_THAT(window_.Statistics(), ::testing::Each(IsEmpty()));
    session_.Close();
    EXPECT_FALSE(session_.IsConnected());

    EXPECT_EQ(ReadFile(Local("Update/update.cfg")), list);
    EXPECT_EQ(ReadFile(Local("Update/Update.zip")), archive);
    EXPECT_EQ(ReadFile(Local("Update/Empty.zip")), "");
    EXPECT_THAT(testing::ListFolder(local_.path() / "Update"),
                ElementsAre("Empty.zip", "Update.zip", "update.cfg"));
  }
  // One login and one folder change per session, whatever was fetched.
  EXPECT_EQ(Commands("USER ").size(), 2u);
  EXPECT_EQ(Commands("PASS ").size(), 2u);
  EXPECT_THAT(Commands("CWD "), ElementsAre("CWD KLIJENT/APP", "CWD KLIJENT/APP"));
  EXPECT_THAT(Commands("TYPE "), Contains("TYPE I"));
  // Only the explicit size query asks for a size; no retrieval does.
  EXPECT_THAT(Commands("SIZE "), ElementsAre("SIZE Update.zip", "SIZE Update.zip"));
  EXPECT_EQ(Commands("RETR ").size(), 6u);
  EXPECT_EQ(Commands("QUIT").size(), 2u);
  const size_t passive_data = Commands("EPSV").size() + Commands("PASV").size();
  const size_t active_data = Commands("EPRT ").size() + Commands("PORT ").size();
  EXPECT_GE(passive_data, 2u);
  EXPECT_GE(active_data, 2u);
}

TEST_F(FtpSessionTest, NamesAndLoginGoOutAsAnsiBytes) {
  const std::string password = "šđčćž ŠĐČĆŽ";
  // Names that carry URL syntax must reach the server unchanged, and ";type=a" must not turn
  // the transfer into text mode (which would rewrite the line ends).
  const std::vector<std::string> names = {"Šifre čćž.zip", "a b#c?d%41&e.zip", "x;type=a"};
  const std::string content = "line\nline\r\n" + Bytes(5000);
  for (const auto& name : names) {
    WriteFile(served_.path() / Utf8ToCp1250("ČAKOVEC") / "APP" / Utf8ToCp1250(name), content);
  }
  StartServer({}, password);
  FtpSettings settings = Settings();
  settings.password = password;
  settings.remote_folder = "ČAKOVEC/APP";
  ASSERT_TRUE(session_.Connect(settings)) << window_.dialogs.at(0).text;
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(session_.Size(name), static_cast<int64_t>(content.size()));
    session_.Retrieve(name, Local(name));
    EXPECT_EQ(ReadFile(Local(name)), content);
  }
  EXPECT_THAT(Commands("CWD "), ElementsAre("CWD " + Utf8ToCp1250("ČAKOVEC/APP")));
  EXPECT_THAT(Commands("RETR "), Contains("RETR " + Utf8ToCp1250(names[0])));
}

TEST_F(FtpSessionTest, FailedLoginShowsTheReasonAndLeavesNoSession) {
  StartServer();
  const int closed_port = [] {
    PeerProcess other({zepr::testing::SystemPython(), zepr::testing::SupportFile("ftp_server.py"),
                       "--root", "/nonexistent", "--user", "u", "--password", "p"});
    return other.port();
  }();
  for (const auto& c : testing::FailedLoginCases(kUser, kPassword, "onnect")) {
    SCOPED_TRACE(c.what);
    window_.dialogs.clear();
    FtpSettings settings = Settings();
    settings.user = c.user;
    settings.password = c.password;
    if (c.closed_port) settings.port = closed_port;
    EXPECT_FALSE(session_.Connect(settings));
    EXPECT_FALSE(session_.IsConnected());
    ASSERT_EQ(window_.dialogs.size(), 1u);
    EXPECT_EQ(window_.dialogs[0].title, "Greška! Uzrok greške:");
    EXPECT_THAT(window_.dialogs[0].text, HasSubstr(c.reason));
  }
  EXPECT_THAT(Commands("DELE"), IsEmpty());
  EXPECT_THAT(Commands("PASS "), ::testing::Not(Contains(HasSubstr("\r"))));
}

TEST_F(FtpSessionTest, MissingFolderRaisesTheServersReply) {
  Serve("Update.zip", "zip");
  StartServer();
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
  EXPECT_THROW(session_.ChangeDir("/NEMA"), UpdateError);
  session_.ChangeDir("/KLIJENT/APP");
  session_.Retrieve("Update.zip", Local("Update.zip"));
  EXPECT_EQ(ReadFile(Local("Update.zip")), "zip");
  EXPECT_EQ(Commands("USER ").size(), 1u);
}

TEST_F(FtpSessionTest, FailedRetrievalLeavesNothingBehindAndTheSessionGoesOn) {
  const std::string big = Bytes(1'000'000);
  Serve("Update.zip", big);
  Serve("Cut.zip", big);
  StartServer(testing::kFailedRetrievalServer);
  ASSERT_TRUE(session_.Connect(Settings()));
  WriteFile(Local("Existing.zip"), "old");

  for (const auto& c : testing::FailedRetrievalCases("transfer aborted")) {
    SCOPED_TRACE(c.name);
    try {
      session_.Retrieve(c.name, Local(c.local).string(), c.limit);
      ADD_FAILURE() << "no error raised";
    } catch (const UpdateError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.error));
    }
    EXPECT_THAT(testing::ListFolder(local_.path()), ElementsAre("Existing.zip"));
    EXPECT_THAT(window_.Statistics(), ::testing::Each(IsEmpty()));
  }
  EXPECT_EQ(ReadFile(Local("Existing.zip")), "old");
  EXPECT_THAT(Commands("DELE"), IsEmpty());

  session_.Retrieve("Update.zip", Local("Update.zip"));
  EXPECT_EQ(ReadFile(Local("Update.zip")), big);
}

// A transfer cut after some bytes is continued with REST, after 2, 4 and 8 s, only while the
// server shows the same SIZE and MDTM as before and each attempt gets further; the file that
// arrives is one version whole.
TEST_F(FtpSessionTest, CutRetrievalIsContinuedWithinTheRunNeverMixed) {
  const std::string body = Bytes(1'000'000);
  const std::string replaced = Bytes(1'100'000, 5);
  for (const auto& c : testing::CutRetrievalCases()) {
    SCOPED_TRACE(c.what);
    fs::remove_all(served_.path());
    fs::remove_all(local_.path());
    fs::create_directories(local_.path());
    Serve(c.name, body);
    Serve("Nova.zip", replaced);
    fs::remove(LogPath());
    StartServer(c.server);
    FtpSession session(window_);
    window_.statuses.clear();
    ASSERT_TRUE(session.Connect(Settings()));
    window_.SetLabel1("Download > (1/1) = " + c.name);
    const uint64_t skipped = clock_.skipped_total();
    const uint32_t ticks = clock_.TickCount();
    EXPECT_EQ(session.Size(c.name), 1'000'000);

    std::string error;
    try {
      session.Retrieve(c.name, Local(c.name).string());
    } catch (const UpdateError& e) {
      error = e.what();
    }

    if (!c.delivered) {
      EXPECT_NE(error, "");
      EXPECT_TRUE(testing::ListFolder(local_.path()).empty());
    } else {
      EXPECT_EQ(error, "");
      EXPECT_TRUE(ReadFile(Local(c.name)) == (c.replaced ? replaced : body));
      EXPECT_THAT(testing::ListFolder(local_.path()), ElementsAre(c.name));
    }
    EXPECT_EQ(Rests(), c.rests);
    EXPECT_GE(Commands("MDTM").size(), 1u);
    EXPECT_THAT(window_.statuses, Contains("Veza je prekinuta, nastavljam skidanje " + c.name +
                                           " za 2 s (pokušaj 2 od 4)"));
    // The run's own line is back once the pauses are over.
    EXPECT_EQ(window_.Label1(), "Download > (1/1) = " + c.name);
    // The pauses are counted in ticks, and real ones pass while they are skipped.
    EXPECT_GE(clock_.TickCount() - ticks, c.waited_ms);
    EXPECT_LT(clock_.skipped_total() - skipped, c.waited_ms + 1000);
  }
}

// A retrieval given up on keeps its bytes in the resume folder; the next session continues
// them with REST when SIZE and MDTM are those recorded.
TEST_F(FtpSessionTest, PartialFileIsContinuedByTheNextRun) {
  const std::string body = Bytes(1'000'000);
  Serve("Update.zip", body);
  StartServer({"--cut-at", "Update.zip:600000"});
  const fs::path resume = local_.path() / "ZEPRUpdateNastavak";
  {
    FtpSession first(window_);
    first.SetResumeFolder(resume.string());
    ASSERT_TRUE(first.Connect(Settings()));
    EXPECT_EQ(first.Size("Update.zip"), 1'000'000);
    EXPECT_THROW(first.Retrieve("Update.zip", Local("Update.zip").string()), UpdateError);
  }
  EXPECT_EQ(testing::ListFolder(resume).size(), 2u);
  EXPECT_FALSE(fs::exists(Local("Update.zip")));
  fs::remove(LogPath());
  // The same server as before, on its port: the bytes belong to its file.
  StartServer({"--port", std::to_string(server_->port())});
  FtpSession next(window_);
  next.SetResumeFolder(resume.string());
  ASSERT_TRUE(next.Connect(Settings()));
  EXPECT_EQ(next.Size("Update.zip"), 1'000'000);

  next.Retrieve("Update.zip", Local("Update.zip").string());

  EXPECT_TRUE(ReadFile(Local("Update.zip")) == body);
  EXPECT_EQ(Rests(), std::vector<std::string>{"REST 600000"});
  // Nothing waits for a later run: the folder is gone again.
  EXPECT_FALSE(fs::exists(resume));
}

TEST_F(FtpSessionTest, ServerThatRefusesSizeStillServesEveryFile) {
  const std::string list = "[UPDATE]\r\n1=Update.zip\r\n";
  const std::string archive = Bytes(300'000);
  Serve("update.cfg", list);
  Serve("Update.zip", archive);
  StartServer({"--refuse-size"});
  ASSERT_TRUE(session_.Connect(Settings()));

  session_.Retrieve("update.cfg", Local("update.cfg"));
  EXPECT_EQ(session_.Size("Update.zip"), -1);
  session_.Retrieve("Update.zip", Local("Update.zip"));
  try {
    session_.Retrieve("Nema.zip", Local("Nema.zip"));
    ADD_FAILURE() << "no error raised";
  } catch (const UpdateError& e) {
    EXPECT_STREQ(e.what(), "No such file or directory.");
  }

  EXPECT_EQ(ReadFile(Local("update.cfg")), list);
  EXPECT_EQ(ReadFile(Local("Update.zip")), archive);
  EXPECT_THAT(testing::ListFolder(local_.path()), ElementsAre("Update.zip", "update.cfg"));
  // The one SIZE is the explicit query; every RETR goes out without one of its own.
  EXPECT_THAT(Commands({"SIZE ", "RETR "}), ElementsAre("RETR update.cfg", "SIZE Update.zip",
                                                        "RETR Update.zip", "RETR Nema.zip"));
  EXPECT_EQ(Commands("USER ").size(), 1u);
}

TEST_F(FtpSessionTest, CloseDoesNotWaitForAServerThatIgnoresQuit) {
  Serve("Update.zip", "zip");
  StartServer({"--ignore-quit"});
  // Well below the server's own time limit, so a client that waits for the reply shows it.
  session_.SetStallLimitMs(30'000);
  ASSERT_TRUE(session_.Connect(Settings()));
  session_.Retrieve("Update.zip", Local("Update.zip"));

  const auto start = std::chrono::steady_clock::now();
  session_.Close();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_FALSE(session_.IsConnected());
  EXPECT_THAT(Commands("QUIT"), ElementsAre("QUIT"));
}

TEST_F(FtpSessionTest, StalledTransferFailsAfterTheStallLimit) {
  Serve("Update.zip", Bytes(1'000'000));
  StartServer({"--pause", "Update.zip:100000:60"});
  session_.SetStallLimitMs(2000);
  ASSERT_TRUE(session_.Connect(Settings()));
  EXPECT_THROW(session_.Retrieve("Update.zip", Local("Update.zip")), UpdateError);
  EXPECT_THAT(testing::ListFolder(local_.path()), IsEmpty());
  // The window stayed alive while the server was silent.
  EXPECT_GT(window_.processed, 5);
}

// The tests above shorten the stall limit; a session that nothing overrides gets these. A limit
// of 0 would mean none, and a dead server would hold an unattended run for good.
TEST_F(FtpSessionTest, LimitsWhenNothingOverridesThem) {
  EXPECT_EQ(FtpSession::kConnectTimeoutMs, 120'000);  // control and passive data connections
  EXPECT_EQ(session_.StallLimitMs(), 120'000);
}

TEST_F(FtpSessionTest, TransferDrivesTheStatistics) {
  constexpr int64_t kTwoMb = 2 * 1024 * 1024;
  Serve("Update.zip", Bytes(kTwoMb));
  // Half way the server goes quiet, which gives the test a fixed point to look at.
  StartServer({"--pause", "Update.zip:1048576:2"});
  ASSERT_TRUE(session_.Connect(Settings()));
  window_.SetProgressMax(session_.Size("Update.zip"));

  bool moved = false;
  std::optional<std::array<std::string, 4>> at_half;
  int64_t highest = 0;
  window_.on_messages = [&] {
    highest = std::max(highest, window_.Progress());
    if (window_.Progress() != kTwoMb / 2 || at_half) return;
    if (!moved) {
      clock_.AdvanceNow(4000);  // 1 MB took four seconds
      moved = true;
    } else {
      at_half = window_.Statistics();
    }
  };
  session_.Retrieve("Update.zip", Local("Update.zip"));

  ASSERT_TRUE(at_half.has_value());
  EXPECT_THAT(*at_half, ElementsAre("0:00:04", "256.00 Kb/s", "2,048.00 Kb", "1,024.00 Kb"));
  EXPECT_EQ(highest, kTwoMb);  // the final figures were shown
  EXPECT_EQ(window_.Progress(), 0);
  EXPECT_THAT(window_.Statistics(), ::testing::Each(IsEmpty()));
}

}  // namespace
}  // namespace zepr
