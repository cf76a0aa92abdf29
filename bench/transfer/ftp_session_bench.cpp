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
#include "core/main_window.h"
#include "support/peer_process.h"
#include "support/sandbox.h"
#include "transfer/ftp_session.h"

namespace {

namespace fs = std::filesystem;
using zepr::testing::PeerProcess;
using zepr::testing::TempDir;

constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench";

// A window on the real clock that draws nothing but counts the statistics updates.
class CountingWindow : public zepr::MainWindow {
 public:
  explicit CountingWindow(zepr::Clock& clock) : MainWindow(clock) {}
  void ProcessMessages() override {}
  void WaitMessages(uint32_t max_ms) override { clock().Sleep(max_ms); }
  void OpenErrorLog(const std::string&) override {}
  bool IsHeadless() const override { return true; }
  int updates = 0;

 protected:
  void ShowDialog(const std::string& title, const std::string& text) override {
    std::fprintf(stderr, "dialog %s: %s\n", title.c_str(), text.c_str());
  }
  void Changed(zepr::Element what) override {
    if (what == zepr::Element::kStatistics) ++updates;
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
double BestSeconds(int runs, const fs::path& target, F&& run) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    fs::remove(target);
    const auto start = std::chrono::steady_clock::now();
    if (!run()) {
      std::fprintf(stderr, "transfer failed\n");
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
  const double ours = BestSeconds(kRuns, target, [&] {
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
  const int updates = window.updates / kRuns;
  if (fs::file_size(target) != megabytes << 20) {
    std::fprintf(stderr, "wrong size\n");
    return 1;
  }
  const std::string url = "ftp://" + std::string(kUser) + ":" + kPassword +
                          "@127.0.0.1:" + std::to_string(server.port()) + "/KLIJENT/APP/Update.zip";
  const double curl = BestSeconds(kRuns, target, [&] {
    auto result =
        zepr::testing::RunProgram({"/usr/bin/curl", "-sS", "--noproxy", "*", "-o", target, url});
    if (result.exit_code != 0) std::fprintf(stderr, "%s", result.output.c_str());
    return result.exit_code == 0;
  });

  const double mb = static_cast<double>(megabytes);
  std::printf("file                 %zu MB, best of %d runs\n", megabytes, kRuns);
  std::printf("FtpSession           %.3f s  %8.1f MB/s  (login included, %d statistics updates)\n",
              ours, mb / ours, updates);
  std::printf("curl -o              %.3f s  %8.1f MB/s\n", curl, mb / curl);
  std::printf("throughput ratio     %.2f of curl (goal: 0.90 or more)\n", curl / ours);
  return 0;
}
