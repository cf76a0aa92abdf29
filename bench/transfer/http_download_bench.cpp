// Throughput of HttpDownloadFile against `curl -o` on the same 300 MB file from the local
// endpoint. Goal: within 10% of curl. Every run's file is checked (size and digest) before the
// ratio is printed; a failed check ends with status 1. Run:
// build-*/bench/transfer/http_download_bench [MB]
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
using zepr::bench::CheckedBestSeconds;
using zepr::bench::CountingWindow;
using zepr::bench::MakeFile;
using zepr::bench::Outcome;
using zepr::testing::PeerProcess;
using zepr::testing::TempDir;

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 300;
  if (!std::getenv("ZEPR_SOURCE_DIR")) setenv("ZEPR_SOURCE_DIR", ZEPR_SOURCE_DIR_DEFAULT, 1);
  // Loopback only; a proxy from the environment would measure the proxy.
  setenv("no_proxy", "*", 1);
  TempDir served;
  TempDir local;
  const fs::path source = served.path() / "Klijent" / "APP" / "Update.zip";
  MakeFile(source, megabytes);
  const std::string expected = zepr::bench::SizeAndDigest(source);
  PeerProcess endpoint({zepr::testing::SystemPython(),
                        zepr::testing::SupportFile("http_endpoint.py"), "--root", served.folder()});
  const std::string url = "http://127.0.0.1:" + std::to_string(endpoint.port()) +
                          "/download/_UPDATE/update.php?file=Klijent/APP/UPDATE.ZIP";
  const std::string target = (local.path() / "Update.zip").string();

  zepr::SystemClock clock;
  CountingWindow window(clock);
  zepr::SystemHttpClient client(window, {.pause_after_download = false});
  constexpr int kRuns = 3;

  Outcome ours_outcome{"HttpDownloadFile"};
  const double ours = CheckedBestSeconds(ours_outcome, kRuns, target, expected, [&] {
    return client.HttpDownloadFile(url, target, "Update.zip");
  });
  const int repaints =
      (window.repaints[zepr::Element::kLabel1] + window.repaints[zepr::Element::kProgress]) / kRuns;
  Outcome curl_outcome{"curl"};
  const double curl = CheckedBestSeconds(curl_outcome, kRuns, target, expected, [&] {
    auto result = zepr::testing::RunProgram(
        {"/usr/bin/curl", "-s", "-f", "--noproxy", "*", "-o", target, url});
    if (result.exit_code != 0) curl_outcome.Fail("exit status " + std::to_string(result.exit_code));
    return result.exit_code == 0;
  });

  zepr::bench::RequireCheck("downloaded file", expected, {ours_outcome, curl_outcome});
  zepr::bench::PrintComparison("HttpDownloadFile",
                               "status check included, " + std::to_string(repaints) + " repaints",
                               megabytes, kRuns, ours, curl);
  return 0;
}
