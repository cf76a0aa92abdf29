// Throughput of HttpDownloadFile against `curl -o` on the same 300 MB file from the local
// endpoint. Goal: within 10% of curl. Run: build-*/bench/transfer/http_download_bench [MB]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/clock.h"
#include "core/main_window.h"
#include "support/peer_process.h"
#include "support/sandbox.h"
#include "transfer/http_download.h"

namespace {

namespace fs = std::filesystem;
using zepr::testing::PeerProcess;
using zepr::testing::TempDir;

// A window on the real clock that draws nothing but counts what it would repaint.
class CountingWindow : public zepr::MainWindow {
 public:
  explicit CountingWindow(zepr::Clock& clock) : MainWindow(clock) {}
  void ProcessMessages() override {}
  void WaitMessages(uint32_t max_ms) override { clock().Sleep(max_ms); }
  void OpenErrorLog(const std::string&) override {}
  bool IsHeadless() const override { return true; }
  int repaints = 0;

 protected:
  void ShowDialog(const std::string& title, const std::string& text) override {
    std::fprintf(stderr, "dialog %s: %s\n", title.c_str(), text.c_str());
  }
  void Changed(zepr::Element what) override {
    if (what == zepr::Element::kLabel1 || what == zepr::Element::kProgress) ++repaints;
  }
};

void MakeFile(const fs::path& path, size_t megabytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  std::string block(1 << 20, '\0');
  for (size_t mb = 0; mb < megabytes; ++mb) {
    for (size_t i = 0; i < block.size(); i += 64) block[i] = static_cast<char>(mb * 7 + i);
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
}

template <typename F>
double BestSeconds(const char* what, int runs, F&& run) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!run()) {
      std::fprintf(stderr, "%s failed\n", what);
      std::exit(1);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

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
  zepr::CurlHttpClient client(window, "Benchmark", {.pause_after_download = false});
  constexpr int kRuns = 3;

  const double ours = BestSeconds("HttpDownloadFile", kRuns, [&] {
    return client.HttpDownloadFile(url, target, "Update.zip");
  });
  const int repaints = window.repaints / kRuns;
  if (fs::file_size(target) != megabytes << 20) {
    std::fprintf(stderr, "wrong size\n");
    return 1;
  }
  const double curl = BestSeconds("curl", kRuns, [&] {
    auto result = zepr::testing::RunProgram(
        {"/usr/bin/curl", "-s", "-f", "--noproxy", "*", "-o", target, url});
    return result.exit_code == 0;
  });

  const double mb = static_cast<double>(megabytes);
  std::printf("file                 %zu MB, best of %d runs\n", megabytes, kRuns);
  std::printf("HttpDownloadFile     %.3f s  %8.1f MB/s  (status check included, %d repaints)\n",
              ours, mb / ours, repaints);
  std::printf("curl -o              %.3f s  %8.1f MB/s\n", curl, mb / curl);
  std::printf("throughput ratio     %.2f of curl (goal: 0.90 or more)\n", curl / ours);
  return 0;
}
