#pragma once

// What the transfer benchmarks share: a window that only counts, a test file, the timing and
// the check of each run's file.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "bench_check.h"
#include "core/main_window.h"

namespace zepr::bench {

// A window on the real clock that draws nothing but counts what it would repaint.
class CountingWindow : public MainWindow {
 public:
  explicit CountingWindow(Clock& clock) : MainWindow(clock) {}
  void ProcessMessages() override {}
  void WaitMessages(uint32_t max_ms) override { clock().Sleep(max_ms); }
  void OpenErrorLog(const std::string&) override {}
  bool IsHeadless() const override { return true; }
  std::map<Element, int> repaints;

 protected:
  void ShowDialog(const std::string& title, const std::string& text) override {
    std::fprintf(stderr, "dialog %s: %s\n", title.c_str(), text.c_str());
  }
  void Changed(Element what) override { ++repaints[what]; }
};

// megabytes of bytes that do not compress to nothing.
inline void MakeFile(const std::filesystem::path& path, size_t megabytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  std::string block(1 << 20, '\0');
  for (size_t mb = 0; mb < megabytes; ++mb) {
    for (size_t i = 0; i < block.size(); i += 64) block[i] = static_cast<char>(mb * 7 + i);
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
}

// The best of several runs, each starting without the target file; a failed run ends the
// benchmark.
template <typename F>
double BestSeconds(const char* what, int runs, const std::filesystem::path& target, F&& run) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    std::filesystem::remove(target);
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

// The best of several runs like BestSeconds, each run's file checked against expected once
// its clock has stopped: a run that fails or leaves another file ends the runs and is noted on
// the outcome, whose check then prints no ratio.
template <typename F>
double CheckedBestSeconds(Outcome& outcome, int runs, const std::filesystem::path& target,
                          const std::string& expected, F&& run) {
  double best = 1e30;
  for (int i = 1; i <= runs; ++i) {
    std::filesystem::remove(target);
    const auto start = std::chrono::steady_clock::now();
    const bool ok = run();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    outcome.found = SizeAndDigest(target);
    if (!ok || outcome.found != expected) {
      outcome.Fail("run " + std::to_string(i) + (ok ? " left another file" : " failed"));
      break;
    }
    best = std::min(best, took.count());
  }
  return best;
}

// The comparison lines every transfer benchmark prints.
inline void PrintComparison(const char* ours_name, const std::string& ours_detail, size_t megabytes,
                            int runs, double ours, double curl) {
  const double mb = static_cast<double>(megabytes);
  std::printf("file                 %zu MB, best of %d runs\n", megabytes, runs);
  std::printf("%-20s %.3f s  %8.1f MB/s  (%s)\n", ours_name, ours, mb / ours, ours_detail.c_str());
  std::printf("curl -o              %.3f s  %8.1f MB/s\n", curl, mb / curl);
  std::printf("throughput ratio     %.2f of curl (goal: 0.90 or more)\n", curl / ours);
}

}  // namespace zepr::bench
