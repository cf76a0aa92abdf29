#include "core/run_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <set>
#include <sstream>

#include "app/form_create.h"
#include "app/headless_view.h"
#include "app/run_log_file.h"
#include "core/text.h"
#include "support/sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::WriteFile;
constexpr auto kSteps = StepList::kJvInstallLabel1;

std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

// A line is written as given, one line per event; only text from outside is searched for
// secrets, and only for those long enough not to be ordinary words ("a" in "header", a
// password equal to the program code).
TEST(RunLog, WritesTextAsGivenAndMasksOnlyLongSecretsInTextFromOutside) {
  std::vector<std::string> lines;
  runlog::SetSink([&](std::string_view line) { lines.emplace_back(line); });
  for (const char* secret : {"a", "DEMO", "", "Tajna7", "Tajna77890+"}) runlog::AddSecret(secret);
  runlog::Write("header: DEMO >Nadogradnja aplikacije\r\nUzrok: x");
  runlog::Write("SQL: " +
                runlog::Outside("Login failed: Tajna7, Tajna77890+ i \"Tajna7\" (DEMO a)"));
  runlog::SetSink(nullptr);
  runlog::Write("nakon zatvaranja");
  EXPECT_EQ(lines, (std::vector<std::string>{"header: DEMO >Nadogradnja aplikacije\\r\\nUzrok: x",
                                             "SQL: Login failed: ***, *** i \"***\" (DEMO a)"}));
}

// The first line: the version and every parameter as given, but the password item of a
// connection, in whichever escaped form it came.
TEST(RunLog, ParametersLineMasksTheConnectionPasswordWhereItStands) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"Demo aplikacija", "DEMO", "App", "KLIJENT", "3", "srv7891+1433,sa,DEMO,Radna", "0"},
       R"( 1="Demo aplikacija" 2="DEMO" 3="App" 4="KLIJENT" 5="3" 6="srv7891+1433,sa,***,Radna" 7="0")"},
      {{"T", "S", "A", "K", "1", "x"}, R"( 1="T" 2="S" 3="A" 4="K" 5="1" 6="x")"},
      {{"T", "S", "A", "K", "6", "/share/", "srv,,sa,Taj7891+na7893+,db,a"},
       R"( 1="T" 2="S" 3="A" 4="K" 5="6" 6="/share/" 7="srv,,sa,***,db,a")"},
      {{"T", "S", "A", "K", "8", "srv,sa,a"}, R"( 1="T" 2="S" 3="A" 4="K" 5="8" 6="srv,sa,***")"},
      {{"T", "S", "A", "K", "8", "srv,sa"}, R"( 1="T" 2="S" 3="A" 4="K" 5="8" 6="srv,sa")"},
  };
  for (const auto& [params, expected] : cases) {
    EXPECT_EQ(ParametersLine("1.2.3", params), "ZEPRUpdate 1.2.3, parametri:" + expected);
  }
}

