// A download cut at 90 % and completed by the next run, against a whole download of the same
// 1 GiB archive, side by side. Goals: the completing run moves at most 11 % of the file over
// the wire (bytes counted by the endpoint) and takes at most 0.15 of the whole download's time.
// Both files are checked (size and digest) before the figures are printed. Run:
// build-*/bench/transfer/resume_bench [MB]
#include <unistd.h>

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
using zepr::bench::CountingWindow;
using zepr::bench::MakeFile;
using zepr::bench::Outcome;
using zepr::testing::PeerProcess;
using zepr::testing::TempDir;

uint64_t Sent(const fs::path& path) {
  const std::string text = zepr::testing::ReadFile(path);
  return text.empty() ? 0 : std::stoull(text);
}

double Seconds(const std::chrono::steady_clock::time_point& start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
  if (!std::getenv("ZEPR_SOURCE_DIR")) setenv("ZEPR_SOURCE_DIR", ZEPR_SOURCE_DIR_DEFAULT, 1);
  // Loopback only; a proxy from the environment would measure the proxy.
  setenv("no_proxy", "*", 1);
  TempDir served;
  TempDir local;
  const fs::path source = served.path() / "Klijent" / "APP" / "Update.zip";
  MakeFile(source, megabytes);
  const uint64_t size = fs::file_size(source);
  const std::string expected = zepr::bench::SizeAndDigest(source);
  const fs::path control = served.path() / "control.json";
  const fs::path sent = served.path() / "sent";
  PeerProcess endpoint({zepr::testing::SystemPython(),
                        zepr::testing::SupportFile("http_endpoint.py"), "--root", served.folder(),
                        "--control", control.string(), "--sent", sent.string()});
  const std::string url = "http://127.0.0.1:" + std::to_string(endpoint.port()) +
                          "/download/_UPDATE/update.php?file=Klijent/APP/UPDATE.ZIP";
  const fs::path target = local.path() / "Update.zip";
  const std::string resume = (local.path() / "ZEPRUpdateNastavak").string();

  zepr::SystemClock clock;
  CountingWindow window(clock);
  const zepr::HttpOptions options{.pause_after_download = false, .resume_folder = resume};

  // Each timed run starts with nothing of the earlier ones waiting to be written back.
  ::sync();
  // The whole download.
  Outcome whole_outcome{"whole download"};
  uint64_t before = Sent(sent);
  auto start = std::chrono::steady_clock::now();
  {
    zepr::SystemHttpClient client(window, options);
    if (!client.HttpDownloadFile(url, target.string(), "Update.zip")) whole_outcome.Fail("failed");
  }
  const double whole = Seconds(start);
  const uint64_t whole_bytes = Sent(sent) - before;
  whole_outcome.found = zepr::bench::SizeAndDigest(target);
  fs::remove(target);

  // A run whose download is cut at 90 % every time gives up and keeps the bytes...
  zepr::testing::WriteFile(control, R"({"*": {"cut": )" + std::to_string(size * 9 / 10) + "}}");
  {
    zepr::SystemHttpClient client(window, options);
    if (client.HttpDownloadFile(url, target.string(), "Update.zip")) {
      std::fprintf(stderr, "the cut download did not fail\n");
      return 1;
    }
  }
  // ...and the next one completes them.
  zepr::testing::WriteFile(control, "{}");
  ::sync();
  Outcome resumed_outcome{"completing run"};
  before = Sent(sent);
  start = std::chrono::steady_clock::now();
  {
    zepr::SystemHttpClient client(window, options);
    if (!client.HttpDownloadFile(url, target.string(), "Update.zip")) {
      resumed_outcome.Fail("failed");
    }
  }
  const double resumed = Seconds(start);
  const uint64_t resumed_bytes = Sent(sent) - before;
  resumed_outcome.found = zepr::bench::SizeAndDigest(target);

  zepr::bench::RequireCheck("downloaded file", expected, {whole_outcome, resumed_outcome});
  const double moved = static_cast<double>(resumed_bytes) / static_cast<double>(size);
  const double time_ratio = resumed / whole;
  std::printf("file                 %zu MB, cut at 90 %% by the first run\n", megabytes);
  std::printf("whole download       %.3f s  %llu bytes over the wire\n", whole,
              static_cast<unsigned long long>(whole_bytes));
  std::printf("completing run       %.3f s  %llu bytes over the wire\n", resumed,
              static_cast<unsigned long long>(resumed_bytes));
  std::printf("bytes moved          %.3f of the file (goal: at most 0.11) %s\n", moved,
              moved <= 0.11 ? "met" : "NOT MET");
  std::printf("time                 %.3f of a whole download (goal: at most 0.15) %s\n", time_ratio,
              time_ratio <= 0.15 ? "met" : "NOT MET");
  return 0;
}
