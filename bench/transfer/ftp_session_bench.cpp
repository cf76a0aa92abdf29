// Throughput of FtpSession::Retrieve against `curl -o` on the same 300 MB file from the local
// FTP server. Goal: within 10% of curl. Every run's file is checked (size and digest) before the
// ratio is printed; a failed check ends with status 1. Run:
// build-*/bench/transfer/ftp_session_bench [MB]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/clock.h"
#include "core/errors.h"
#include "support/peer_process.h"
#include "support/sandbox.h"
#include "transfer/ftp_session.h"
#include "transfer_bench.h"

namespace {

namespace fs = std::filesystem;
using zepr::bench::CheckedBestSeconds;
using zepr::bench::CountingWindow;
using zepr::bench::MakeFile;
using zepr::bench::Outcome;
using zepr::testing::PeerProcess;
using zepr::testing::TempDir;

constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench";

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 300;
  if (!std::getenv("ZEPR_SOURCE_DIR")) setenv("ZEPR_SOURCE_DIR", ZEPR_SOURCE_DIR_DEFAULT, 1);
  TempDir served;
  TempDir local;
  const fs::path source = served.path() / "KLIJENT" / "APP" / "Update.zip";
  MakeFile(source, megabytes);
  const std::string expected = zepr::bench::SizeAndDigest(source);
  PeerProcess server({zepr::testing::SystemPython(), zepr::testing::SupportFile("ftp_server.py"),
                      "--root", served.path().string(), "--user", kUser, "--password", kPassword,
                      "--time-limit", "600"});
  const std::string target = (local.path() / "Update.zip").string();

  zepr::SystemClock clock;
  CountingWindow window(clock);
  zepr::FtpSession session(window);
  zepr::FtpSettings settings;
  settings.host = "127.0.0.1";
  settings.port = server.port();
  settings.passive = true;
  settings.user = kUser;
  settings.password = kPassword;
  settings.remote_folder = "KLIJENT/APP/";
  constexpr int kRuns = 3;

  // Each run logs in afresh, as curl does.
  Outcome ours_outcome{"FtpSession"};
  const double ours = CheckedBestSeconds(ours_outcome, kRuns, target, expected, [&] {
    if (!session.Connect(settings)) return false;
    try {
      session.Retrieve("Update.zip", target);
    } catch (const zepr::UpdateError& e) {
      ours_outcome.Fail(e.what());
      return false;
    }
    session.Close();
    return true;
  });
  const int updates = window.repaints[zepr::Element::kStatistics] / kRuns;
  const std::string url = "ftp://" + std::string(kUser) + ":" + kPassword +
                          "@127.0.0.1:" + std::to_string(server.port()) + "/KLIJENT/APP/Update.zip";
  Outcome curl_outcome{"curl"};
  const double curl = CheckedBestSeconds(curl_outcome, kRuns, target, expected, [&] {
    auto result =
        zepr::testing::RunProgram({"/usr/bin/curl", "-sS", "--noproxy", "*", "-o", target, url});
    if (result.exit_code != 0) {
      curl_outcome.Fail("exit status " + std::to_string(result.exit_code) + ": " + result.output);
    }
    return result.exit_code == 0;
  });

  zepr::bench::RequireCheck("retrieved file", expected, {ours_outcome, curl_outcome});
  zepr::bench::PrintComparison("FtpSession",
                               "login included, " + std::to_string(updates) + " statistics updates",
                               megabytes, kRuns, ours, curl);
  return 0;
}
