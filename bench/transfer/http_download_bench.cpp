// Throughput of HttpDownloadFile against `curl -o` on the same 300 MB file from the local
// endpoint. Goal: within 10% of curl. Run: build-*/bench/transfer/http_download_bench [MB]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 300;
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

  zepr::SystemClock clock;
  CountingWindow window(clock);
  zepr::SystemHttpClient client(window, "Benchmark", {.pause_after_download = false});
  constexpr int kRuns = 3;

  const double ours = BestSeconds("HttpDownloadFile", kRuns, target, [&] {
    return client.HttpDownloadFile(url, target, "Update.zip");
  });
  const int repaints =
      (window.repaints[zepr::Element::kLabel1] + window.repaints[zepr::Element::kProgress]) / kRuns;
  if (fs::file_size(target) != megabytes << 20) {
    std::fprintf(stderr, "wrong size\n");
    return 1;
  }
  const double curl = BestSeconds("curl", kRuns, target, [&] {
    auto result = zepr::testing::RunProgram(
        {"/usr/bin/curl", "-s", "-f", "--noproxy", "*", "-o", target, url});
    return result.exit_code == 0;
  });

  zepr::bench::PrintComparison("HttpDownloadFile",
                               "status check included, " + std::to_string(repaints) + " repaints",
                               megabytes, kRuns, ours, curl);
  return 0;
}
