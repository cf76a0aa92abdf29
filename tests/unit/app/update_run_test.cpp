#include "app/update_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "app/form_create.h"
#include "core/errors.h"
#include "core/path_text.h"
#include "support/fake_window.h"
#include "support/sandbox.h"
#include "trust/trust.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using testing::ReadFile;
using testing::WriteFile;
constexpr auto kSteps = StepList::kJvInstallLabel1;

struct FakePrograms : Processes {
  std::set<std::string> running;
  std::vector<Strings> started;
  std::set<std::string> missing;  // programs that cannot be started
  platform::StartResult StartProgram(const Strings& argv, bool, bool) override {
    started.push_back(argv);
    if (missing.count(argv.at(0))) return {false, 0, "No such file or directory"};
    return {true, 0, {}};
  }
  bool IsProgramRunning(const std::string& name) override { return running.count(name) > 0; }
  void StopProgram(const std::string&) override {}
};

// Serves URLs from a map; every request is recorded. A file beyond the limit asked for is
// refused, as the real transfers refuse it.
struct FakeHttp : HttpClient {
  std::map<std::string, std::string> files;
  Strings requested;
  bool HttpDownloadFile(const std::string& url, const std::string& path, const std::string& display,
                        uint64_t size_limit = kAnyLength) override {
    requested.push_back(url + " as " + display);
    auto it = files.find(url);
    if (it == files.end() || it->second.size() > size_limit) return false;
    WriteFile(path, it->second);
    return true;
  }
};

struct FakeInstallation : Installation {
  Strings calls;
  std::set<std::string> damaged;  // archive file names that do not unpack
  InstallResult result;           // of every install
  UnzipResult Unzip(const std::string& archive, const std::string& folder) override {
    const std::string name = fs::path(archive).filename().string();
    calls.push_back("unzip " + name + " " + folder);
    if (damaged.count(name) == 0) return {};
    return {UnzipResult::Outcome::kMissingOrDamaged, {}, {}};
  }
  InstallResult InstallDato(const Strings& names) override {
    std::string call = "install";
    for (const auto& n : names) call += " " + n;
    calls.push_back(call);
    return result;
  }
};

struct FakeDatabase : DatabaseWork {
  Strings calls;
  bool gate_demands_newer = false;
  bool tool_reachable = true;
  void RunSqlScripts() override { calls.push_back("scripts"); }
  bool VersionGateDemandsNewer() override {
    calls.push_back("gate");
    return gate_demands_newer;
  }
  bool OpenScriptInTool() override {
    calls.push_back("tool");
    return tool_reachable;
  }
  void UpdateDatabaseGroup() override { calls.push_back("group"); }
};

// An FTP server held in memory.
struct FakeFtp : FtpClient {
  bool connects = true;
  bool connected = false;
  std::string fail_retrieve;
  std::map<std::string, std::string> files;
  Strings retrieved;
  bool closed = false;
  bool ConnectServer() override { return connected = connects; }
  bool IsConnected() override { return connected; }
  std::string list_name = "lista.ini";
  std::string ListFileName() override { return list_name; }
  int64_t Size(const std::string& name) override {
    return files.count(name) ? static_cast<int64_t>(files[name].size()) : -1;
  }
  void Retrieve(const std::string& name, const std::string& local,
                uint64_t size_limit = kAnyLength) override {
    if (name == fail_retrieve || !files.count(name)) throw UpdateError("550 " + name + ": missing");
    if (files[name].size() > size_limit) throw UpdateError("File is larger than the limit.");
    if (fs::exists(local)) throw UpdateError("Destination file already exists.");
    retrieved.push_back(name);
    WriteFile(local, files[name]);
  }
  void Close() override {
    closed = true;
    connected = false;
  }
};

struct FakeShare : ShareConnector {
  Strings connected;
  std::function<void()> on_connect;
  void ConnectShare(const std::string& folder) override {
    connected.push_back(folder);
    if (on_connect) on_connect();
  }
};

// With keys, a file passes when its NAME.minisig lies beside it and its name is not refused.
struct FakeSignatures : Signatures {
  bool required = false;
  std::string key_error;
  std::map<std::string, std::string> refused;  // published name -> reason
  Strings checked;                             // published names
  Strings recorded;                            // file names
  bool Required() override { return required || !key_error.empty(); }
  std::string KeyError() override { return key_error; }
  std::string Refusal(const std::string& path, const std::string& name) override {
    checked.push_back(name);
    if (!fs::exists(PathFromUtf8(path + ".minisig"))) return "nema potpisa";
    const auto it = refused.find(name);
    return it == refused.end() ? "" : it->second;
  }
  void RecordInstalled(const std::string& path) override {
    recorded.push_back(fs::path(path).filename().string());
  }
};

constexpr const char* kSite = "http://h/download/_UPDATE/update.php?file=KLIJENT/SEC/";
constexpr const char* kCommon = "http://h/download/_UPDATE/update.php?file=_SVI/SEC/";

// The application folder, a share, the window and the fakes of one run.
struct RunWorld {
  testing::TempDir app;
  testing::TempDir share_dir;
  VirtualClock clock;
  std::unique_ptr<testing::FakeWindow> window_ = std::make_unique<testing::FakeWindow>(clock);
  testing::FakeWindow& window() { return *window_; }
  const testing::FakeWindow& window() const { return *window_; }
  // A new window and new fakes' records, for a second run in one test.
  void Reset() {
    window_ = std::make_unique<testing::FakeWindow>(clock);
    programs.started.clear();
    http.requested.clear();
    installation.calls.clear();
    database.calls.clear();
    ftp.retrieved.clear();
    signatures.checked.clear();
    signatures.recorded.clear();
  }
  RunParams run;
  FakePrograms programs;
  FakeHttp http;
  FakeInstallation installation;
  FakeDatabase database;
  FakeFtp ftp;
  FakeShare share;
  FakeSignatures signatures;

  std::string share_folder() const { return share_dir.folder(); }
  std::string exe(const std::string& name) const { return app.folder() + name; }

  std::string host = "h";  // [HTTP] HOST
  void Start(Strings params) {
    run = RunParams{};
    run.ExeFolder = app.folder();
    FormCreate(params, host, run, window());
    UpdateRun(run, window(), {programs, http, installation, database, ftp, share, signatures})
        .Timer1Timer();
  }
  Strings Lines() const {
    Strings out;
    for (const auto& l : window().Lines(kSteps)) {
      out.push_back(std::to_string(l.image) + (l.bold ? "B" : ""));
    }
    return out;
  }
};

struct RunFixture : ::testing::Test, RunWorld {};

TEST_F(RunFixture, UndefinedTypesDoNothingAndType7IsTheDatabaseGroup) {
  Start({"T", "SEC", "App", "KLIJENT", "9"});
  EXPECT_FALSE(window().EndRequested());
  EXPECT_TRUE(programs.started.empty() && http.requested.empty() && database.calls.empty());
  Reset();
  Start({"T", "SEC", "App", "KLIJENT", "7", "/s", "c"});
  EXPECT_EQ(database.calls, Strings{"group"});
}

