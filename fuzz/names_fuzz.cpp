// Names from download lists and install scripts: a name the check lets through stays below
// its folder, and the unpack folder of an archive name never cuts a character in two.
#include <filesystem>

#include "core/encoding.h"
#include "core/text.h"
#include "fuzz_support.h"
#include "install/install_script.h"

namespace {

size_t Characters(const std::string& utf8) {
  size_t n = 0;
  for (char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

void CheckStaysBelow(const std::string& name) {
  namespace fs = std::filesystem;
  if (zepr::NameLeavesFolder(name)) return;
  const fs::path folder = "/srv/app/Update";
  const fs::path joined = (folder / zepr::ReplaceAll(name, "\\", "/")).lexically_normal();
  auto part = joined.begin();
  for (const auto& wanted : folder) {
    FUZZ_CHECK(part != joined.end() && *part == wanted);
    ++part;
  }
}

void CheckUnpackFolder(const std::string& name) {
  const std::string folder = zepr::UnpackFolderName(name);
  FUZZ_CHECK(name.starts_with(folder));
  if (!zepr::IsValidUtf8(name)) return;
  FUZZ_CHECK(zepr::IsValidUtf8(folder));
  const size_t characters = Characters(name);
  FUZZ_CHECK(Characters(folder) == (characters > 4 ? characters - 4 : 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = zepr::fuzz::AsString(data, size);
  CheckStaysBelow(text);
  CheckUnpackFolder(text);
  // Every line as a list entry: lists hold many names.
  for (const std::string& line : zepr::SplitLines(text)) {
    CheckStaysBelow(line);
    CheckStaysBelow(zepr::Trim(line));
    CheckUnpackFolder(line);
  }
  return 0;
}
