#include "core/run_log.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "core/text.h"

namespace zepr::runlog {
namespace {

struct State {
  std::mutex mutex;
  Sink sink;
  std::vector<std::string> secrets;  // longest first, so a secret inside another goes whole
  // Counted by the transfer's threads too.
  std::atomic<uint64_t> tallies[4] = {};
};

State& TheLog() {
  static State state;
  return state;
}

}  // namespace

void SetSink(Sink sink) {
  State& log = TheLog();
  std::lock_guard lock(log.mutex);
  log.sink = std::move(sink);
}

void AddSecret(const std::string& secret) {
  if (secret.empty()) return;
  State& log = TheLog();
  std::lock_guard lock(log.mutex);
  if (std::find(log.secrets.begin(), log.secrets.end(), secret) != log.secrets.end()) return;
  log.secrets.push_back(secret);
  std::sort(log.secrets.begin(), log.secrets.end(),
            [](const auto& a, const auto& b) { return a.size() > b.size(); });
}

std::string Outside(std::string_view text) {
  State& log = TheLog();
  std::lock_guard lock(log.mutex);
  std::string masked(text);
  for (const auto& secret : log.secrets) {
    if (secret.size() >= kMinSearchedSecret) masked = ReplaceAll(masked, secret, "***");
  }
  return masked;
}

void Write(std::string_view text) {
  State& log = TheLog();
  std::lock_guard lock(log.mutex);
  if (!log.sink) return;
  log.sink(ReplaceAll(ReplaceAll(std::string(text), "\r", "\\r"), "\n", "\\n"));
}

void Count(Tally what, uint64_t amount) {
  TheLog().tallies[static_cast<size_t>(what)].fetch_add(amount, std::memory_order_relaxed);
}

Tallies Counts() {
  const auto& tallies = TheLog().tallies;
  const auto get = [&](Tally what) {
    return tallies[static_cast<size_t>(what)].load(std::memory_order_relaxed);
  };
  return {get(Tally::kFilesReplaced), get(Tally::kFilesAdded), get(Tally::kBytesFetched),
          get(Tally::kScriptsRun)};
}

}  // namespace zepr::runlog
