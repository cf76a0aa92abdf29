#include "core/run_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <set>
#include <sstream>

#include "app/run_log_file.h"
#include "support/sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::WriteFile;

// A secret is masked wherever it stands, also inside a longer secret or next to itself, and a
// line break never splits a line of the log.
TEST(RunLog, MasksSecretsAndKeepsOneLinePerEvent) {
  std::vector<std::string> lines;
  runlog::SetSink([&](std::string_view line) { lines.emplace_back(line); });
  runlog::AddSecret("tajna");
  runlog::AddSecret("tajna7890+");  // the escaped form of a longer password
  runlog::AddSecret("");
  runlog::Write("lozinka tajnatajna, pa tajna7890+ i \"tajna\"\r\nUzrok: x");
  runlog::SetSink(nullptr);
  runlog::Write("nakon zatvaranja");
  EXPECT_EQ(lines, std::vector<std::string>{"lozinka ******, pa *** i \"***\"\\r\\nUzrok: x"});
}

std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
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
