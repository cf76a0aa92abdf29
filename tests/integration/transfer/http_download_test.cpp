#include "transfer/http_download.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/errors.h"
#include "support/fake_window.h"
#include "support/peer_process.h"
#include "support/sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using zepr::testing::FakeWindow;
using zepr::testing::PeerProcess;
using zepr::testing::ReadFile;
using zepr::testing::TempDir;
using zepr::testing::WriteFile;

constexpr const char* kTitle = "Demo Aplikacija";
constexpr const char* kMessageBoxTitle = "ZEPR Nadogradnja aplikacije";

std::string Bytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
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
                   ControlPath().string(), "--time-limit", "120"}),
        window_(clock_),
        client_(window_, kTitle, {.connect_timeout_ms = 5000, .stall_limit_s = 1}) {}

  fs::path LogPath() const { return served_.path() / "requests.log"; }
  fs::path ControlPath() const { return served_.path() / "control.json"; }

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

TEST_F(HttpDownloadTest, DeliversFileWithFiguresAndBothAgentsWithoutCache) {
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
  ASSERT_EQ(log.size(), 2u);
  const std::string path = "/download/_UPDATE/update.php?file=Klijent/APP/UPDATE.ZIP";
  EXPECT_THAT(Fields(log[0]), ElementsAre("GET", path, kTitle, "no-cache", "no-cache"));
  EXPECT_THAT(Fields(log[1]), ElementsAre("GET", path, "ZEPRUpdate.exe", "no-cache", "no-cache"));
}

TEST_F(HttpDownloadTest, FinalFiguresRoundHalvesToEven) {
  struct Case {
    size_t size;
    bool announced;
    std::string figures;
  } cases[] = {
      {1500, true, "2k/2k..."},  {2500, true, "2k/2k..."}, {3500, true, "4k/4k..."},
      {2499, true, "2k/2k..."},  {2501, true, "3k/3k..."}, {0, true, "0k/0k..."},
      {2500, false, "2k/0k..."},
  };
  for (const auto& c : cases) {
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
  enum class Shown { kNothing, kCannotConnect, kDownloadError };
  struct Case {
    std::string what;
    std::string rule;  // control file entry for Update.zip
    Shown shown;
    bool old_file_kept;
    size_t requests;
  } cases[] = {
      {"missing file", "", Shown::kNothing, true, 1},
      {"401", R"({"status": 401})", Shown::kNothing, true, 1},
      {"500", R"({"status": 500})", Shown::kNothing, true, 1},
      {"check never answered", R"({"hang": 30})", Shown::kNothing, true, 1},
      {"transfer refused an answer", R"({"drop": 1, "after": 1})", Shown::kCannotConnect, true, 2},
      {"transfer answered 404", R"({"status": 404, "after": 1})", Shown::kDownloadError, false, 2},
      {"body cut short", R"({"cut": 100000, "after": 1})", Shown::kDownloadError, false, 2},
      {"body stalls", R"({"cut": 100000, "stall": 30, "after": 1})", Shown::kDownloadError, false,
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(served_.path() / "Klijent");
    fs::remove(LogPath());
    if (c.what != "missing file") Serve("Update.zip", Bytes(1'000'000));
    Rule(c.rule.empty() ? "{}" : R"({"update.zip": )" + c.rule + "}");
    WriteFile(Target(), "old archive");
    window_.dialogs.clear();
    window_.SetLabel1("Skidam > Update.zip");
    const auto started = std::chrono::steady_clock::now();

    EXPECT_FALSE(client_.HttpDownloadFile(Url("Update.zip"), Target().string(), "Update.zip"));

    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(Lines(LogPath()).size(), c.requests);
    if (c.old_file_kept) {
      EXPECT_THAT(testing::ListFolder(local_.path()), ElementsAre("Update.zip"));
      EXPECT_EQ(ReadFile(Target()), "old archive");
    } else {
      EXPECT_TRUE(testing::ListFolder(local_.path()).empty());
    }
    switch (c.shown) {
      case Shown::kNothing:
        EXPECT_TRUE(window_.dialogs.empty());
        EXPECT_EQ(window_.Label1(), "Skidam > Update.zip");
        break;
      case Shown::kCannotConnect:
        ASSERT_EQ(window_.dialogs.size(), 1u);
        EXPECT_EQ(window_.dialogs[0].title, "Greška!");
        EXPECT_EQ(window_.dialogs[0].text, "ne mogu se spojiti");
        EXPECT_EQ(window_.Label1(), "");
        break;
      case Shown::kDownloadError:
        ASSERT_EQ(window_.dialogs.size(), 1u);
        EXPECT_EQ(window_.dialogs[0].title, kMessageBoxTitle);
        EXPECT_EQ(window_.dialogs[0].text, "greška u downloadu");
        EXPECT_EQ(window_.Label1(), "");
        break;
    }
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

}  // namespace
}  // namespace zepr