TEST_F(RunFixture, InternetRunInstallsRunsScriptsAndStartsTheApplication) {
  http.files[std::string(kSite) + "UPDATE.ZIP"] = "main";
  http.files[std::string(kSite) + "UpdateSpec.ZIP"] = "special";
  WriteFile(app.path() / "Update" / "old.txt", "left from an earlier run");
  Start({"T", "SEC", "App", "KLIJENT", "3", "s,u,p,d"});
  EXPECT_FALSE(fs::exists(app.path() / "Update" / "old.txt"));
  EXPECT_EQ(ReadFile(app.path() / "Update" / "Update.zip"), "main");
  EXPECT_EQ(installation.calls,
            (Strings{"unzip Update.zip " + app.folder() + "Update/Update/", "install Update.zip",
                     "unzip UpdateSpec.zip " + app.folder() + "Update/UpdateSpec/",
                     "install UpdateSpec.zip"}));
  EXPECT_EQ(database.calls, Strings{"scripts"});
  EXPECT_TRUE(window().CompletionVisible());
  EXPECT_EQ(programs.started, (std::vector<Strings>{{exe("App.exe")}}));
  EXPECT_TRUE(window().EndRequested());
  EXPECT_EQ(Lines(), (Strings{"1", "1", "1", "1"}));
  EXPECT_TRUE(window().dialogs.empty());
  EXPECT_EQ(run.Outcome, ExitStatus::kCompleted);
}

TEST_F(RunFixture, InternetRunFallsBackToTheCommonFolderButAsksSpecialFromTheClient) {
  http.files[std::string(kCommon) + "UPDATE.ZIP"] = "main";
  programs.running = {"App.exe"};
  Start({"T", "SEC", "App", "KLIJENT", "3"});
  EXPECT_EQ(http.requested, (Strings{std::string(kSite) + "UPDATE.ZIP as Update.zip",
                                     std::string(kCommon) + "UPDATE.ZIP as Update.zip (_SVI)",
                                     std::string(kSite) + "UpdateSpec.ZIP as UpdateSpec.zip"}));
  EXPECT_TRUE(programs.started.empty());  // already running
  EXPECT_TRUE(window().EndRequested());
}

TEST_F(RunFixture, InternetRunWhereNothingServesReportsAndEndsOrStaysInManualMode) {
  for (bool manual : {false, true}) {
    Reset();
    if (manual) window().Image1Click();
    Start({"T", "SEC", "App", "KLIJENT", "3"});
    EXPECT_EQ(http.requested.size(), 2u);  // no special-archive request
    ASSERT_EQ(window().dialogs.size(), 1u);
    EXPECT_EQ(window().dialogs[0].title, "Greška!");
    EXPECT_EQ(window().dialogs[0].text, "Neuspješno skidanje ZIP datoteka sa internet lokacije: " +
                                            std::string(kSite) + "UPDATE.ZIP");
    EXPECT_EQ(window().UrlVisible(), manual);
    EXPECT_EQ(window().EndRequested(), !manual);
    EXPECT_EQ(run.Outcome, ExitStatus::kDownloadFailed);
  }
  EXPECT_EQ(window().Url(), std::string(kSite) + "UPDATE.ZIP");
  EXPECT_EQ(Lines()[0], "1");  // type 3 marks no step as failed
}

// A download host with a user and a password: the requests carry them, the window's texts
// (dialogs, status lines, the failed address) name the URLs without them.
TEST_F(RunFixture, UrlsAreShownWithoutTheirUserInfo) {
  host = "korisnik:tajna@h";
  const std::string real = "http://korisnik:tajna@h/download/_UPDATE/update.php?file=";
  const std::string shown = "http://***@h/download/_UPDATE/update.php?file=";
  const auto texts = [&] {
    std::string all = window().Url();
    for (const auto& dialog : window().dialogs) all += "\n" + dialog.text;
    for (const auto& status : window().statuses) all += "\n" + status;
    return all;
  };
  window().Image1Click();
  Start({"T", "SEC", "App", "KLIJENT", "3"});
  ASSERT_EQ(window().dialogs.size(), 1u);
  EXPECT_EQ(window().dialogs[0].text, "Neuspješno skidanje ZIP datoteka sa internet lokacije: " +
                                          shown + "KLIJENT/SEC/UPDATE.ZIP");
  EXPECT_EQ(window().Url(), shown + "KLIJENT/SEC/UPDATE.ZIP");
  EXPECT_EQ(http.requested.at(0), real + "KLIJENT/SEC/UPDATE.ZIP as Update.zip");

  for (const char* type : {"5", "6", "4"}) {
    Reset();
    if (std::string(type) == "4") {
      http.files[real + "KLIJENT/SEC/UPDATE.ZIP"] = "main";
      http.files[real + "KLIJENT/SEC/skripta.sql"] = "select 1";
    }
    Start({"T", "SEC", "App", "KLIJENT", type, share_folder(), "c", "skripta.sql", "SU"});
    const std::string all = texts();
    EXPECT_NE(all.find(shown + "KLIJENT/SEC/"), std::string::npos) << type << all;
    EXPECT_EQ(all.find("korisnik"), std::string::npos) << type << all;
    EXPECT_EQ(all.find("tajna"), std::string::npos) << type << all;
  }
}

TEST_F(RunFixture, MissingSiteUrlLeavesTheWindowOpen) {
  for (const char* type : {"3", "4", "5", "6"}) {
    Reset();
    Start({"T", "SEC", "App", "", type, "/s"});
    ASSERT_EQ(window().dialogs.size(), 1u) << type;
    EXPECT_EQ(window().dialogs[0].text, "Krivi parametri za lokaciju na internetu!");
    EXPECT_FALSE(window().EndRequested());
    EXPECT_EQ(run.Outcome, ExitStatus::kFailed);
  }
}

TEST_F(RunFixture, ShareRunCopiesInstallsAndStartsTheApplicationWithItsArguments) {
  WriteFile(share_dir.path() / "Update.zip", "main");
  Start({"T", "SEC", "App", "KLIJENT", "2", share_folder(), "s,u,p,d", "/a,b c,"});
  EXPECT_TRUE(share.connected.empty());      // readable without logging on
  EXPECT_EQ(installation.calls.size(), 2u);  // no special archive on the share
  EXPECT_EQ(database.calls, Strings{"gate"});
  EXPECT_EQ(programs.started, (std::vector<Strings>{{exe("App.exe"), "/a", "b", "c"}}));
  EXPECT_TRUE(window().EndRequested());

  // The application reads its line as a Windows program: quotes keep blanks (and commas).
  Reset();
  Start({"T", "SEC", "App", "KLIJENT", "2", share_folder(), "s,u,p,d",
         R"(/baza:"C:\Moji,podaci",-u)"});
  EXPECT_EQ(programs.started,
            (std::vector<Strings>{{exe("App.exe"), R"(/baza:C:\Moji podaci)", "-u"}}));
}

