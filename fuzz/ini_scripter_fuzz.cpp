// The scripter's write-back of marked values. The input's first line is a value put between
// encipher markers at the top of the file, the rest is any text below it: the load enciphers
// that value alone, keeps every other line and the file's encoding, and the value deciphers
// back exactly. Further loads then run over whatever the rest holds.
#include "config/cp1250_text.h"
#include "config/ini_file.h"
#include "config/ini_scripter.h"
#include "core/text.h"
#include "fuzz_support.h"

namespace {

using zepr::TIniScripter;
constexpr std::string_view kMark = "\xEF\xBB\xBF";

std::string Body(const std::string& file) {
  return file.starts_with(kMark) ? file.substr(kMark.size()) : file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zepr;
  if (size == 0) return 0;
  const bool with_mark = data[0] & 1;
  const std::string input = fuzz::AsString(data + 1, size - 1);
  const size_t break_at = input.find('\n');
  const std::string value = input.substr(0, break_at);
  const std::string rest = break_at == std::string::npos ? "" : input.substr(break_at + 1);
  if (value.find_first_of("<\r") != std::string::npos) return 0;

  auto build = [&](bool utf8_markers) {
    const std::string marker = utf8_markers ? Cp1250BytesToText(TIniScripter::kEncipherMarker)
                                            : std::string(TIniScripter::kEncipherMarker);
    return (with_mark ? std::string(kMark) : "") + "PASSWORD=" + marker + value + marker + "\r\n" +
           rest;
  };
  std::string original = build(with_mark);
  // Markers in UTF-8 only where the whole file is read as UTF-8.
  if (with_mark && !SplitIniText(original).utf8) original = build(false);
  const bool utf8 = SplitIniText(original).utf8;

  const auto& folder = fuzz::Scratch().Fresh();
  const auto path = folder / "UPDATE.INI";
  fuzz::WriteFile(path, original);

  TIniScripter scripter;
  scripter.LoadFromFile(path.string());  // no damaged value is read on an enciphering load
  FUZZ_CHECK(scripter.IsUtf8() == utf8);
  const std::string written = fuzz::ReadFile(path);
  FUZZ_CHECK(written.starts_with(kMark) == with_mark);
  const std::vector<std::string> before = SplitLines(Body(original));
  const std::vector<std::string> after = SplitLines(Body(written));
  FUZZ_CHECK(after.size() == before.size());
  FUZZ_CHECK(std::equal(before.begin() + 1, before.end(), after.begin() + 1));
  const std::string decipher = utf8 ? Cp1250BytesToText(TIniScripter::kDecipherMarker)
                                    : std::string(TIniScripter::kDecipherMarker);
  const std::string& top = after[0];
  FUZZ_CHECK(top.starts_with("PASSWORD=" + decipher) && top.ends_with(decipher));

  // The enciphered line alone deciphers to the value's CP1250 bytes.
  const auto alone = folder / "alone.ini";
  const std::string alone_bytes = (utf8 ? std::string(kMark) : "") + top + "\r\n";
  fuzz::WriteFile(alone, alone_bytes);
  TIniScripter reader;
  reader.DecipherFile(alone.string());
  FUZZ_CHECK(reader.ValueCount() == 1 && reader.ValueLine(0) == 0);
  FUZZ_CHECK(reader.GetValue(0) == (utf8 ? TextToCp1250Bytes(value) : value));
  FUZZ_CHECK(fuzz::ReadFile(alone) == alone_bytes);

  // Whatever else waits in the file: each load keeps the lines and the encoding.
  for (int load = 0; load < 4; ++load) {
    try {
      TIniScripter again;
      again.LoadFromFile(path.string());
    } catch (const UpdateError&) {
      // A damaged enciphered value below: reported, the file stays as it was.
    }
    const std::string now = fuzz::ReadFile(path);
    FUZZ_CHECK(now.starts_with(kMark) == with_mark);
    FUZZ_CHECK(SplitLines(Body(now)).size() == before.size());
  }
  return 0;
}
