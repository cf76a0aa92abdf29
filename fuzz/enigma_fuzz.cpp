// The cipher on any lines: deciphering never runs past a line, a damaged list is left as it
// was, and whatever is enciphered deciphers back exactly.
#include "config/enigma.h"
#include "core/errors.h"
#include "fuzz_support.h"

namespace {

// The input's lines, split at LF (the cipher itself takes any byte, CR and LF included).
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  lines.push_back(text.substr(start));
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using zepr::TEnigma;
  const std::vector<std::string> lines = Lines(zepr::fuzz::AsString(data, size));

  TEnigma damaged;
  for (const auto& line : lines) damaged.Add(line);
  try {
    damaged.Decipher();
    FUZZ_CHECK(damaged.Count() == lines.size());
    for (size_t i = 0; i < lines.size(); ++i) FUZZ_CHECK(damaged[i].size() * 2 == lines[i].size());
  } catch (const zepr::UpdateError&) {
    FUZZ_CHECK(damaged.Lines() == lines);
  }

  TEnigma cipher;
  for (const auto& line : lines) cipher.Add(line);
  cipher.Encipher();
  FUZZ_CHECK(cipher.Count() == lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    FUZZ_CHECK(cipher[i].size() == lines[i].size() * 2);
    for (char c : cipher[i]) {
      const auto byte = static_cast<unsigned char>(c);
      FUZZ_CHECK(byte >= 32 && byte <= 247);
    }
  }
  cipher.Decipher();
  FUZZ_CHECK(cipher.Lines() == lines);
  return 0;
}