TEST_F(RunFixture, ShareRunConnectsTheShareOnceWhenTheFirstCopyFindsNothing) {
  share.on_connect = [&] { WriteFile(share_dir.path() / "Update.zip", "main"); };
  Start({"T", "SEC", "App", "KLIJENT", "2", share_folder()});
  EXPECT_EQ(share.connected, Strings{share_dir.path().string()});
  EXPECT_EQ(installation.calls.size(), 2u);
  EXPECT_TRUE(database.calls.empty());  // no connection parameters: no gate
}

TEST_F(RunFixture, UnreachableShareIsShownForFourSecondsAndTheRunEnds) {
  for (const char* client : {"KLIJENT", "_SVI"}) {
    Reset();
    const uint64_t before = clock.slept_ms();
    Start({"T", "SEC", "App", client, "2", "/nowhere/share"});
    EXPECT_EQ(window().Label1(), "Neuspješno kopiranje sa share foldera: \r/nowhere/share/");
    EXPECT_EQ(clock.slept_ms() - before, 4000u);
    EXPECT_TRUE(window().EndRequested());
  }
}

TEST_F(RunFixture, StagingTakesTheScriptFromTheCommonFolderWhenTheClientHasNone) {
  http.files[std::string(kSite) + "UPDATE.ZIP"] = "main";
  http.files[std::string(kCommon) + "skripta.sql"] = "select 1";
  WriteFile(share_dir.path() / "UpdateSpec.zip", "stale");
  Start({"T", "SEC", "App", "KLIJENT", "4", share_folder(), "s,u,p,d", "skripta.sql", "SU"});
  EXPECT_EQ(ReadFile(share_dir.path() / "Update.zip"), "main");
  EXPECT_FALSE(fs::exists(share_dir.path() / "UpdateSpec.zip"));  // old one deleted first
  EXPECT_TRUE(database.calls.empty());                            // "SU": tool not opened
  EXPECT_FALSE(fs::exists(app.path() / "skripta.sql"));           // CheckBox2 deletes it
  EXPECT_EQ(window().statuses.back(),
            "Skinuo sam datoteku \r" + std::string(kCommon) + "skripta.sql");
  EXPECT_EQ(Lines(), (Strings{"1", "1", "1"}));
}

TEST_F(RunFixture, StagingStopsWithTheWindowOpenWhenScriptOrDatabaseFail) {
  http.files[std::string(kSite) + "UPDATE.ZIP"] = "main";
  Start({"T", "SEC", "App", "KLIJENT", "4", share_folder(), "c", "skripta.sql"});
  EXPECT_EQ(Lines(), (Strings{"1", "2", "-1"}));
  EXPECT_FALSE(window().EndRequested());
  EXPECT_EQ(run.Outcome, ExitStatus::kDownloadFailed);
  Reset();

  http.files[std::string(kSite) + "skripta.sql"] = "select 1";
  database.tool_reachable = false;
  Start({"T", "SEC", "App", "KLIJENT", "4", share_folder(), "c", "skripta.sql"});
  EXPECT_EQ(database.calls, Strings{"tool"});
  EXPECT_EQ(Lines(), (Strings{"1", "1", "0"}));
  EXPECT_FALSE(window().EndRequested());
  EXPECT_EQ(run.Outcome, ExitStatus::kDatabaseUnreachable);
}

TEST_F(RunFixture, SpecialStagingLeavesTheMainArchiveAndMarksFailure) {
  WriteFile(share_dir.path() / "Update.zip", "keep");
  Start({"T", "SEC", "App", "KLIJENT", "5", share_folder()});
  EXPECT_EQ(ReadFile(share_dir.path() / "Update.zip"), "keep");
  EXPECT_EQ(Lines(), Strings{"2"});
  ASSERT_EQ(window().dialogs.size(), 1u);
  EXPECT_EQ(window().dialogs[0].text, "Neuspješno skidanje datoteka sa internet lokacije: " +
                                          std::string(kSite) + "UpdateSpec.ZIP");
}

TEST_F(RunFixture, StageAndInstallHereWithoutStartingWhenNotTheLastRun) {
  http.files[std::string(kSite) + "UPDATE.ZIP"] = "main";
  Start({"T", "SEC", "App", "KLIJENT", "6", share_folder(), "s,u,p,d", "1", "0"});
  EXPECT_EQ(ReadFile(app.path() / "Update" / "Update.zip"), "main");
  EXPECT_EQ(installation.calls.size(), 2u);
  EXPECT_EQ(database.calls, Strings{"scripts"});
  EXPECT_TRUE(programs.started.empty());
  EXPECT_TRUE(window().EndRequested());
}

TEST_F(RunFixture, ScriptsOnlyRunTouchesNoArchive) {
  const uint64_t before = clock.slept_ms();
  Start({"T", "SEC", "App", "KLIJENT", "6", "x", "s,u,p,d"});
  EXPECT_TRUE(http.requested.empty());
  EXPECT_TRUE(installation.calls.empty());
  EXPECT_EQ(database.calls, Strings{"scripts"});
  EXPECT_EQ(clock.slept_ms() - before, 200u);
  EXPECT_EQ(Lines(), Strings{"0"});
  EXPECT_TRUE(window().EndRequested());
}

TEST_F(RunFixture, InstallPresentArchive) {
  Start({"T", "SEC", "App", "KLIJENT", "8", "c", "1"});
  ASSERT_EQ(window().dialogs.size(), 1u);
  EXPECT_EQ(window().dialogs[0].text,
            "Neuspješno raspakiravanje ZIP datoteka sa foldera \"Update\\\"\rPored aplikacije u "
            "folderu \"Update\" mora postojati datoteka \"UPDATE.ZIP\" sa update-om");

  WriteFile(app.path() / "Update" / "Update.zip", "main");
  for (const char* child_run : {"1", "0"}) {
    Reset();
    Start({"T", "SEC", "App", "KLIJENT", "8", "c", child_run});
    EXPECT_EQ(programs.started.size(), std::string(child_run) == "0" ? 1u : 0u);
  }
  EXPECT_EQ(Lines(), (Strings{"1", "1", "0B"}));  // line 0 never active, line 2 stays active
}

TEST_F(RunFixture, ErrorLogOpensOnlyWhenAskedFor) {
  http.files[std::string(kSite) + "UPDATE.ZIP"] = "main";
  WriteFile(app.path() / PathFromUtf8("GreškeSQLUpdate.txt"), "x.sql, linija: 1\r\n");
  Start({"T", "SEC", "App", "KLIJENT", "3", "c"});
  EXPECT_TRUE(window().opened_logs.empty());
  Reset();
  window().FormKeyDown('L');
  Start({"T", "SEC", "App", "KLIJENT", "3", "c"});
  EXPECT_TRUE(window().opened_logs.empty());  // FormCreate unchecks the box again
  window().SetChecked(3, true);
  UpdateRun(run, window(), {programs, http, installation, database, ftp, share, signatures})
      .ShowErrorLog();
  EXPECT_EQ(window().opened_logs, Strings{app.folder() + "GreškeSQLUpdate.txt"});
}

