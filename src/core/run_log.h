#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// The run log: what a run did, for whoever answers the phone when it failed. Any part of the
// program writes its events here; main decides where they go. Nothing is written before a sink
// is set, and a sink that fails never fails the run.
namespace zepr::runlog {

// Takes one finished line (no line break in it).
using Sink = std::function<void(std::string_view line)>;
void SetSink(Sink sink);

// One event as one line, as given: line breaks inside are written as "\r" and "\n". A secret
// is masked where the line is made, by whoever knows it is one (MaskedUrl, ConnectionTextForLog);
// text from outside goes through Outside.
void Write(std::string_view text);

// A value that text from outside may echo (a password, in each form it is written in); empty
// ones are ignored.
void AddSecret(const std::string& secret);
// Shorter secrets are not searched for: they are too likely to be an ordinary word, a number or
// part of one, and masking them would spoil the message and show where the secret stands in it.
inline constexpr size_t kMinSearchedSecret = 6;
// Free text from outside (a server's or a driver's message) with every secret of at least
// kMinSearchedSecret characters replaced by "***".
std::string Outside(std::string_view text);

// What the run's last line sums up, counted where it happens.
enum class Tally { kFilesReplaced, kFilesAdded, kBytesFetched, kScriptsRun };
void Count(Tally what, uint64_t amount = 1);
struct Tallies {
  uint64_t replaced = 0;
  uint64_t added = 0;
  uint64_t bytes = 0;
  uint64_t scripts = 0;
};
Tallies Counts();

}  // namespace zepr::runlog
