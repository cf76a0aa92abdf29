#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zepr::testing {

struct ZipEntry {
  std::string name;  // stored bytes exactly as given
  std::string data;  // for a link: where it points
  bool utf8_flag = false;
  uint32_t unix_mode = 0;  // 0: written as by a Windows zipper, without Unix file types
};

// Local time stamp every entry carries.
struct ZipTime {
  int year = 2020, month = 5, day = 17, hour = 10, minute = 20, second = 30;
};

// A ZIP archive with the entries stored uncompressed, byte for byte as given, so tests can
// build names and file types that ordinary zippers refuse to write.
std::string BuildZip(const std::vector<ZipEntry>& entries, ZipTime time = {});

}  // namespace zepr::testing
