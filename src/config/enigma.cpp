#include "config/enigma.h"

#include "core/encoding.h"
#include "core/errors.h"

namespace zepr {
namespace {

constexpr int kSymbols = 216;  // three six-position rotors
constexpr int kFirstCode = 32;
constexpr int kLastDomainCode = 246;
constexpr int kShiftLow = 32;    // 0..31 enciphered as 32..63
constexpr int kShiftHigh = 215;  // 247..255 enciphered as 32..40

struct Terms {
  int counter;
  int line;
  int position;
  int length;
};

Terms TermsFor(size_t n, size_t line_index, size_t j, size_t total_length) {
  return Terms{static_cast<int>(n % 6) * 36, static_cast<int>((line_index + 1) % 6) * 6,
               static_cast<int>(j % 6), static_cast<int>(total_length % kSymbols)};
}

int Stage(int t, int x) { return (t + x) % kSymbols + 1; }

int Unstage(int t, int y) {
  y = y - 1 - t % kSymbols;
  return y <= 0 ? y + kSymbols : y;
}

// Symbol 1..216 of an in-domain byte, enciphered; the result is again a symbol 1..216.
int EncipherSymbol(int code, const Terms& t) {
  int x = kSymbols - (code - kFirstCode);
  return Stage(t.length, Stage(t.position, Stage(t.line, Stage(t.counter, x))));
}

// Inverse of EncipherSymbol: from the symbol back to the in-domain byte.
int DecipherSymbol(int y, const Terms& t) {
  y = Unstage(t.counter, Unstage(t.line, Unstage(t.position, Unstage(t.length, y))));
  return kLastDomainCode + 2 - y;
}

[[noreturn]] void Damaged(const std::string& bytes) {
  throw UpdateError(InvalidIntegerMessage(Cp1250ToUtf8(bytes)));
}

}  // namespace

void TEnigma::Add(std::string line) { lines_.push_back(std::move(line)); }

std::string TEnigma::Text() const {
  std::string text;
  for (const std::string& line : lines_) text += line + "\r\n";
  return text;
}

void TEnigma::Prepare() {
  whole_text_.clear();
  for (const std::string& line : lines_) whole_text_ += line;
  text_length_ = whole_text_.size();
}

void TEnigma::Clear() {
  lines_.clear();
  whole_text_.clear();
  text_length_ = 0;
}

void TEnigma::Encipher() {
  // Flags first, then the bytes moved into the domain, so the flag half can be built whole.
  for (std::string& line : lines_) {
    std::string flags(line.size(), '0');
    std::string text = line;
    for (size_t k = 0; k < line.size(); ++k) {
      int c = static_cast<unsigned char>(line[k]);
      if (c < kFirstCode) {
        flags[k] = 'L';
        text[k] = static_cast<char>(c + kShiftLow);
      } else if (c > kLastDomainCode) {
        flags[k] = 'H';
        text[k] = static_cast<char>(c - kShiftHigh);
      }
    }
    line = flags + text;
  }
  Prepare();
  size_t n = 0;
  for (size_t i = 0; i < lines_.size(); ++i) {
    std::string& line = lines_[i];
    for (size_t j = 1; j <= line.size(); ++j) {
      ++n;
      int code = static_cast<unsigned char>(line[j - 1]);
      line[j - 1] = static_cast<char>(EncipherSymbol(code, TermsFor(n, i, j, text_length_)) + 31);
    }
  }
}

void TEnigma::Decipher() {
  Prepare();
  std::vector<std::string> result;
  result.reserve(lines_.size());
  size_t n = 0;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const std::string& line = lines_[i];
    if (line.size() % 2 != 0) Damaged(line);
    size_t h = line.size() / 2;
    std::string flags(h, '\0');
    std::string plain(h, '\0');
    for (size_t j = 1; j <= line.size(); ++j) {
      ++n;
      Terms terms = TermsFor(n, i, j, text_length_);
      int c = static_cast<unsigned char>(line[j - 1]);
      if (j <= h) {
        flags[j - 1] = static_cast<char>(DecipherSymbol(c - 31, terms));
        continue;
      }
      char flag = flags[j - h - 1];
      int f = (flag >= '0' && flag <= '9') ? flag - '0' : 0;
      int y = c - 31 - f;
      if (y < 1 || y > kSymbols) Damaged(std::string(1, flag));
      int code = DecipherSymbol(y, terms) + f;
      if (flag == 'L') code -= kShiftLow;
      if (flag == 'H') code += kShiftHigh;
      bool ok = (flag >= '0' && flag <= '9' && code <= 255) ||
                (flag == 'L' && code >= 0 && code < kFirstCode) ||
                (flag == 'H' && code > kLastDomainCode && code <= 255);
      if (!ok) Damaged(std::string(1, flag));
      plain[j - h - 1] = static_cast<char>(code);
    }
    result.push_back(std::move(plain));
  }
  lines_ = std::move(result);
}

}  // namespace zepr
