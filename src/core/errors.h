#pragma once

#include <stdexcept>
#include <string>

namespace zepr {

// An error that the run treats as raised: it reaches one of the run's guards, which show its
// text after "Uzrok: " or "Greška: ". Expected failures (a download that failed, a missing
// archive) are return values, not exceptions.
class UpdateError : public std::runtime_error {
 public:
  explicit UpdateError(const std::string& message) : std::runtime_error(message) {}
};

// The text of the standard integer conversion error.
std::string InvalidIntegerMessage(const std::string& text);

}  // namespace zepr
