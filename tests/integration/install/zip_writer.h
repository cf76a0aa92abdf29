#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zepr::testing {

// Compression method numbers; any other number is written as given over the data as given.
inline constexpr uint16_t kStored = 0;
inline constexpr uint16_t kDeflated = 8;

struct ZipEntry {
  std::string name;  // stored bytes exactly as given
  std::string data;  // for a link: where it points
  bool utf8_flag = false;
  uint32_t unix_mode = 0;  // 0: written as by a Windows zipper, without Unix file types
  uint16_t method = kStored;
  bool encrypted = false;  // only the flag: the data stays as given
  // Sizes in Zip64 fields (the 32-bit ones 0xFFFFFFFF), in the local header and the directory.
  bool zip64 = false;
  // As a zipper writing to a pipe: the local header without CRC and sizes, which follow the
  // data in a descriptor.
  bool descriptor = false;
};

// Local time stamp every entry carries.
struct ZipTime {
  int year = 2020, month = 5, day = 17, hour = 10, minute = 20, second = 30;
};

// A ZIP archive with the entries written byte for byte as given (deflated when asked), so tests
// can build names, file types and flags that ordinary zippers refuse to write.
std::string BuildZip(const std::vector<ZipEntry>& entries, ZipTime time = {});

}  // namespace zepr::testing
