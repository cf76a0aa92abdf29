// The INI reader on any bytes: the text split, the parse through a real file, and the
// promises about names and values.
#include <algorithm>

#include "config/ini_file.h"
#include "core/encoding.h"
#include "core/text.h"
#include "fuzz_support.h"

namespace zepr {
namespace {

size_t CodePoints(const std::string& utf8) {
  return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

void CheckSplit(const std::string& bytes) {
  const IniText text = SplitIniText(bytes);
  FUZZ_CHECK(text.bom == bytes.starts_with("\xEF\xBB\xBF"));
  FUZZ_CHECK((text.bom ? "\xEF\xBB\xBF" + text.body : text.body) == bytes);
  FUZZ_CHECK(text.utf8 == (text.bom && IsValidUtf8(text.body)));
}

}  // namespace
}  // namespace zepr

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zepr;
  const std::string bytes = fuzz::AsString(data, size);
  CheckSplit(bytes);

  const auto& folder = fuzz::Scratch().Fresh();
  fuzz::WriteFile(folder / "install.ini", bytes);
  // Written in one letter case, asked for in another: the same file.
  const std::string path = (folder / "Install.Ini").string();
  const IniFile ini = IniFile::Load(path);
  FUZZ_CHECK(ini.Exists());

  const std::vector<std::string> sections = ini.Sections();
  FUZZ_CHECK(IniSekcije(path) == sections);
  const IniText text = SplitIniText(bytes);
  const std::vector<std::string> lines = SplitLines(text.body);
  constexpr size_t kChecked = 64;  // pairwise checks stay cheap on long inputs
  for (size_t s = 0; s < sections.size() && s < kChecked; ++s) {
    const std::string& section = sections[s];
    FUZZ_CHECK(IsValidUtf8(section));
    // A repeated name is dropped, so every name is found as itself.
    for (size_t other = 0; other < s; ++other) {
      FUZZ_CHECK(!NamesEqualNoCase(sections[other], section));
    }
    const std::vector<std::string> keys = ini.Keys(section);
    const std::vector<std::string> values = IniSekcijaLista(section, path);
    FUZZ_CHECK(values.size() == keys.size());
    for (size_t k = 0; k < keys.size() && k < kChecked; ++k) {
      FUZZ_CHECK(IsValidUtf8(keys[k]));
      const std::string value = ini.ReadString(section, keys[k], "\x01missing");
      FUZZ_CHECK(value == values[k]);
      FUZZ_CHECK(IsValidUtf8(value));
      FUZZ_CHECK(CodePoints(value) <= 2047);
      FUZZ_CHECK(Trim(keys[k]) == keys[k]);
      const auto line = IniKeyLine(lines, text.utf8, section, keys[k]);
      FUZZ_CHECK(line.has_value() && *line < lines.size());
      // That line holds the value (quotes and any excess are cut from the value only).
      const std::string& held = lines[*line];
      const std::string held_utf8 = text.utf8 ? held : Cp1250ToUtf8(held);
      FUZZ_CHECK(held_utf8.find('=') != std::string::npos);
      FUZZ_CHECK(held_utf8.find(value, held_utf8.find('=')) != std::string::npos);
    }
  }
  return 0;
}
