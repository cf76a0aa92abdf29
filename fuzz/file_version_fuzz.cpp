// The version reader on any file: "" or four decimal numbers of 16 bits joined by ".".
#include <charconv>

#include "fuzz_support.h"
#include "install/file_version.h"

namespace {

bool IsFourPartVersion(const std::string& text) {
  size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    const size_t end = part < 3 ? text.find('.', start) : text.size();
    if (end == std::string::npos || end == start) return false;
    unsigned value = 0;
    const auto [stop, error] = std::from_chars(text.data() + start, text.data() + end, value);
    if (error != std::errc() || stop != text.data() + end || value > 0xFFFF) return false;
    // No sign, no leading zero: the numbers as printed.
    if (text[start] == '0' && end - start > 1) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto path = zepr::fuzz::Scratch().Fresh() / "App.exe";
  zepr::fuzz::WriteFile(path, zepr::fuzz::AsString(data, size));
  const std::string version = zepr::FileVersionString(path.string());
  FUZZ_CHECK(version.empty() || IsFourPartVersion(version));
  return 0;
}