// The last line sums the run up: the exit status and what it means, the files, the bytes, the
// scripts and the time.
TEST(RunLog, SummaryLineSumsTheRunUp) {
  EXPECT_EQ(SummaryLine(ExitStatus::kCompleted, {3, 2, 1234567, 4}, 61'949),
            "kraj: izlazni status 0 (završeno), zamijenjeno datoteka 3, dodano 2, skinuto "
            "1234567 bajtova, SQL skripti 4, trajanje 61,9 s");
  EXPECT_EQ(SummaryLine(ExitStatus::kDownloadFailed, {}, 40),
            "kraj: izlazni status 2 (skidanje nije uspjelo), zamijenjeno datoteka 0, dodano 0, "
            "skinuto 0 bajtova, SQL skripti 0, trajanje 0,0 s");
  for (int status = 0; status <= 9; ++status) {
    const std::string line = SummaryLine(static_cast<ExitStatus>(status), {}, 0);
    EXPECT_TRUE(line.starts_with("kraj: izlazni status " + std::to_string(status) + " (")) << line;
    EXPECT_EQ(line.find("()"), std::string::npos) << line;
  }
}

// What the window said, without how it drew it: no check boxes, a step's state in words, and
// the dialogs' and status lines' text from outside searched for secrets.
TEST(RunLog, KeepsWhatTheWindowSaysNotHowItDrawsIt) {
  testing::TempDir dir;
  runlog::AddSecret("LozinkaBaze");
  {
    VirtualClock clock;
    std::ostringstream out;
    HeadlessView view(clock, out);
    RunLogFile log(dir.folder());
    view.SetWatcher(&log);
    RunParams run;
    FormCreate({"App", "S", "E", "F", "3", "s,u,p,d"}, "h", run, view);
    view.Show();
    log.Shown(view);
    view.UpdateProg(kSteps, 0, 1);
    view.UpdateProg(kSteps, 1, 1);
    view.SetLabel1("Nadogradnja baze nije uspjela.\rUzrok: Login failed LozinkaBaze");
    view.FormKeyDown('L');
    view.SetLineState(kSteps, 1, 2, false);
    view.ShowPoruka("Greška!", "tekst");
    view.ShowCompletion();
    view.RequestEnd();
    view.SetWatcher(nullptr);
  }
  const auto files = Names(dir.path() / RunLogFile::kFolderName);
  ASSERT_EQ(files.size(), 1u);
  std::vector<std::string> lines;
  for (const auto& line :
       SplitLines(ReadFile(dir.path() / RunLogFile::kFolderName / *files.begin()))) {
    if (!line.empty()) lines.push_back(line.substr(line.find("] ") + 2));
  }
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "header:  >Nadogradnja aplikacije App",
                       "type: tip: 3",
                       "steps: Spajam se na internet server | Skidam Update.zip datoteke | "
                       "Raspakiravam | Instaliram",
                       "korak Spajam se na internet server: u tijeku",
                       "korak Skidam Update.zip datoteke: u tijeku",
                       "korak Spajam se na internet server: završeno",
                       "status: Nadogradnja baze nije uspjela.\\rUzrok: Login failed ***",
                       "korak Skidam Update.zip datoteke: neuspješno",
                       "dialog: Greška!: tekst",
                       "done: Instalacija završena.",
                       "end",
                   }));
}

// The newest runs stay, within the count and the size; the current run's file always stays, and
// files that are not run logs are never touched.
TEST(RunLog, PruningRemovesTheOldestRunsOnly) {
  testing::TempDir dir;
  for (int i = 10; i < 42; ++i) {
    WriteFile(dir.path() / ("2026-01-01_00-00-" + std::to_string(i) + "_7.log"), "x");
  }
  WriteFile(dir.path() / "citaj.txt", "ne diraj");
  PruneRunLogs(dir.folder(), "2026-01-01_00-00-41_7.log");
  auto names = Names(dir.path());
  EXPECT_EQ(names.size(), RunLogFile::kMaxFiles + 1);
  EXPECT_TRUE(names.count("citaj.txt"));
  EXPECT_FALSE(names.count("2026-01-01_00-00-11_7.log"));
  EXPECT_TRUE(names.count("2026-01-01_00-00-12_7.log"));

  testing::TempDir big;
  const std::string four_mb(4'000'000, 'x');
  for (const char* name : {"2026-01-01_1.log", "2026-01-02_1.log", "2026-01-03_1.log"})
    WriteFile(big.path() / name, four_mb);
  // The current file is kept even when it is the oldest and the limit is passed without it.
  PruneRunLogs(big.folder(), "2026-01-01_1.log");
  EXPECT_EQ(Names(big.path()),
            (std::set<std::string>{"2026-01-01_1.log", "2026-01-03_1.log", "2026-01-02_1.log"}));
  WriteFile(big.path() / "2026-01-04_1.log", four_mb);
  PruneRunLogs(big.folder(), "2026-01-04_1.log");
  EXPECT_EQ(Names(big.path()), (std::set<std::string>{"2026-01-03_1.log", "2026-01-04_1.log"}));
}

// A file at the folder's name that is not ours is left as it is: the run writes no log and
// says so on the standard error.
TEST(RunLog, APlainFileAtTheFolderNameIsLeftAlone) {
  testing::TempDir dir;
  WriteFile(dir.path() / RunLogFile::kFolderName, "tuđi podaci");
  std::ostringstream complaints;
  std::streambuf* const before = std::cerr.rdbuf(complaints.rdbuf());
  {
    RunLogFile log(dir.folder());
    runlog::Write("ne smije nikamo");
    EXPECT_EQ(log.path(), "");
  }
  std::cerr.rdbuf(before);
  EXPECT_EQ(ReadFile(dir.path() / RunLogFile::kFolderName), "tuđi podaci");
  EXPECT_EQ(complaints.str(),
            "Dnevnik rada se ne piše: " + dir.folder() + RunLogFile::kFolderName + " nije mapa.\n");
}

}  // namespace
}  // namespace zepr