TEST_F(RunFixture, FtpRunFetchesTheListedArchivesWithOneSession) {
  ftp.files["lista.ini"] = "[UPDATE]\r\n1=Update.zip\r\n2=\r\n2=x\r\n3=UpdateSpec.zip\r\n";
  ftp.files["Update.zip"] = "main";
  ftp.files["UpdateSpec.zip"] = "special";
  Start({"T", "SEC", "App", "KLIJENT", "1", "c"});
  EXPECT_EQ(ftp.retrieved, (Strings{"lista.ini", "Update.zip", "UpdateSpec.zip"}));
  EXPECT_EQ(installation.calls,
            (Strings{"unzip Update.zip " + app.folder() + "Update/Update",
                     "unzip UpdateSpec.zip " + app.folder() + "Update/UpdateSpec",
                     "install Update.zip UpdateSpec.zip"}));
  EXPECT_NE(std::find(window().statuses.begin(), window().statuses.end(),
                      "Download > (4/1) = Update.zip"),
            window().statuses.end());
  EXPECT_EQ(database.calls, Strings{"scripts"});
  EXPECT_EQ(programs.started, (std::vector<Strings>{{exe("App.exe")}}));
  EXPECT_TRUE(window().EndRequested());
  EXPECT_TRUE(ftp.closed);
  EXPECT_EQ(window().Label1(), "");
}

TEST_F(RunFixture, FtpRunPassesOverNamesThatWouldLeaveTheWorkingFolder) {
  WriteFile(app.path() / "App.exe", "application");
  ftp.files["lista.ini"] = "[UPDATE]\r\n1=..\\App.exe\r\n2=/etc/x.zip\r\n3=Update.zip\r\n";
  ftp.files["..\\App.exe"] = "replaced";
  ftp.files["/etc/x.zip"] = "x";
  ftp.files["Update.zip"] = "main";
  Start({"T", "SEC", "App", "KLIJENT", "1"});
  EXPECT_EQ(ftp.retrieved, (Strings{"lista.ini", "Update.zip"}));
  EXPECT_EQ(ReadFile(app.path() / "App.exe"), "application");
  EXPECT_NE(std::find(window().statuses.begin(), window().statuses.end(),
                      "Download > (3/3) = Update.zip"),
            window().statuses.end());
}

TEST_F(RunFixture, FtpRunWithAnEmptyListInstallsNothingAndStaysOpen) {
  ftp.files["lista.ini"] = "[UPDATE]\r\n";
  Start({"T", "SEC", "App", "KLIJENT", "1"});
  EXPECT_TRUE(installation.calls.empty());
  EXPECT_FALSE(window().EndRequested());
  EXPECT_EQ(Lines(), (Strings{"0B", "-1", "-1", "-1"}));
}

// A settings file without CFG names no list: the run fails before it touches the working
// folder, which would otherwise be taken for the list and deleted.
TEST_F(RunFixture, FtpRunWithoutAListNameTouchesNothing) {
  fs::create_directories(app.path() / "Update");
  ftp.list_name = "";
  Start({"T", "SEC", "App", "KLIJENT", "1"});
  EXPECT_TRUE(fs::is_directory(app.path() / "Update"));
  EXPECT_EQ(window().Label1(), "Ne mogu se spojiti sa ftp serverom!\rUzrok: No file name given.");
}

TEST_F(RunFixture, FtpFailuresAreShownWithTheirCause) {
  struct Case {
    bool connects;
    std::string label;
  };
  for (const Case& c : std::vector<Case>{
           {false, "Ne mogu se spojiti sa ftp serverom!"},
           {true, "Ne mogu se spojiti sa ftp serverom!\rUzrok: 550 lista.ini: missing"}}) {
    Reset();
    ftp.connects = c.connects;
    Start({"T", "SEC", "App", "KLIJENT", "1"});
    EXPECT_EQ(window().Label1(), c.label);
    EXPECT_TRUE(window().EndRequested());
  }
}

constexpr const char* kShare = "<share>";  // stands for the run's share folder

