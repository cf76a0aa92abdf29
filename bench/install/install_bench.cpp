// Extraction and install of an update the size of a large release (about 2000 files,
// 200 MB), against what an operator would do by hand: "bsdtar -xf" and "cp -a". The install is
// measured into an empty application folder and over an installation of the same tree, where
// every file is journaled, backed up and replaced. Then a table of the time per file as the
// install grows and as the folder it lands in fills, against "cp -a; sync".
// Usage: install_bench [--only release|scaling] [files] [megabytes].
// Prints seconds (best of three), the ratios ours / theirs and the peak memory. Before each
// ratio it checks that both sides hold every file they should (count and bytes) and that no
// run failed; a failed check ends with status 1 and no ratio.
#include <archive.h>
#include <archive_entry.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
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
#include <thread>
#include <vector>

#include "bench_check.h"
#include "install/install_script.h"
#include "install/unzip.h"
#include "platform/files.h"
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

// Best of `rounds` each, taken in turns so that a busy moment of the machine hits both sides.
std::pair<double, double> Compare(const Timed& ours, const Timed& theirs, int rounds = 3) {
  double best_ours = 1e30, best_theirs = 1e30;
  for (int round = 0; round < rounds; ++round) {
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

// The release: extraction, the install into an empty folder and over itself. 1 when the
// archive cannot be built.
int Release(const fs::path& work, int files, int64_t megabytes) {
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
  return 0;
}

// Files written by the scaling table: `count` of `size` bytes, named prefix + number.
void WriteFiles(const fs::path& folder, const std::string& prefix, int count, int64_t size) {
  fs::create_directories(folder);
  std::mt19937_64 random(static_cast<uint64_t>(count) * 31 + static_cast<uint64_t>(size));
  std::string buffer(static_cast<size_t>(size), '\0');
  for (int i = 0; i < count; ++i) {
    for (auto& c : buffer) c = static_cast<char>(random());
    std::ofstream(folder / (prefix + std::to_string(i) + ".dat"), std::ios::binary)
        .write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  }
}

// Removes the files of folder whose names start with prefix, several at a time: where the file
// system discards freed blocks at once, every removal waits for the disk, and getting a round
// ready is not what is measured.
void RemoveStartingWith(const fs::path& folder, const std::string& prefix) {
  std::vector<fs::path> doomed;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().starts_with(prefix)) doomed.push_back(entry.path());
  }
  std::atomic<size_t> next{0};
  const auto work = [&] {
    for (size_t i; (i = next++) < doomed.size();) {
      std::error_code ignored;
      fs::remove(doomed[i], ignored);
    }
  };
  std::vector<std::jthread> helpers;
  for (int k = 1; k < 8; ++k) helpers.emplace_back(work);
  work();
}

std::string FilesAndBytesText(int64_t files, int64_t bytes) {
  return std::to_string(files) + " files, " + std::to_string(bytes) + " bytes";
}

// N new files into a folder of the application that holds M other files already, against
// "cp -a" of the same files into a copy of that folder followed by "sync": the time per file
// should not grow with N or M. Both sides start each round with nothing unwritten; best of five,
// since a small install is over in a moment that a busy machine easily spoils.
void Scaling(const fs::path& work) {
  struct Size {
    int added;
    int present;
  };
  constexpr Size kSizes[] = {{1000, 0}, {1000, 20000}, {5000, 20000}, {10000, 0}};
  constexpr int64_t kNewBytes = 8192, kPresentBytes = 1024;

  std::string table;
  for (const auto [added, present] : kSizes) {
    const std::string name = std::to_string(added) + "-" + std::to_string(present);
    const fs::path root = work / ("scaling-" + name);
    const fs::path app = root / "app";
    const fs::path unpacked = app / "Update" / "Update";
    const fs::path copied = root / "copied";
    WriteFiles(unpacked / "Data", "new", added, kNewBytes);
    WriteFiles(app / "Data", "old", present, kPresentBytes);
    WriteFiles(copied / "Data", "old", present, kPresentBytes);
    const Outcome source{"source", FilesAndBytes(unpacked)};
    RequireCheck("scaling " + name + " source", FilesAndBytesText(added, added * kNewBytes),
                 {source});

    NoProcesses processes;
    Outcome install_outcome{"InstallDato"};
    Outcome cp_outcome{"cp -a; sync"};
    const auto [ours, theirs] = Compare(
        {[&] {
           RemoveStartingWith(app / "Data", "new");
           sync();
         },
         [&] {
           const auto result = zepr::InstallDato({"Update.zip"}, app.string() + "/",
                                                 "NoSuchApplication", processes);
           if (!result.ok) {
             install_outcome.Fail("InstallDato failed at " + result.file + ": " + result.reason);
           }
         }},
        {[&] {
           RemoveStartingWith(copied / "Data", "new");
           sync();
         },
         [&] {
           Run({"cp", "-a", unpacked.string() + "/.", copied.string()}, cp_outcome);
           Run({"sync", "-f", copied.string()}, cp_outcome);
         }},
        5);
    install_outcome.found = FilesAndBytes(app, {"Update"});
    cp_outcome.found = FilesAndBytes(copied);
    RequireCheck("scaling " + name,
                 FilesAndBytesText(added + present, added * kNewBytes + present * kPresentBytes),
                 {install_outcome, cp_outcome});
    char row[160];
    std::snprintf(row, sizeof row, "%8d %8d %14.1f %14.1f %8.2f\n", added, present,
                  ours * 1e6 / added, theirs * 1e6 / added, ours / theirs);
    std::printf("scaling  %s", row);
    std::fflush(stdout);
    table += row;
    zepr::platform::RemoveTree(root.string());
  }
  std::printf("scaling: N new files of %lld bytes into a folder that holds M others\n",
              static_cast<long long>(kNewBytes));
  std::printf("%8s %8s %14s %14s %8s\n%s", "N", "M", "ours us/file", "cp us/file", "ratio",
              table.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string only;
  int first = 1;
  if (argc > 2 && std::string_view(argv[1]) == "--only") {
    only = argv[2];
    first = 3;
  }
  const int files = argc > first ? std::atoi(argv[first]) : 2000;
  const int64_t megabytes = argc > first + 1 ? std::atoll(argv[first + 1]) : 200;
  const fs::path work =
      fs::temp_directory_path() / ("zepr-install-bench-" + std::to_string(getpid()));
  fs::create_directories(work);

  int status = 0;
  if (only.empty() || only == "release") status = Release(work, files, megabytes);
  if (status == 0 && (only.empty() || only == "scaling")) Scaling(work);

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak memory %ld MB\n", usage.ru_maxrss / 1024);

  zepr::platform::RemoveTree(work.string());
  return status;
}
