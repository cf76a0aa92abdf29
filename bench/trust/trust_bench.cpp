// Verifying a signed archive of 1 GiB (the size of a large release), against minisign itself
// verifying the same file and signature with "minisign -V -H" (prehashed only). Both stream the
// file through BLAKE2b-512 and check two Ed25519 signatures. Usage: trust_bench [megabytes].
// Prints seconds (best of five, taken in turns) of elapsed time and of processor time (user and
// system: on a busy machine the steadier of the two), the ratios ours / minisign and our peak
// memory. Before the ratios it checks that both sides said the signature is valid in every run;
// a failed check ends with status 1 and no ratio.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench_check.h"
#include "trust/trust.h"

namespace {

namespace fs = std::filesystem;
using zepr::bench::Outcome;
using zepr::bench::RequireCheck;

constexpr char kValid[] = "valid";

double CpuSeconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs a program (no shell) and returns its exit status and everything it wrote; cpu_seconds
// gets the processor time it took.
int Run(const std::vector<std::string>& argv, std::string& output, double* cpu_seconds = nullptr) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipe_fds[1], 1);
    dup2(pipe_fds[1], 2);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  output.clear();
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) output.append(buffer, n);
  close(pipe_fds[0]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  if (cpu_seconds) *cpu_seconds = CpuSeconds(usage);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Incompressible bytes, each mebibyte different.
void MakeFile(const fs::path& path, size_t megabytes) {
  std::mt19937_64 random(42);
  std::vector<uint64_t> block((1 << 20) / sizeof(uint64_t));
  for (auto& word : block) word = random();
  std::ofstream out(path, std::ios::binary);
  for (size_t mb = 0; mb < megabytes; ++mb) {
    block[mb % block.size()] ^= random();
    out.write(reinterpret_cast<const char*>(block.data()),
              static_cast<std::streamsize>(block.size() * sizeof(uint64_t)));
  }
}

struct Times {
  double elapsed = 1e30;
  double cpu = 1e30;
};

// Keeps the best elapsed and processor time; run returns the processor time it took.
void Time(const std::function<double()>& run, Times& best) {
  const auto start = std::chrono::steady_clock::now();
  const double cpu = run();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  best.elapsed = std::min(best.elapsed, elapsed.count());
  best.cpu = std::min(best.cpu, cpu);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
  const fs::path work =
      fs::temp_directory_path() / ("zepr-trust-bench-" + std::to_string(getpid()));
  fs::create_directories(work);
  const fs::path file = work / "Update.zip";
  const std::string pub = (work / "bench.pub").string();
  const std::string key = (work / "bench.key").string();
  const std::string signature = file.string() + ".minisig";

  std::printf("building %zu MB and signing it ...\n", megabytes);
  MakeFile(file, megabytes);
  std::string output;
  if (Run({"minisign", "-G", "-W", "-p", pub, "-s", key}, output) != 0 ||
      Run({"minisign", "-S", "-s", key, "-m", file.string(), "-x", signature, "-t",
           "file:Update.zip\tprogram:BENCH\ttimestamp:1700000000"},
          output) != 0) {
    std::fprintf(stderr, "minisign is needed to sign the file: %s\n", output.c_str());
    fs::remove_all(work);
    return 1;
  }
  std::ifstream pub_file(pub);
  const std::string pub_text((std::istreambuf_iterator<char>(pub_file)),
                             std::istreambuf_iterator<char>());
  const auto keys = zepr::trust::LoadTrustedKeys({pub_text, "", ""}, {});
  if (keys.error || keys.keys.empty()) {
    std::fprintf(stderr, "minisign's public key was not read\n");
    return 1;
  }

  Outcome ours{"VerifyFile", kValid};
  Outcome theirs{"minisign -V -H", kValid};
  const auto verify_ours = [&] {
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const auto verdict =
        zepr::trust::VerifyFile(file.string(), signature, keys.keys, {"Update.zip", "BENCH"});
    getrusage(RUSAGE_SELF, &after);
    if (!verdict.accepted) ours.found = verdict.refusal.Text();
    return CpuSeconds(after) - CpuSeconds(before);
  };
  const auto verify_theirs = [&] {
    std::string said;
    double cpu = 0;
    const int status =
        Run({"minisign", "-V", "-H", "-p", pub, "-m", file.string(), "-x", signature}, said, &cpu);
    if (status != 0) theirs.Fail("exit status " + std::to_string(status));
    if (said.find("Signature and comment signature verified") == std::string::npos) {
      theirs.found = said;
    }
    return cpu;
  };
  Times best_ours, best_theirs;
  for (int round = 0; round < 5; ++round) {
    Time(verify_ours, best_ours);
    Time(verify_theirs, best_theirs);
  }
  RequireCheck("verify", kValid, {ours, theirs});
  const double mb = static_cast<double>(megabytes);
  std::printf(
      "elapsed  ours %7.3f s (%5.0f MB/s)   minisign -V -H %7.3f s (%5.0f MB/s)   ratio %.2f\n",
      best_ours.elapsed, mb / best_ours.elapsed, best_theirs.elapsed, mb / best_theirs.elapsed,
      best_ours.elapsed / best_theirs.elapsed);
  std::printf(
      "cpu      ours %7.3f s                minisign -V -H %7.3f s                ratio %.2f\n",
      best_ours.cpu, best_theirs.cpu, best_ours.cpu / best_theirs.cpu);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak memory %ld MB\n", usage.ru_maxrss / 1024);
  fs::remove_all(work);
  return 0;
}
