// Extraction and install of an update the size of a large release (about 2000 files,
// 200 MB), against what an operator would do by hand: "bsdtar -xf" and "cp -a". The install is
// measured into an empty application folder and over an installation of the same tree, where
// every file is journaled, backed up and replaced. Usage: install_bench [files] [megabytes].
// Prints seconds (best of three), the ratios ours / theirs and the peak memory.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <string_view>

#include "install/install_script.h"
#include "install/unzip.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;

// The mirror is measured, not the pauses of stopping programs.
class NoProcesses : public zepr::Processes {
 public:
  zepr::platform::StartResult StartProgram(const std::vector<std::string>&, bool, bool) override {
    return {};
  }
  bool IsProgramRunning(const std::string&) override { return false; }
  void StopProgram(const std::string&) override {}
};

// Half the files random (as compressed resources are), half text-like.
void MakeTree(const fs::path& root, int files, int64_t total_bytes) {
  std::mt19937_64 random(42);
  const int64_t per_file = total_bytes / files;
  std::string buffer;
  for (int i = 0; i < files; ++i) {
    const fs::path path =
        root / ("Modul" + std::to_string(i % 20)) / ("file" + std::to_string(i) + ".dat");
    fs::create_directories(path.parent_path());
    const int64_t size =
        per_file / 2 + static_cast<int64_t>(random() % static_cast<uint64_t>(per_file));
    buffer.resize(static_cast<size_t>(size));
    if (i % 2 == 0) {
      for (auto& c : buffer) c = static_cast<char>(random());
    } else {
      const std::string_view line = "select * from OpcijeAplikacije where 1=1;\n";
      for (size_t k = 0; k < buffer.size(); ++k) buffer[k] = line[k % line.size()];
    }
    std::ofstream(path, std::ios::binary)
        .write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  }
}

struct Timed {
  std::function<void()> prepare;
  std::function<void()> run;
};

double Seconds(const Timed& t) {
  t.prepare();
  const auto start = std::chrono::steady_clock::now();
  t.run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Best of three each, taken in turns so that a busy moment of the machine hits both sides.
std::pair<double, double> Compare(const Timed& ours, const Timed& theirs) {
  double best_ours = 1e30, best_theirs = 1e30;
  for (int round = 0; round < 3; ++round) {
    best_ours = std::min(best_ours, Seconds(ours));
    best_theirs = std::min(best_theirs, Seconds(theirs));
  }
  return {best_ours, best_theirs};
}

bool Run(const std::vector<std::string>& argv) {
  const auto result = zepr::platform::StartProgram(argv, false, true);
  return result.started && result.exit_status == 0;
}

void Report(const char* what, double ours, const char* tool, double theirs) {
  std::printf("%-8s ours %7.3f s   %-12s %7.3f s   ratio %.2f\n", what, ours, tool, theirs,
              ours / theirs);
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int64_t megabytes = argc > 2 ? std::atoll(argv[2]) : 200;
  const fs::path work =
      fs::temp_directory_path() / ("zepr-install-bench-" + std::to_string(getpid()));
  fs::create_directories(work);

  std::printf("building %d files, %lld MB ...\n", files, static_cast<long long>(megabytes));
  MakeTree(work / "source", files, megabytes * 1024 * 1024);
  const std::string archive = (work / "Update.zip").string();
  if (!Run({"bsdtar", "--format", "zip", "-cf", archive, "-C", (work / "source").string(), "."})) {
    std::fprintf(stderr, "bsdtar is needed to build the archive\n");
    return 1;
  }

  const fs::path app = work / "app";
  const fs::path unpacked = app / "Update" / "Update";
  const fs::path by_tool = work / "bsdtar";
  auto fresh = [](const fs::path& p) {
    fs::remove_all(p);
    fs::create_directories(p);
  };

  const auto [unzip, bsdtar] = Compare({[&] { fs::remove_all(unpacked); },
                                        [&] { zepr::Unzip(archive, unpacked.string(), nullptr); }},
                                       {[&] { fresh(by_tool); },
                                        [&] {
                                          Run({"bsdtar", "-xf", archive, "-C", by_tool.string()});
                                        }});
  Report("extract", unzip, "bsdtar -xf", bsdtar);

  // The application folder holds only the working folder before every mirror.
  NoProcesses processes;
  auto empty_app = [&] {
    for (const auto& e : fs::directory_iterator(app)) {
      if (e.path().filename() != "Update") fs::remove_all(e.path());
    }
  };
  const fs::path copied = work / "copied";
  const auto [mirror, cp] = Compare({empty_app,
                                     [&] {
                                       zepr::InstallDato({"Update.zip"}, app.string() + "/",
                                                         "NoSuchApplication", processes);
                                     }},
                                    {[&] { fs::remove_all(copied); },
                                     [&] {
                                       Run({"cp", "-a", unpacked.string(), copied.string()});
                                     }});
  Report("mirror", mirror, "cp -a", cp);

  // Both sides now hold the tree from their last round and copy it over itself. The install
  // waits until its files are on disk before it counts as done (a power cut then leaves whole
  // files, old or new); cp -a followed by sync makes the same promise.
  const Timed install_over{[] {},
                           [&] {
                             zepr::InstallDato({"Update.zip"}, app.string() + "/",
                                               "NoSuchApplication", processes);
                           }};
  const auto copy_over = [&] { Run({"cp", "-a", unpacked.string() + "/.", copied.string()}); };
  const auto [over, cp_over] = Compare(install_over, {[] {}, copy_over});
  Report("replace", over, "cp -a", cp_over);
  const auto [over_again, cp_sync] = Compare(install_over, {[] {},
                                                            [&] {
                                                              copy_over();
                                                              Run({"sync", "-f", copied.string()});
                                                            }});
  Report("replace", over_again, "cp -a; sync", cp_sync);

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak memory %ld MB\n", usage.ru_maxrss / 1024);

  fs::remove_all(work);
  return 0;
}
