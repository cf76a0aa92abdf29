// The Windows HTTP download (WinINet under Wine) against the libcurl one on the same 300 MB
// file from the local endpoint, in one run. Goal: at least 0.8 of libcurl's throughput, with
// one request per download. The Windows side is the WinINet test program of the Windows build
// named by ZEPR_WINDOWS_BUILD_DIR; its own timing leaves out Wine's start.
// Run: build-*/bench/transfer/wininet_download_bench [MB]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/clock.h"
#include "support/peer_process.h"
#include "support/sandbox.h"
#include "transfer/http_download.h"
#include "transfer_bench.h"

namespace {

namespace fs = std::filesystem;
using zepr::bench::BestSeconds;
using zepr::bench::CountingWindow;
using zepr::bench::MakeFile;
using zepr::testing::PeerProcess;
using zepr::testing::TempDir;

constexpr const char* kProgram = "wininet_transfer_test.exe";

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 300;
  const char* build_dir = std::getenv("ZEPR_WINDOWS_BUILD_DIR");
  if (build_dir == nullptr || *build_dir == '\0') {
    std::printf("skipped: ZEPR_WINDOWS_BUILD_DIR does not name the Windows build\n");
    return 0;
  }
  const fs::path program = zepr::testing::FindWindowsProgram(build_dir, kProgram);
  if (program.empty()) {
    std::printf("skipped: no %s under %s\n", kProgram, build_dir);
    return 0;
  }
  const std::string wine = zepr::testing::FindProgram("wine");
  if (wine.empty()) {
    std::printf("skipped: wine is not installed\n");
    return 0;
  }
  const char* prefix = std::getenv("WINEPREFIX");
  const fs::path wine_prefix =
      prefix != nullptr && *prefix != '\0' ? fs::path(prefix) : fs::path(build_dir) / "wineprefix";
  const auto prepared = zepr::testing::RunProgram(
      {(zepr::testing::SourceDir() / "scripts" / "wine-prefix").string(), wine_prefix.string()});
  if (prepared.exit_code != 0) {
    std::fprintf(stderr, "wine prefix: %s\n", prepared.output.c_str());
    return 1;
  }

  // Loopback only; a proxy from the environment would measure the proxy.
  setenv("no_proxy", "*", 1);
  TempDir served;
  TempDir local;
  MakeFile(served.path() / "Klijent" / "APP" / "Update.zip", megabytes);
  PeerProcess endpoint({zepr::testing::SystemPython(),
                        zepr::testing::SupportFile("http_endpoint.py"), "--root", served.folder()});
  const std::string url = "http://127.0.0.1:" + std::to_string(endpoint.port()) +
                          "/download/_UPDATE/update.php?file=Klijent/APP/UPDATE.ZIP";
  const std::string target = (local.path() / "Update.zip").string();
  constexpr int kRuns = 3;

  zepr::SystemClock clock;
  CountingWindow window(clock);
  zepr::SystemHttpClient client(window, {.pause_after_download = false});
  const double curl = BestSeconds("libcurl HttpDownloadFile", kRuns, target, [&] {
    return client.HttpDownloadFile(url, target, "Update.zip");
  });

  const auto start = std::chrono::steady_clock::now();
  const auto result = zepr::testing::RunProgram(
      {wine, program.string()}, {"WINEPREFIX=" + wine_prefix.string(), "WINEDEBUG=-all",
                                 "DISPLAY=", "GTEST_FILTER=WininetBench.*", "ZEPR_BENCH_URL=" + url,
                                 "ZEPR_BENCH_RUNS=" + std::to_string(kRuns)});
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  const size_t at = result.output.find("BENCH seconds ");
  if (result.exit_code != 0 || at == std::string::npos) {
    std::fprintf(stderr, "the Windows download failed:\n%s\n", result.output.c_str());
    return 1;
  }
  const double wininet = std::strtod(result.output.c_str() + at + 14, nullptr);

  const double mb = static_cast<double>(megabytes);
  std::printf("file                 %zu MB, best of %d runs, one request per download\n", megabytes,
              kRuns);
  std::printf("WinINet under Wine   %.3f s  %8.1f MB/s  (Wine's start and the %d runs: %.1f s)\n",
              wininet, mb / wininet, kRuns, wall.count());
  std::printf("libcurl              %.3f s  %8.1f MB/s\n", curl, mb / curl);
  const double ratio = curl / wininet;
  std::printf("throughput ratio     %.2f of libcurl (goal: at least 0.80) %s\n", ratio,
              ratio >= 0.8 ? "met" : "NOT MET");
  return 0;
}