// Which updater a run hands over to, per type and condition, and how the run ends. A run
// that hands over starts nothing besides the child (the child starts the application) and
// ends; "_SVI" only keeps a failed run from falling back to the internet.
TEST(UpdateRunHandOver, ChildUpdaterAndExitStatusPerTypeAndCondition) {
  using Setup = std::function<void(RunWorld&)>;
  const Setup share_has_archive = [](RunWorld& w) {
    WriteFile(w.share_dir.path() / "Update.zip", "main");
  };
  const Setup newer_demanded = [&](RunWorld& w) {
    share_has_archive(w);
    w.database.gate_demands_newer = true;
  };
  const Setup damaged_on_share = [&](RunWorld& w) {
    share_has_archive(w);
    w.installation.damaged = {"Update.zip"};
  };
  const Setup ftp_list_missing = [](RunWorld&) {};  // the server has no files at all
  const Setup ftp_down = [](RunWorld& w) { w.ftp.connects = false; };
  const Setup site_serves = [](RunWorld& w) {
    w.http.files[std::string(kSite) + "UPDATE.ZIP"] = "main";
    w.http.files[std::string(kSite) + "UpdateSpec.ZIP"] = "special";
    w.http.files[std::string(kSite) + "a.sql"] = "select 1";
  };
  const Setup nothing = [](RunWorld&) {};
  const Setup update_box = [](RunWorld& w) { w.window().FormKeyDown('U'); };

  struct Row {
    const char* condition;
    Strings params;  // from parameter 4, the client folder, on
    Setup setup;
    Strings child;  // the child's parameters; empty when none starts
    ExitStatus status;
  };
  using enum ExitStatus;
  const std::vector<Row> rows{
      {"ftp: server down", {"KLIJENT", "1"}, ftp_down, {"KLIJENT", "3"}, kDownloadFailed},
      {"ftp: server down, common folder", {"_SVI", "1"}, ftp_down, {}, kDownloadFailed},
      {"ftp: list not on the server",
       {"KLIJENT", "1"},
       ftp_list_missing,
       {"KLIJENT", "3"},
       kDownloadFailed},
      {"ftp: list not on the server, common folder",
       {"_SVI", "1"},
       ftp_list_missing,
       {},
       kDownloadFailed},
      {"ftp: no list name",
       {"KLIJENT", "1"},
       [](RunWorld& w) { w.ftp.list_name = ""; },
       {"KLIJENT", "3"},
       kDownloadFailed},
      {"ftp: installed",
       {"KLIJENT", "1"},
       [](RunWorld& w) {
         w.ftp.files["lista.ini"] = "[UPDATE]\r\n1=Update.zip\r\n";
         w.ftp.files["Update.zip"] = "main";
       },
       {},
       kCompleted},

      {"share: installed, version gate passes",
       {"KLIJENT", "2", kShare, "s,u,p,d"},
       share_has_archive,
       {},
       kCompleted},
      {"share: database demands a newer version",
       {"KLIJENT", "2", kShare, "s,u,p,d"},
       newer_demanded,
       {"KLIJENT", "6", kShare},
       kCompleted},
      {"share: database demands a newer version, common folder",
       {"_SVI", "2", kShare, "s,u,p,d"},
       newer_demanded,
       {"_SVI", "6", kShare},
       kCompleted},
      {"share: no database named, so no gate asked",
       {"KLIJENT", "2", kShare},
       newer_demanded,
       {},
       kCompleted},
      {"share: newer version demanded, updater cannot start",
       {"KLIJENT", "2", kShare, "s,u,p,d"},
       [&](RunWorld& w) {
         newer_demanded(w);
         w.programs.missing = {w.exe("ZEPRUpdate.exe")};
       },
       {"KLIJENT", "6", kShare},
       kProgramNotStarted},
      {"share: unreachable",
       {"KLIJENT", "2", "/nowhere/share"},
       nothing,
       {"KLIJENT", "3"},
       kDownloadFailed},
      {"share: unreachable, common folder",
       {"_SVI", "2", "/nowhere/share"},
       nothing,
       {},
       kDownloadFailed},
      {"share: archive damaged",
       {"KLIJENT", "2", kShare},
       damaged_on_share,
       {"KLIJENT", "3"},
       kArchiveDamaged},
      {"share: archive damaged, common folder",
       {"_SVI", "2", kShare},
       damaged_on_share,
       {},
       kArchiveDamaged},
      {"share: install rolled back",
       {"KLIJENT", "2", kShare},
       [&](RunWorld& w) {
         share_has_archive(w);
         w.installation.result = {false, "App.exe", "busy"};
       },
       {},
       kInstallFailed},

      {"internet: nothing served", {"KLIJENT", "3"}, nothing, {}, kDownloadFailed},

      {"staging with script: mode U",
       {"KLIJENT", "4", kShare, "c", "a.sql", "U"},
       site_serves,
       {"KLIJENT", "2", kShare},
       kCompleted},
      {"staging with script: mode SU, script from the common folder",
       {"KLIJENT", "4", kShare, "c", "b.sql", "SU"},
       [](RunWorld& w) {
         w.http.files[std::string(kSite) + "UPDATE.ZIP"] = "main";
         w.http.files[std::string(kCommon) + "b.sql"] = "select 1";
       },
       {"KLIJENT", "2", kShare},
       kCompleted},
      {"staging with script: no mode",
       {"KLIJENT", "4", kShare, "c", "a.sql"},
       site_serves,
       {},
       kCompleted},
      {"staging with script: nothing served, mode U",
       {"KLIJENT", "4", kShare, "c", "a.sql", "U"},
       nothing,
       {},
       kDownloadFailed},
      {"staging with script: script nowhere, mode U",
       {"KLIJENT", "4", kShare, "c", "nema.sql", "U"},
       site_serves,
       {},
       kDownloadFailed},
      {"staging with script: database unreachable, mode U",
       {"KLIJENT", "4", kShare, "c", "a.sql", "U"},
       [&](RunWorld& w) {
         site_serves(w);
         w.database.tool_reachable = false;
       },
       {},
       kDatabaseUnreachable},

      {"special staging: update box checked",
       {"KLIJENT", "5", kShare},
       [&](RunWorld& w) {
         site_serves(w);
         update_box(w);
       },
       {"KLIJENT", "2", kShare},
       kCompleted},
      {"special staging: update box checked, common folder",
       {"_SVI", "5", kShare},
       [&](RunWorld& w) {
         w.http.files[std::string(kCommon) + "UpdateSpec.ZIP"] = "special";
         update_box(w);
       },
       {"_SVI", "2", kShare},
       kCompleted},
      {"special staging: update box not checked",
       {"KLIJENT", "5", kShare},
       site_serves,
       {},
       kCompleted},
      {"special staging: nothing served, update box checked",
       {"KLIJENT", "5", kShare},
       update_box,
       {},
       kDownloadFailed},

      {"stage and install: nothing served",
       {"KLIJENT", "6", kShare, "c"},
       nothing,
       {},
       kDownloadFailed},
  };

  for (const Row& row : rows) {
    SCOPED_TRACE(row.condition);
    RunWorld w;
    const auto with_share = [&](Strings items) {
      for (auto& item : items) {
        if (item == kShare) item = w.share_folder();
      }
      return items;
    };
    row.setup(w);
    Strings params{"T", "SEC", "App"};
    for (const auto& p : with_share(row.params)) params.push_back(p);
    w.Start(params);

    const std::string updater = w.exe("ZEPRUpdate.exe");
    if (row.child.empty()) {
      for (const auto& argv : w.programs.started) EXPECT_NE(argv.at(0), updater);
    } else {
      Strings child{updater, "T", "SEC", "App"};
      for (const auto& p : with_share(row.child)) child.push_back(p);
      EXPECT_EQ(w.programs.started, std::vector<Strings>{child});
      EXPECT_TRUE(w.window().EndRequested());
    }
    EXPECT_EQ(w.run.Outcome, row.status);
  }
}

// A main archive that does not unpack whole is never installed: each type takes the path of
// a missing archive, and no scripts, completion or start follow.
TEST_F(RunFixture, DamagedArchiveTakesThePathOfAMissingOne) {
  struct Case {
    Strings params;
    std::string dialog;  // "" when the type reports in the status line
    std::string label;
  };
  const std::string site(kSite);
  http.files[site + "UPDATE.ZIP"] = "main";
  installation.damaged = {"Update.zip"};
  for (const Case& c : std::vector<Case>{
           {{"T", "SEC", "App", "KLIJENT", "2", share_folder()},
            "",
            "Neuspješno kopiranje sa share foldera: \r" + share_folder()},
           {{"T", "SEC", "App", "KLIJENT", "3"},
            "Neuspješno skidanje ZIP datoteka sa internet lokacije: " + site + "UPDATE.ZIP",
            ""},
           {{"T", "SEC", "App", "KLIJENT", "6", share_folder(), "c"},
            "Neuspješno skidanje ZIP datoteka sa servera: " + share_folder(),
            ""},
           {{"T", "SEC", "App", "KLIJENT", "8", "c"},
            "Neuspješno raspakiravanje ZIP datoteka sa foldera \"Update\\\"\rPored aplikacije "
            "u folderu \"Update\" mora postojati datoteka \"UPDATE.ZIP\" sa update-om",
            ""}}) {
    Reset();
    const std::string type = c.params[4];
    WriteFile(share_dir.path() / "Update.zip", "main");
    WriteFile(app.path() / "Update" / "Update.zip", "main");
    Start(c.params);
    EXPECT_EQ(installation.calls.size(), 1u) << type;  // the unzip alone
    EXPECT_TRUE(database.calls.empty()) << type;
    EXPECT_FALSE(window().CompletionVisible()) << type;
    EXPECT_TRUE(window().EndRequested()) << type;
    EXPECT_EQ(run.Outcome, ExitStatus::kArchiveDamaged) << type;
    if (c.dialog.empty()) {
      EXPECT_TRUE(window().dialogs.empty()) << type;
      EXPECT_EQ(window().Label1(), c.label) << type;
    } else {
      ASSERT_EQ(window().dialogs.size(), 1u) << type;
      EXPECT_EQ(window().dialogs[0].text, c.dialog) << type;
    }
    for (const auto& argv : programs.started) EXPECT_NE(argv.at(0), exe("App.exe")) << type;
  }
}

