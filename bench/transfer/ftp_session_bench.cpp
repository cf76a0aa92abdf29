// Throughput of FtpSession::Retrieve against `curl -o` on the same 300 MB file from the local
// FTP server. Goal: within 10% of curl. Run: build-*/bench/transfer/ftp_session_bench [MB]
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
using zepr::bench::BestSeconds;
using zepr::bench::CountingWindow;
using zepr::bench::MakeFile;
using zepr::testing::PeerProcess;
using zepr::testing::TempDir;

constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench";

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 300;
  TempDir served;
  TempDir local;
  MakeFile(served.path() / "KLIJENT" / "APP" / "Update.zip", megabytes);
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
  const double ours = BestSeconds("FtpSession", kRuns, target, [&] {
    if (!session.Connect(settings)) return false;
    try {
      session.Retrieve("Update.zip", target);
    } catch (const zepr::UpdateError& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return false;
    }
    session.Close();
    return true;
  });
  const int updates = window.repaints[zepr::Element::kStatistics] / kRuns;
  if (fs::file_size(target) != megabytes << 20) {
    std::fprintf(stderr, "wrong size\n");
    return 1;
  }
  const std::string url = "ftp://" + std::string(kUser) + ":" + kPassword +
                          "@127.0.0.1:" + std::to_string(server.port()) + "/KLIJENT/APP/Update.zip";
  const double curl = BestSeconds("curl", kRuns, target, [&] {
    auto result =
        zepr::testing::RunProgram({"/usr/bin/curl", "-sS", "--noproxy", "*", "-o", target, url});
    if (result.exit_code != 0) std::fprintf(stderr, "%s", result.output.c_str());
    return result.exit_code == 0;
  });

  zepr::bench::PrintComparison("FtpSession",
                               "login included, " + std::to_string(updates) + " statistics updates",
                               megabytes, kRuns, ours, curl);
  return 0;
}
