#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace zepr::testing {

using FourPartVersion = std::array<uint16_t, 4>;

struct PeImageOptions {
  bool pe32_plus = false;  // 64-bit image layout
  // Without a file version the image carries no resources at all.
  std::optional<FourPartVersion> file_version;
  FourPartVersion product_version{1, 0, 0, 0};
};

// The bytes of a minimal Windows executable image: headers and, when a file version is
// given, one .rsrc section holding an icon group entry and the version resource. Enough for
// a reader of the version resource; it does not run.
std::string BuildPeImage(const PeImageOptions& options);

}  // namespace zepr::testing