TEST_F(RunFixture, DamagedSpecialArchiveIsSkippedAndTheMainOneInstalls) {
  http.files[std::string(kSite) + "UPDATE.ZIP"] = "main";
  http.files[std::string(kSite) + "UpdateSpec.ZIP"] = "special";
  installation.damaged = {"UpdateSpec.zip"};
  Start({"T", "SEC", "App", "KLIJENT", "3"});
  EXPECT_EQ(installation.calls,
            (Strings{"unzip Update.zip " + app.folder() + "Update/Update/", "install Update.zip",
                     "unzip UpdateSpec.zip " + app.folder() + "Update/UpdateSpec/"}));
  EXPECT_EQ(database.calls, Strings{"scripts"});
  EXPECT_TRUE(window().CompletionVisible());
  EXPECT_EQ(programs.started.size(), 1u);
  EXPECT_EQ(run.Outcome, ExitStatus::kArchiveDamaged);
}

// An install that failed has been rolled back: it is reported, and nothing that assumes the
// new version follows.
TEST_F(RunFixture, FailedInstallIsReportedAndNothingFollows) {
  http.files[std::string(kSite) + "UPDATE.ZIP"] = "main";
  installation.result = {false, app.folder() + "App.exe", "No space left on device"};
  Start({"T", "SEC", "App", "KLIJENT", "3"});
  ASSERT_EQ(window().dialogs.size(), 1u);
  EXPECT_EQ(window().dialogs[0].title, "Greška!");
  EXPECT_EQ(window().dialogs[0].text,
            "Instalacija nije uspjela, vraćene su prijašnje datoteke.\rDatoteka: " + app.folder() +
                "App.exe\rUzrok: No space left on device");
  EXPECT_EQ(installation.calls.size(), 2u);  // UpdateSpec is not tried
  EXPECT_TRUE(database.calls.empty());
  EXPECT_FALSE(window().CompletionVisible());
  EXPECT_TRUE(programs.started.empty());
  EXPECT_TRUE(window().EndRequested());
  EXPECT_EQ(Lines(), (Strings{"1", "1", "1", "2"}));
  EXPECT_EQ(run.Outcome, ExitStatus::kInstallFailed);
}

TEST_F(RunFixture, ProgramThatCannotStartIsReported) {
  http.files[std::string(kSite) + "UPDATE.ZIP"] = "main";
  programs.missing = {exe("App.exe"), exe("ZEPRUpdate.exe")};
  for (const char* type : {"3", "5"}) {
    Reset();
    const std::string program = exe(std::string(type) == "3" ? "App.exe" : "ZEPRUpdate.exe");
    window().FormKeyDown('U');  // type 5 hands over to type 2
    http.files[std::string(kSite) + "UpdateSpec.ZIP"] = "special";
    const uint64_t before = clock.slept_ms();
    Start({"T", "SEC", "App", "KLIJENT", type, share_folder()});
    EXPECT_EQ(window().Label1(),
              "Ne mogu pokrenuti program: " + program + "\rUzrok: No such file or directory")
        << type;
    EXPECT_GE(clock.slept_ms() - before, 3000u);
    EXPECT_TRUE(window().dialogs.empty()) << type;  // nobody may be there to answer
    EXPECT_TRUE(window().EndRequested());
    EXPECT_EQ(run.Outcome, ExitStatus::kProgramNotStarted);
  }
}

// Only archives that arrived whole are installed, and never one whose name leaves the
// working folder: its folder would be outside it too.
TEST_F(RunFixture, FtpRunInstallsOnlyWholeArchivesInsideTheWorkingFolder) {
  ftp.files["lista.ini"] = "[UPDATE]\r\n1=..\\..\\evil.zip\r\n2=Update.zip\r\n3=Ostecena.zip\r\n";
  ftp.files["Update.zip"] = "main";
  ftp.files["Ostecena.zip"] = "damaged";
  installation.damaged = {"Ostecena.zip"};
  Start({"T", "SEC", "App", "KLIJENT", "1"});
  ASSERT_FALSE(installation.calls.empty());
  EXPECT_EQ(installation.calls.back(), "install Update.zip");
  EXPECT_EQ(database.calls, Strings{"scripts"});
  EXPECT_TRUE(window().CompletionVisible());
  EXPECT_EQ(run.Outcome, ExitStatus::kArchiveDamaged);

  Reset();
  ftp.files["lista.ini"] = "[UPDATE]\r\n1=Ostecena.zip\r\n";
  Start({"T", "SEC", "App", "KLIJENT", "1"});
  EXPECT_EQ(installation.calls.size(), 1u);  // nothing whole: nothing installed
  EXPECT_TRUE(database.calls.empty());
  EXPECT_FALSE(window().CompletionVisible());
  EXPECT_TRUE(programs.started.empty());
  EXPECT_EQ(run.Outcome, ExitStatus::kArchiveDamaged);
}

// The pauses of a successful run per type, and of an FTP failure.
TEST_F(RunFixture, PausesPerType) {
  struct Case {
    Strings params;
    uint64_t waited;
  };
  ftp.files["lista.ini"] = "[UPDATE]\r\n1=Update.zip\r\n";
  ftp.files["Update.zip"] = "main";
  http.files[std::string(kSite) + "UPDATE.ZIP"] = "main";
  http.files[std::string(kSite) + "UpdateSpec.ZIP"] = "special";
  http.files[std::string(kSite) + "a.sql"] = "select 1";
  for (const Case& c :
       std::vector<Case>{{{"T", "SEC", "App", "KLIJENT", "1"}, 1500 + 2000},
                         {{"T", "SEC", "App", "KLIJENT", "3"}, 0},
                         {{"T", "SEC", "App", "KLIJENT", "4", share_folder(), "c", "a.sql"}, 2000},
                         {{"T", "SEC", "App", "KLIJENT", "5", share_folder()}, 2000},
                         {{"T", "SEC", "App", "KLIJENT", "6", share_folder(), "c"}, 2000}}) {
    Reset();
    const uint64_t before = clock.slept_ms();
    Start(c.params);
    EXPECT_EQ(clock.slept_ms() - before, c.waited) << "type " << c.params[4];
    EXPECT_TRUE(window().CompletionVisible()) << "type " << c.params[4];
  }
  Reset();
  ftp.connects = false;
  const uint64_t before = clock.slept_ms();
  Start({"T", "SEC", "App", "_SVI", "1"});
  EXPECT_EQ(clock.slept_ms() - before, 2000u);
}

