// Extraction and install of an update the size of a large release (about 2000 files,
// 200 MB), against what an operator would do by hand: "bsdtar -xf" and "cp -a". The install is
// measured into an empty application folder and over an installation of the same tree, where
// every file is journaled, backed up and replaced. Usage: install_bench [files] [megabytes].
// Prints seconds (best of three), the ratios ours / theirs and the peak memory. Before each
// ratio it checks that both sides hold every file of the archive (count and bytes) and that no
// run failed; a failed check ends with status 1 and no ratio.
#include <archive.h>
#include <archive_entry.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>

#include "bench_check.h"
#include "install/install_script.h"
#include "install/unzip.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;
using zepr::bench::FilesAndBytes;
using zepr::bench::Outcome;
using zepr::bench::RequireCheck;

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

// Runs a tool and notes on the outcome how it ended when that was not exit status 0.
void Run(const std::vector<std::string>& argv, zepr::bench::Outcome& outcome) {
  const auto result = zepr::platform::StartProgram(argv, false, true);
  if (!result.started) {
    outcome.Fail(argv[0] + " did not start: " + result.error);
  } else if (result.exit_status != 0) {
    outcome.Fail(argv[0] + " exit status " + std::to_string(result.exit_status));
  }
}

// The regular files the archive holds and their sizes, from its central directory.
std::string ArchiveFilesAndBytes(const std::string& path) {
  const std::unique_ptr<archive, decltype(&archive_read_free)> reader(archive_read_new(),
                                                                      archive_read_free);
  archive_read_support_format_zip_seekable(reader.get());
  if (archive_read_open_filename(reader.get(), path.c_str(), 1 << 16) != ARCHIVE_OK) {
    return std::string("unreadable archive: ") + archive_error_string(reader.get());
  }
  uint64_t files = 0, bytes = 0;
  archive_entry* entry = nullptr;
  int status = ARCHIVE_OK;
  while ((status = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
    if (archive_entry_filetype(entry) == AE_IFREG) {
      ++files;
      bytes += static_cast<uint64_t>(archive_entry_size(entry));
    }
  }
  if (status != ARCHIVE_EOF) {
    return std::string("unreadable archive: ") + archive_error_string(reader.get());
  }
  return std::to_string(files) + " files, " + std::to_string(bytes) + " bytes";
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
  Outcome built{"bsdtar --format zip"};
  Run({"bsdtar", "--format", "zip", "-cf", archive, "-C", (work / "source").string(), "."}, built);
  if (!built.failure.empty()) {
    std::fprintf(stderr, "bsdtar is needed to build the archive: %s\n", built.failure.c_str());
    return 1;
  }
  // What every side must end up with; the source tree shows the archive holds all of it.
  const std::string expected = ArchiveFilesAndBytes(archive);
  const Outcome source{"source", FilesAndBytes(work / "source")};

  const fs::path app = work / "app";
  const fs::path unpacked = app / "Update" / "Update";
  const fs::path by_tool = work / "bsdtar";
  auto fresh = [](const fs::path& p) {
    fs::remove_all(p);
    fs::create_directories(p);
  };

  Outcome unzip_outcome{"Unzip"};
  Outcome bsdtar_outcome{"bsdtar -xf"};
  const auto [unzip, bsdtar] =
      Compare({[&] { fs::remove_all(unpacked); },
               [&] {
                 if (!zepr::Unzip(archive, unpacked.string(), nullptr)) {
                   unzip_outcome.Fail("Unzip failed");
                 }
               }},
              {[&] { fresh(by_tool); },
               [&] {
                 Run({"bsdtar", "-xf", archive, "-C", by_tool.string()}, bsdtar_outcome);
               }});
  unzip_outcome.found = FilesAndBytes(unpacked);
  bsdtar_outcome.found = FilesAndBytes(by_tool);
  RequireCheck("extract", expected, {source, unzip_outcome, bsdtar_outcome});
  Report("extract", unzip, "bsdtar -xf", bsdtar);

  // The application folder holds only the working folder before every mirror, and the working
  // folder is no part of what the mirror made.
  NoProcesses processes;
  Outcome install_outcome{"InstallDato"};
  const auto install = [&] {
    const auto result =
        zepr::InstallDato({"Update.zip"}, app.string() + "/", "NoSuchApplication", processes);
    if (!result.ok) {
      install_outcome.Fail("InstallDato failed at " + result.file + ": " + result.reason);
    }
  };
  const auto installed = [&] { return FilesAndBytes(app, {"Update"}); };
  auto empty_app = [&] {
    for (const auto& e : fs::directory_iterator(app)) {
      if (e.path().filename() != "Update") fs::remove_all(e.path());
    }
  };
  const fs::path copied = work / "copied";
  Outcome cp_outcome{"cp -a"};
  const auto [mirror, cp] = Compare(
      {empty_app, install}, {[&] { fs::remove_all(copied); },
                             [&] {
                               Run({"cp", "-a", unpacked.string(), copied.string()}, cp_outcome);
                             }});
  install_outcome.found = installed();
  cp_outcome.found = FilesAndBytes(copied);
  RequireCheck("mirror", expected, {install_outcome, cp_outcome});
  Report("mirror", mirror, "cp -a", cp);

  // Both sides now hold the tree from their last round and copy it over itself. The install
  // waits until its files are on disk before it counts as done (a power cut then leaves whole
  // files, old or new); cp -a followed by sync makes the same promise.
  const Timed install_over{[] {}, install};
  const auto copy_over = [&] {
    Run({"cp", "-a", unpacked.string() + "/.", copied.string()}, cp_outcome);
  };
  const auto [over, cp_over] = Compare(install_over, {[] {}, copy_over});
  install_outcome.found = installed();
  cp_outcome.found = FilesAndBytes(copied);
  RequireCheck("replace", expected, {install_outcome, cp_outcome});
  Report("replace", over, "cp -a", cp_over);
  const auto [over_again, cp_sync] =
      Compare(install_over, {[] {},
                             [&] {
                               copy_over();
                               Run({"sync", "-f", copied.string()}, cp_outcome);
                             }});
  install_outcome.found = installed();
  cp_outcome.found = FilesAndBytes(copied);
  RequireCheck("replace", expected, {install_outcome, cp_outcome});
  Report("replace", over_again, "cp -a; sync", cp_sync);

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak memory %ld MB\n", usage.ru_maxrss / 1024);

  fs::remove_all(work);
  return 0;
}
