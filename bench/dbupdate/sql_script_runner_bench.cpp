// Runs many scripts through the script runner against the TDS peer and compares the time
// spent on batches with the FreeTDS command-line client sending the same batches.
//
//   sql_script_runner_bench [scripts=200] [batches per script=20]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "core/clock.h"
#include "core/main_window.h"
#include "dbupdate/sql_script_runner.h"
#include "dbupdate/sql_session.h"
#include "support/sandbox.h"
#include "support/tds_peer_process.h"

namespace {

using namespace zepr;
using Seconds = std::chrono::duration<double>;

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

}  // namespace

int main(int argc, char** argv) {
  const int scripts = argc > 1 ? std::atoi(argv[1]) : 200;
  const int batches = argc > 2 ? std::atoi(argv[2]) : 20;
  if (!std::getenv("ZEPR_SOURCE_DIR")) setenv("ZEPR_SOURCE_DIR", ZEPR_SOURCE_DIR_DEFAULT, 1);

  testing::TempDir dir;
  testing::TdsPeer peer(
      dir.path() / "peer",
      "{\"users\": {\"sa\": \"pw\"}, \"databases\": {\"Radna\": ["
      "\"CREATE TABLE T (s int, b int, t nvarchar(20))\", "
      "\"CREATE TABLE OpcijeAplikacije (SEKCIJA, Kljuc, Vrijednost, Komentar)\"]}}");

  const auto folder = dir.path() / "app" / "Update" / "UpdateBaze";
  std::filesystem::create_directories(folder);
  std::string all_batches;
  for (int s = 0; s < scripts; ++s) {
    std::string text;
    for (int b = 0; b < batches; ++b) {
      text += Batch(s, b) + "\r\nGO\r\n";
      all_batches += Batch(s, b) + "\ngo\n";
    }
    char name[32];
    std::snprintf(name, sizeof name, "skripta%04d.sql", s);
    testing::WriteFile(folder / name, text);
  }

  RunParams params;
  params.ExeFolder = (dir.path() / "app").string() + "/";
  params.AppExeName = "Demo";
  params.LastRun = "0";
  params.ConnectionList = {peer.server(), "sa", "pw", "Radna"};
  params.ConnectionText = "x";

  SystemClock clock;
  BenchWindow window(clock);
  SqlSession session;
  auto start = std::chrono::steady_clock::now();
  RunSqlScripts(window, params, session, [](const std::string&) { return std::string(); });
  const Seconds total = std::chrono::steady_clock::now() - start;
  const Seconds paused = window.waited;
  const Seconds working = total - paused;

  const int count = scripts * batches;
  const auto input = dir.path() / "tsql.in";
  testing::WriteFile(input, all_batches + "exit\n");
  const std::string command = "tsql -H 127.0.0.1 -p " + std::to_string(peer.port()) +
                              " -U sa -P pw -D Radna < '" + input.string() + "' > /dev/null 2>&1";
  start = std::chrono::steady_clock::now();
  const int rc = std::system(command.c_str());
  const Seconds tsql = std::chrono::steady_clock::now() - start;

  std::printf("script runner: %d scripts x %d batches in %.2f s, of which %.2f s pauses\n", scripts,
              batches, total.count(), paused.count());
  std::printf("  batches per second outside the pauses: %.0f\n", count / working.count());
  std::printf("  share of time outside the 200 ms pauses: %.1f %%\n",
              100.0 * working.count() / total.count());
  if (rc == 0) {
    std::printf("tsql, same batches: %.2f s, %.0f batches per second\n", tsql.count(),
                count / tsql.count());
    std::printf("  ratio runner/tsql (batches per second): %.2f\n",
                (count / working.count()) / (count / tsql.count()));
  } else {
    std::printf("tsql not available (exit %d), no comparison\n", rc);
  }
  return 0;
}