// Publishes name with its signature on every source: the client's and the common site, the
// share, the FTP server.
struct SignedSources {
  RunWorld& w;
  void Http(const std::string& site, const std::string& url_name, const std::string& bytes) {
    w.http.files[site + url_name] = bytes;
    w.http.files[site + url_name + ".minisig"] = "sig";
  }
  void Share(const std::string& name) {
    WriteFile(w.share_dir.path() / name, name);
    WriteFile(w.share_dir.path() / (name + ".minisig"), "sig");
  }
};

// With keys configured, each file is checked after it arrived and before anything uses it,
// with the signature that came from the same place; what was installed is recorded, and only
// that.
TEST(UpdateRunSignatures, EveryPathChecksItsFilesAndRecordsWhatItInstalled) {
  const std::string site(kSite), common(kCommon);
  struct Case {
    const char* what;
    std::function<void(RunWorld&)> publish;
    Strings params;  // after title, section, application, client
    Strings checked;
    Strings recorded;
  };
  const std::vector<Case> cases = {
      {"type 1: the archives of the list",
       [](RunWorld& w) {
         w.ftp.files = {{"lista.ini", "[UPDATE]\r\n1=Paket\\Update.zip\r\n"},
                        {"Paket\\Update.zip", "main"},
                        {"Paket\\Update.zip.minisig", "sig"}};
       },
       {"1"},
       {"Update.zip"},
       {"Update.zip"}},
      {"type 2: the copies from the share",
       [](RunWorld& w) {
         SignedSources{w}.Share("Update.zip");
         SignedSources{w}.Share("UpdateSpec.zip");
       },
       {"2", "<share>"},
       {"Update.zip", "UpdateSpec.zip"},
       {"Update.zip", "UpdateSpec.zip"}},
      {"type 3: the main archive from the common site, the special one from the client's",
       [&](RunWorld& w) {
         SignedSources{w}.Http(common, "UPDATE.ZIP", "main");
         SignedSources{w}.Http(site, "UpdateSpec.ZIP", "special");
       },
       {"3"},
       {"Update.zip", "UpdateSpec.zip"},
       {"Update.zip", "UpdateSpec.zip"}},
      {"type 4: the staged archive and the script sent to the tool",
       [&](RunWorld& w) {
         SignedSources{w}.Http(site, "UPDATE.ZIP", "main");
         SignedSources{w}.Http(site, "skripta.sql", "select 1");
       },
       {"4", "<share>", "c", "skripta.sql"},
       {"Update.zip", "skripta.sql"},
       {"skripta.sql"}},
      {"type 5: the staged special archive",
       [&](RunWorld& w) { SignedSources{w}.Http(site, "UpdateSpec.ZIP", "special"); },
       {"5", "<share>"},
       {"UpdateSpec.zip"},
       {}},
      {"type 6: the staged archives, then this workstation's copies",
       [&](RunWorld& w) {
         SignedSources{w}.Http(site, "UPDATE.ZIP", "main");
         SignedSources{w}.Http(site, "UpdateSpec.ZIP", "special");
       },
       {"6", "<share>", "c", "1", "0"},
       {"Update.zip", "UpdateSpec.zip", "Update.zip", "UpdateSpec.zip"},
       {"Update.zip", "UpdateSpec.zip"}},
      {"type 8: what lies in Update/",
       [](RunWorld& w) {
         WriteFile(w.app.path() / "Update" / "Update.zip", "main");
         WriteFile(w.app.path() / "Update" / "Update.zip.minisig", "sig");
       },
       {"8", "c", "1"},
       {"Update.zip"},
       {"Update.zip"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RunWorld w;
    w.signatures.required = true;
    c.publish(w);
    Strings params{"T", "SEC", "App", "KLIJENT"};
    for (const auto& p : c.params) params.push_back(p == "<share>" ? w.share_folder() : p);
    w.Start(params);
    EXPECT_EQ(w.signatures.checked, c.checked);
    EXPECT_EQ(w.signatures.recorded, c.recorded);
    EXPECT_EQ(w.run.Outcome, ExitStatus::kCompleted) << w.window().Label1();
  }
}

// A refused file is never unpacked or used: it is removed with its signature, the status line
// names it and the reason, and the run takes the path of a missing file, with status 9. A final
// dialog that would blame the missing file names the refusal instead.
TEST(UpdateRunSignatures, ARefusedFileIsRemovedAndTakesThePathOfAMissingOne) {
  const std::string site(kSite);
  struct Case {
    const char* what;
    std::function<void(RunWorld&)> publish;
    Strings params;
    std::string refused;  // its published name
    Strings unzipped;     // archive file names
    std::string left;     // a file of the run that must be gone, relative to the share or app
    bool dialog = false;  // the run's one dialog says what the status line says; else none
  };
  const std::vector<Case> cases = {
      {"type 1: a listed archive",
       [](RunWorld& w) {
         w.ftp.files = {{"lista.ini", "[UPDATE]\r\n1=Update.zip\r\n"},
                        {"Update.zip", "main"},
                        {"Update.zip.minisig", "sig"}};
       },
       {"1"},
       "Update.zip",
       {},
       "app:Update/Update.zip"},
      {"type 2: the copied main archive; the share keeps its file",
       [](RunWorld& w) { SignedSources{w}.Share("Update.zip"); },
       {"2", "<share>"},
       "Update.zip",
       {},
       "app:Update/Update.zip"},
      {"type 3: the special archive is skipped, the main one installs",
       [&](RunWorld& w) {
         SignedSources{w}.Http(site, "UPDATE.ZIP", "main");
         SignedSources{w}.Http(site, "UpdateSpec.ZIP", "special");
       },
       {"3"},
       "UpdateSpec.zip",
       {"Update.zip"},
       "app:Update/UpdateSpec.zip"},
      {"type 3: the main archive",
       [&](RunWorld& w) { SignedSources{w}.Http(site, "UPDATE.ZIP", "main"); },
       {"3"},
       "Update.zip",
       {},
       "app:Update/Update.zip",
       true},
      {"type 4: the staged main archive",
       [&](RunWorld& w) { SignedSources{w}.Http(site, "UPDATE.ZIP", "main"); },
       {"4", "<share>", "c", "skripta.sql"},
       "Update.zip",
       {},
       "share:Update.zip",
       true},
      {"type 4: the script",
       [&](RunWorld& w) {
         SignedSources{w}.Http(site, "UPDATE.ZIP", "main");
         SignedSources{w}.Http(site, "skripta.sql", "drop table x");
       },
       {"4", "<share>", "c", "skripta.sql"},
       "skripta.sql",
       {},
       "app:skripta.sql"},
      {"type 6: the staged main archive",
       [&](RunWorld& w) { SignedSources{w}.Http(site, "UPDATE.ZIP", "main"); },
       {"6", "<share>", "c", "1", "0"},
       "Update.zip",
       {},
       "share:Update.zip",
       true},
      {"type 5: the staged special archive",
       [&](RunWorld& w) { SignedSources{w}.Http(site, "UpdateSpec.ZIP", "special"); },
       {"5", "<share>"},
       "UpdateSpec.zip",
       {},
       "share:UpdateSpec.zip",
       true},
      {"type 8: the archive in Update/",
       [](RunWorld& w) {
         WriteFile(w.app.path() / "Update" / "Update.zip", "main");
         WriteFile(w.app.path() / "Update" / "Update.zip.minisig", "sig");
       },
       {"8", "c", "1"},
       "Update.zip",
       {},
       "app:Update/Update.zip",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RunWorld w;
    w.signatures.required = true;
    w.signatures.refused[c.refused] = "potpis nije ispravan";
    c.publish(w);
    Strings params{"T", "SEC", "App", "KLIJENT"};
    for (const auto& p : c.params) params.push_back(p == "<share>" ? w.share_folder() : p);
    w.Start(params);
    Strings unzipped;
    for (const auto& call : w.installation.calls)
      if (call.starts_with("unzip ")) unzipped.push_back(call.substr(6, call.find(' ', 6) - 6));
    EXPECT_EQ(unzipped, c.unzipped);
    const std::string status =
        "Potpis nije prihvaćen: " + c.refused + "\rUzrok: potpis nije ispravan";
    EXPECT_NE(std::find(w.window().statuses.begin(), w.window().statuses.end(), status),
              w.window().statuses.end());
    if (c.dialog) {
      ASSERT_EQ(w.window().dialogs.size(), 1u);
      EXPECT_EQ(w.window().dialogs[0].title, "Greška!");
      EXPECT_EQ(w.window().dialogs[0].text, status);
    } else {
      EXPECT_TRUE(w.window().dialogs.empty()) << w.window().dialogs[0].text;
    }
    const bool on_share = c.left.starts_with("share:");
    const fs::path gone =
        (on_share ? w.share_dir.path() : w.app.path()) / c.left.substr(c.left.find(':') + 1);
    EXPECT_FALSE(fs::exists(gone));
    EXPECT_FALSE(fs::exists(gone.string() + ".minisig"));
    EXPECT_TRUE(w.database.calls.empty() || c.unzipped.size() == 1);  // no SQL of a refused file
    EXPECT_EQ(w.run.Outcome, ExitStatus::kSignatureRefused);
  }
  // The share's own file is never changed by a workstation that copies it.
  RunWorld w;
  w.signatures.required = true;
  w.signatures.refused["Update.zip"] = "potpis nije ispravan";
  SignedSources{w}.Share("Update.zip");
  w.Start({"T", "SEC", "App", "KLIJENT", "2", w.share_folder()});
  EXPECT_TRUE(fs::exists(w.share_dir.path() / "Update.zip.minisig"));
}

// A signature is read up to a limit above the longest valid one: a longer file is never fetched
// or copied whole, nothing of it stays, and the file it is for counts as unsigned.
TEST(UpdateRunSignatures, ASignatureFileBeyondTheLimitCountsAsMissing) {
  const std::string site(kSite);
  struct Case {
    const char* what;
    std::function<void(RunWorld&, const std::string&)> publish;  // with this signature
    Strings params;
    std::string local;  // the archive's copy, relative to the application folder
  };
  const std::vector<Case> cases = {
      {"type 1: from the FTP server",
       [](RunWorld& w, const std::string& signature) {
         w.ftp.files = {{"lista.ini", "[UPDATE]\r\n1=Update.zip\r\n"},
                        {"Update.zip", "main"},
                        {"Update.zip.minisig", signature}};
       },
       {"1"},
       "Update/Update.zip"},
      {"type 2: from the share",
       [](RunWorld& w, const std::string& signature) {
         WriteFile(w.share_dir.path() / "Update.zip", "main");
         WriteFile(w.share_dir.path() / "Update.zip.minisig", signature);
       },
       {"2", "<share>"},
       "Update/Update.zip"},
      {"type 3: from the download site",
       [&](RunWorld& w, const std::string& signature) {
         w.http.files[site + "UPDATE.ZIP"] = "main";
         w.http.files[site + "UPDATE.ZIP.minisig"] = signature;
       },
       {"3"},
       "Update/Update.zip"},
  };
  for (const Case& c : cases) {
    for (const size_t length : {trust::kMaxSignatureFileBytes, trust::kMaxSignatureFileBytes + 1}) {
      SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(length) + " bytes");
      RunWorld w;
      w.signatures.required = true;
      c.publish(w, std::string(length, 's'));
      Strings params{"T", "SEC", "App", "KLIJENT"};
      for (const auto& p : c.params) params.push_back(p == "<share>" ? w.share_folder() : p);
      w.Start(params);
      const bool within = length <= trust::kMaxSignatureFileBytes;
      EXPECT_EQ(w.run.Outcome, within ? ExitStatus::kCompleted : ExitStatus::kSignatureRefused);
      const fs::path signature = w.app.path() / (c.local + ".minisig");
      EXPECT_EQ(fs::exists(signature), within);
      if (!within) {
        const auto& statuses = w.window().statuses;
        EXPECT_NE(std::find(statuses.begin(), statuses.end(),
                            "Potpis nije prihvaćen: Update.zip\rUzrok: nema potpisa"),
                  statuses.end());
      }
    }
  }
}

// A configured key that cannot be read fails every type before anything is fetched.
TEST_F(RunFixture, AKeyThatCannotBeReadFailsTheRunBeforeItStarts) {
  signatures.key_error = "neispravan ključ u UPDATE.INI (KEY2: ...)";
  http.files[std::string(kSite) + "UPDATE.ZIP"] = "main";
  for (const char* type : {"1", "3", "7", "8"}) {
    Reset();
    Start({"T", "SEC", "App", "KLIJENT", type, "c"});
    EXPECT_TRUE(http.requested.empty() && ftp.retrieved.empty() && database.calls.empty());
    EXPECT_TRUE(installation.calls.empty());
    ASSERT_EQ(window().dialogs.size(), 1u);
    EXPECT_EQ(window().dialogs[0].text,
              "Potpisi se ne mogu provjeriti.\rUzrok: neispravan ključ u UPDATE.INI (KEY2: ...)");
    EXPECT_TRUE(window().EndRequested());
    EXPECT_EQ(run.Outcome, ExitStatus::kSignatureRefused);
  }
}

}  // namespace
}  // namespace zepr
