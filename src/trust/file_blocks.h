#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Reading a file block by block, so that a file of any size is checked in little memory. The
// platform's back end (posix/, win32/) opens it; only a regular file is read.
namespace zepr::trust {

enum class ReadOutcome { kDone, kMissing, kFailed };

// Passes the file's bytes to consume in order, a block at a time, until the end or until
// consume returns false (then kDone too). On kFailed (and kMissing), error holds the system's
// words.
ReadOutcome ReadBlocks(const std::string& path,
                       const std::function<bool(const uint8_t*, size_t)>& consume,
                       std::string& error);

}  // namespace zepr::trust
