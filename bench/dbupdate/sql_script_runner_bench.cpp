// Runs many scripts through the script runner against the TDS peer and compares the time
// spent on batches with the FreeTDS command-line client sending the same batches. Each side
// runs three times into an emptied table and the best run counts; the rows every run wrote are
// checked before the ratio is printed, and a failed check ends with status 1. The peer is one
// Python process that works on one batch at a time, so its own CPU time is printed as a share
// of each side's time:
// where that share is high, the ratio says more about the peer than about either client.
//
//   sql_script_runner_bench [scripts=200] [batches per script=20]

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "bench_check.h"
#include "core/clock.h"
#include "core/main_window.h"
#include "dbupdate/sql_script_runner.h"
#include "dbupdate/sql_session.h"
#include "support/sandbox.h"
#include "support/tds_peer_process.h"

namespace {

using namespace zepr;
using bench::Outcome;
using Seconds = std::chrono::duration<double>;
namespace fs = std::filesystem;

constexpr int kRuns = 3;

// A window whose message waits are real sleeps, timed so they can be told apart.
class BenchWindow : public MainWindow {
 public:
  explicit BenchWindow(Clock& clock) : MainWindow(clock) {}
  void ProcessMessages() override {}
  void WaitMessages(uint32_t max_ms) override {
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(max_ms));
    waited += std::chrono::steady_clock::now() - start;
  }
  void OpenErrorLog(const std::string&) override {}
  bool IsHeadless() const override { return true; }
  std::chrono::steady_clock::duration waited{};

 protected:
  void ShowDialog(const std::string&, const std::string&) override {}
};

std::string Batch(int script, int batch) {
  return "INSERT INTO T VALUES (" + std::to_string(script) + ", " + std::to_string(batch) +
         ", N'Čćžšđ')";
}

// The peer is found by its data folder on its command line: the peer's wrapper does not tell
// its process.
pid_t FindProcessWith(const std::string& text) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    std::string command((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::replace(command.begin(), command.end(), '\0', ' ');
    if (command.find(text) != std::string::npos) return static_cast<pid_t>(std::stol(name));
  }
  return -1;
}

// User and system CPU time of a process so far, all its threads together; negative when it
// cannot be read.
double CpuSeconds(pid_t pid) {
  if (pid <= 0) return -1;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) return -1;
  // After the name: state, then ten fields up to utime and stime (fields 14 and 15).
  std::istringstream fields(stat.substr(name_end + 2));
  std::string field;
  for (int i = 0; i < 11; ++i) fields >> field;
  long long utime = 0, stime = 0;
  if (!(fields >> utime >> stime)) return -1;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// What the table holds, counted by a connection of its own: every batch must have written one
// row of its own, its text intact.
std::string Rows(SqlSession& checker) {
  auto count = [&](const std::string& sql) {
    const auto rows = checker.Query(sql);
    return rows.empty() ? std::string("?") : rows[0].Text("n").value_or("NULL");
  };
  return count("SELECT COUNT(*) AS n FROM T") + " rows, " +
         count("SELECT COUNT(*) AS n FROM (SELECT DISTINCT s, b FROM T) AS d") + " distinct, " +
         count("SELECT COUNT(*) AS n FROM T WHERE t = N'Čćžšđ'") + " with the text";
}

// tsql ends with status 0 even after a failed batch: its output tells.
std::string TsqlError(const std::string& output) {
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::string lower = line;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    if (line.find("Msg ") != std::string::npos || lower.find("error") != std::string::npos) {
      // The server's text follows a "Msg" line on a line of its own.
      std::string text;
      if (std::getline(lines, text)) {
        const size_t start = text.find_first_not_of(" \t");
        if (start != std::string::npos) line += " " + text.substr(start);
      }
      return line;
    }
  }
  return "";
}

// The best of the runs: its time, the share of it in pauses, the peer's CPU time during it.
struct Best {
  Seconds working{1e30};
  Seconds total{};
  Seconds paused{};
  double peer_cpu = -1;
};

void Keep(Best& best, Seconds total, Seconds paused, double peer_cpu) {
  if (total - paused < best.working) best = {total - paused, total, paused, peer_cpu};
}

