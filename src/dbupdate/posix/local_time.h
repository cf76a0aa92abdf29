#pragma once

#include <ctime>

namespace zepr {

// The calendar fields of a time in the local zone; false when they cannot be had.
inline bool ToLocalTime(std::time_t time, std::tm& local) {
  return localtime_r(&time, &local) != nullptr;
}

}  // namespace zepr
