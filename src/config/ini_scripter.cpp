#include "config/ini_scripter.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "core/errors.h"
#include "core/text.h"

namespace zepr {
namespace {

// Position of the marker at or after `from`, ASCII letters compared without case.
size_t FindMarker(const std::string& line, std::string_view marker, size_t from) {
  for (size_t p = from; p + marker.size() <= line.size(); ++p) {
    if (AsciiUpper(std::string_view(line).substr(p, marker.size())) == marker) return p;
  }
  return std::string::npos;
}

struct Pair {
  size_t open = std::string::npos;
  size_t close = std::string::npos;
};

Pair FindPair(const std::string& line, std::string_view marker, size_t from) {
  Pair pair;
  pair.open = FindMarker(line, marker, from);
  if (pair.open != std::string::npos) {
    pair.close = FindMarker(line, marker, pair.open + marker.size());
  }
  return pair;
}

std::string SystemReason(int error) { return std::generic_category().message(error); }

}  // namespace

void TIniScripter::Init() { Clear(); }

void TIniScripter::Clear() {
  lines_.clear();
  cipher_.Clear();
  values_.clear();
}

void TIniScripter::AddValue(const std::string& value) {
  values_.push_back(Value{value, std::string::npos});
}

std::string TIniScripter::GetValue(size_t index) const {
  return index < values_.size() ? values_[index].text : std::string();
}

size_t TIniScripter::ValueLine(size_t index) const {
  return index < values_.size() ? values_[index].line : std::string::npos;
}

void TIniScripter::LoadFromFile(const std::string& path) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UpdateError("Cannot open file \"" + path + "\". " + SystemReason(errno));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw UpdateError("Cannot open file \"" + path + "\". " + SystemReason(errno));
  Clear();
  lines_ = SplitLines(bytes);

  bool encipher = false;
  for (const std::string& line : lines_) {
    if (FindPair(line, kEncipherMarker, 0).close != std::string::npos) {
      encipher = true;
      break;
    }
  }
  const std::string_view marker = encipher ? kEncipherMarker : kDecipherMarker;
  const size_t width = marker.size();

  for (size_t i = 0; i < lines_.size(); ++i) {
    std::string& line = lines_[i];
    for (size_t from = 0;;) {
      Pair pair = FindPair(line, marker, from);
      if (pair.close == std::string::npos) break;
      cipher_.Clear();
      cipher_.Add(line.substr(pair.open + width, pair.close - pair.open - width));
      if (encipher) {
        cipher_.Encipher();
        std::string value = cipher_[0];
        cipher_.Clear();
        line = line.substr(0, pair.open) + std::string(kDecipherMarker) + value +
               std::string(kDecipherMarker) + line.substr(pair.close + width);
        Save(path);
        return;  // one value per load
      }
      cipher_.Decipher();
      std::string plain = cipher_[0];
      cipher_.Clear();
      values_.push_back(Value{plain, i});
      line = line.substr(0, pair.open + width) + plain + line.substr(pair.close);
      from = pair.open + width + plain.size() + width;
    }
  }
}

void TIniScripter::Save(const std::string& path) const {
  namespace fs = std::filesystem;
  const std::string temp = path + ".tmp";
  auto fail = [&](int error, bool remove_temp) {
    std::error_code ignored;
    if (remove_temp) fs::remove(temp, ignored);
    throw UpdateError("Cannot create file \"" + path + "\". " + SystemReason(error));
  };
  {
    errno = 0;
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) fail(errno ? errno : EIO, false);
    for (const std::string& line : lines_) out << line << "\r\n";
    out.close();
    if (out.fail()) fail(errno ? errno : EIO, true);
  }
  std::error_code ec;
  fs::perms perms = fs::status(path, ec).permissions();
  if (!ec) fs::permissions(temp, perms, ec);
  fs::rename(temp, path, ec);
  if (ec) fail(ec.value(), true);
}

}  // namespace zepr