std::string PeerShare(const Best& best, const char* side) {
  if (best.peer_cpu < 0) return std::string("unknown for ") + side;
  char text[128];
  std::snprintf(text, sizeof text, "%.2f s of %s's %.2f s (%.0f %%)", best.peer_cpu, side,
                best.working.count(), 100.0 * best.peer_cpu / best.working.count());
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const int scripts = argc > 1 ? std::atoi(argv[1]) : 200;
  const int batches = argc > 2 ? std::atoi(argv[2]) : 20;
  if (!std::getenv("ZEPR_SOURCE_DIR")) setenv("ZEPR_SOURCE_DIR", ZEPR_SOURCE_DIR_DEFAULT, 1);
  const std::string tsql_program = testing::FindProgram("tsql");
  if (tsql_program.empty()) {
    std::printf("skipped: tsql is not installed, nothing to compare with\n");
    return 0;
  }

  testing::TempDir dir;
  testing::TdsPeer peer(
      dir.path() / "peer",
      "{\"users\": {\"sa\": \"pw\"}, \"databases\": {\"Radna\": ["
      "\"CREATE TABLE T (s int, b int, t nvarchar(20))\", "
      "\"CREATE TABLE OpcijeAplikacije (SEKCIJA, Kljuc, Vrijednost, Komentar)\"]}}");
  const pid_t peer_pid = FindProcessWith((dir.path() / "peer" / "data").string());
  auto peer_cpu = [&] { return CpuSeconds(peer_pid); };
  auto cpu_between = [](double before, double after) {
    return before < 0 || after < 0 ? -1.0 : after - before;
  };

  const auto folder = dir.path() / "app" / "Update" / "UpdateBaze";
  std::filesystem::create_directories(folder);
  std::string all_batches;
  for (int s = 0; s < scripts; ++s) {
    // UTF-8 needs its byte-order mark: a script without one is read as CP1250.
    std::string text = "\xEF\xBB\xBF";
    for (int b = 0; b < batches; ++b) {
      text += Batch(s, b) + "\r\nGO\r\n";
      all_batches += Batch(s, b) + "\ngo\n";
    }
    char name[32];
    std::snprintf(name, sizeof name, "skripta%04d.sql", s);
    testing::WriteFile(folder / name, text);
  }
  const int count = scripts * batches;
  const std::string expected = std::to_string(count) + " rows, " + std::to_string(count) +
                               " distinct, " + std::to_string(count) + " with the text";

  const ConnectionItems items{peer.server(), "sa", "pw", "Radna"};
  SqlSession checker;
  checker.Open(items);

  SystemClock clock;
  BenchWindow window(clock);
  SqlSession session;
  Outcome runner{"script runner"};
  Best runner_best;
  for (int run = 1; run <= kRuns; ++run) {
    checker.Execute("DELETE FROM T");
    RunParams params;
    params.ExeFolder = (dir.path() / "app").string() + "/";
    params.AppExeName = "Demo";
    params.LastRun = "0";
    params.ConnectionList = {peer.server(), "sa", "pw", "Radna"};
    params.ConnectionText = "x";
    window.waited = {};
    const double cpu_before = peer_cpu();
    const auto start = std::chrono::steady_clock::now();
    RunSqlScripts(window, params, session, [](const std::string&) { return std::string(); });
    const Seconds total = std::chrono::steady_clock::now() - start;
    const double cpu = cpu_between(cpu_before, peer_cpu());
    runner.found = Rows(checker);
    if (params.Outcome != ExitStatus::kCompleted) {
      runner.Fail("run " + std::to_string(run) + " ended with status " +
                  std::to_string(static_cast<int>(params.Outcome)));
    } else if (runner.found != expected) {
      runner.Fail("run " + std::to_string(run));
    }
    if (!runner.failure.empty()) break;
    Keep(runner_best, total, window.waited, cpu);
  }

  const auto input = dir.path() / "tsql.in";
  testing::WriteFile(input, all_batches + "exit\n");
  const std::string command = "'" + tsql_program + "' -H 127.0.0.1 -p " +
                              std::to_string(peer.port()) + " -U sa -P pw -D Radna < '" +
                              input.string() + "'";
  Outcome tsql{"tsql"};
  Best tsql_best;
  for (int run = 1; run <= kRuns; ++run) {
    checker.Execute("DELETE FROM T");
    const double cpu_before = peer_cpu();
    const auto start = std::chrono::steady_clock::now();
    const auto result = testing::RunProgram({"/bin/sh", "-c", command});
    const Seconds took = std::chrono::steady_clock::now() - start;
    const double cpu = cpu_between(cpu_before, peer_cpu());
    tsql.found = Rows(checker);
    const std::string error = TsqlError(result.output);
    if (!error.empty()) {
      tsql.Fail("run " + std::to_string(run) + ": " + error);
    } else if (result.exit_code != 0) {
      tsql.Fail("run " + std::to_string(run) + " exit status " + std::to_string(result.exit_code));
    } else if (tsql.found != expected) {
      tsql.Fail("run " + std::to_string(run));
    }
    if (!tsql.failure.empty()) break;
    Keep(tsql_best, took, {}, cpu);
  }

  bench::RequireCheck("rows written", expected, {runner, tsql});
  std::printf(
      "script runner: %d scripts x %d batches in %.2f s, of which %.2f s pauses (best of %d)\n",
      scripts, batches, runner_best.total.count(), runner_best.paused.count(), kRuns);
  std::printf("  batches per second outside the pauses: %.0f\n",
              count / runner_best.working.count());
  std::printf("  share of time outside the 200 ms pauses: %.1f %%\n",
              100.0 * runner_best.working.count() / runner_best.total.count());
  std::printf("tsql, same batches: %.2f s, %.0f batches per second (best of %d)\n",
              tsql_best.working.count(), count / tsql_best.working.count(), kRuns);
  std::printf("the peer's own CPU time: %s; %s\n", PeerShare(runner_best, "the runner").c_str(),
              PeerShare(tsql_best, "tsql").c_str());
  std::printf("  ratio runner/tsql (batches per second): %.2f\n",
              tsql_best.working.count() / runner_best.working.count());
  return 0;
}
