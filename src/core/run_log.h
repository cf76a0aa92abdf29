#pragma once

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

// One event as one line: line breaks inside are written as "\r" and "\n", and every secret is
// replaced with "***".
void Write(std::string_view text);

// A text that must never reach the log (a password, in each form it is written in); empty
// ones are ignored.
void AddSecret(const std::string& secret);

}  // namespace zepr::runlog
