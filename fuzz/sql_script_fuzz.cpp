// The script splitter on any bytes, checked against the script's own lines: every batch
// starts and ends where it says, holds no blank line, and no GO ends it early.
#include "core/encoding.h"
#include "core/text.h"
#include "dbupdate/sql_script_runner.h"
#include "fuzz_support.h"

namespace {

// The script's lines as the system's text files read: a line ends at LF or CR LF; after a
// lone CR the rest up to the next LF is dropped.
std::vector<std::string> ReferenceLines(const std::string& bytes) {
  const std::string text =
      bytes.starts_with("\xEF\xBB\xBF") ? bytes.substr(3) : zepr::Cp1250ToUtf8(bytes);
  std::vector<std::string> lines;
  std::string line;
  bool dropping = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
      dropping = false;
    } else if (c == '\r') {
      dropping = true;
    } else if (!dropping) {
      line += c;
    }
  }
  if (!line.empty() || dropping) lines.push_back(line);
  return lines;
}

bool IsGo(const std::string& line) { return zepr::AsciiUpper(zepr::Trim(line)) == "GO"; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes = zepr::fuzz::AsString(data, size);
  const std::vector<zepr::SqlBatch> batches = zepr::SplitSqlScript(bytes);
  const std::vector<std::string> lines = ReferenceLines(bytes);
  const bool utf8_promised = !bytes.starts_with("\xEF\xBB\xBF");

  int previous_go = 0;
  for (const auto& batch : batches) {
    FUZZ_CHECK(previous_go < batch.first_line && batch.first_line < batch.go_line);
    FUZZ_CHECK(static_cast<size_t>(batch.go_line) <= lines.size());
    FUZZ_CHECK(IsGo(lines[batch.go_line - 1]));
    previous_go = batch.go_line;
    if (utf8_promised) FUZZ_CHECK(zepr::IsValidUtf8(batch.text));

    // The text is the batch's non-blank lines, in order, joined with CR LF.
    std::string expected;
    bool in_comment = false;
    for (int n = batch.first_line; n < batch.go_line; ++n) {
      const std::string& line = lines[n - 1];
      const std::string trimmed = zepr::Trim(line);
      if (trimmed.empty()) continue;
      if (IsGo(line)) FUZZ_CHECK(in_comment);  // only a commented-out GO stays inside
      if (trimmed == "/*") in_comment = true;
      if (trimmed == "*/") in_comment = false;
      if (!expected.empty()) expected += "\r\n";
      expected += line;
    }
    FUZZ_CHECK(!in_comment);
    FUZZ_CHECK(!expected.empty() && batch.text == expected);
  }
  return 0;
}
