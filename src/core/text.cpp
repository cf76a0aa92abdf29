#include "core/text.h"

#include <charconv>
#include <limits>

#include "core/errors.h"

namespace zepr {

std::string InvalidIntegerMessage(const std::string& text) {
  return "'" + text + "' is not a valid integer value";
}

std::string AsciiUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && AsciiUpper(a) == AsciiUpper(b);
}

std::string ReplaceAll(std::string s, std::string_view from, std::string_view to) {
  if (from.empty()) return s;
  size_t pos = 0;
  while ((pos = s.find(from, pos)) != std::string::npos) {
    s.replace(pos, from.size(), to);
    pos += to.size();
  }
  return s;
}

std::string Trim(std::string_view s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

std::optional<int32_t> ParseInt32(std::string_view s) {
  const bool negative = s.starts_with('-');
  if (negative || s.starts_with('+')) s.remove_prefix(1);
  const auto magnitude = ParseDecimal<uint32_t>(s);
  if (!magnitude || *magnitude > (negative ? 0x80000000u : 0x7FFFFFFFu)) return std::nullopt;
  return static_cast<int32_t>(negative ? 0u - *magnitude : *magnitude);
}

int32_t StrToInt(const std::string& s) {
  // As the system's own conversion always read numbers: leading blanks, a sign, and "$" or
  // "0x" for hexadecimal, whose 32 bits are taken as they stand ("$FFFFFFFF" is -1).
  std::string_view rest(s);
  while (rest.starts_with(' ')) rest.remove_prefix(1);
  bool negative = false;
  if (rest.starts_with('+') || rest.starts_with('-')) {
    negative = rest[0] == '-';
    rest.remove_prefix(1);
  }
  int base = 10;
  if (rest.starts_with('$')) {
    base = 16;
    rest.remove_prefix(1);
  } else if (rest.starts_with("0x") || rest.starts_with("0X")) {
    base = 16;
    rest.remove_prefix(2);
  }
  uint64_t magnitude = 0;
  const auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), magnitude, base);
  const uint64_t limit = base == 16 ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  if (rest.empty() || ec != std::errc() || ptr != rest.data() + rest.size() || magnitude > limit) {
    throw UpdateError(InvalidIntegerMessage(s));
  }
  const auto bits = static_cast<uint32_t>(magnitude);
  return static_cast<int32_t>(negative ? 0u - bits : bits);
}

bool NameLeavesFolder(std::string_view name) {
  if (name.empty()) return false;
  if (name[0] == '/' || name[0] == '\\' || (name.size() > 1 && name[1] == ':')) return true;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = name.size();
    if (name.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  size_t i = 0;
  const auto blank = [&](size_t at) { return line[at] == ' ' || line[at] == '\t'; };
  while (true) {
    while (i < line.size() && blank(i)) ++i;
    if (i == line.size()) return args;
    std::string arg;
    bool quoted = false;
    while (i < line.size() && (quoted || !blank(i))) {
      if (line[i] == '\\') {
        size_t run = 0;
        while (i < line.size() && line[i] == '\\') ++run, ++i;
        const bool before_quote = i < line.size() && line[i] == '"';
        arg.append(before_quote ? run / 2 : run, '\\');
        if (before_quote && run % 2 == 1) {
          arg += '"';
          ++i;
        }
      } else if (line[i] == '"') {
        if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          arg += '"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg += line[i++];
      }
    }
    args.push_back(std::move(arg));
  }
}

std::string SqlLiteral(std::string_view value) {
  // Built by appending: g++ 12 at -O3 warns falsely about "'" + std::string.
  std::string literal;
  literal.reserve(value.size() + 2);
  literal += '\'';
  for (char c : value) {
    literal += c;
    if (c == '\'') literal += c;
  }
  literal += '\'';
  return literal;
}

namespace {

std::optional<std::vector<uint64_t>> VersionNumbers(std::string_view v) {
  std::vector<uint64_t> parts;
  size_t pos = 0;
  while (true) {
    size_t dot = v.find('.', pos);
    std::string_view part = v.substr(pos, dot == std::string_view::npos ? v.npos : dot - pos);
    const auto n = part.size() > 18 ? std::nullopt : ParseDecimal<uint64_t>(part);
    if (!n) return std::nullopt;
    parts.push_back(*n);
    if (dot == std::string_view::npos) break;
    pos = dot + 1;
  }
  if (parts.size() != 4) return std::nullopt;
  return parts;
}

}  // namespace

int CompareVersions(std::string_view a, std::string_view b) {
  auto na = VersionNumbers(a);
  auto nb = VersionNumbers(b);
  if (na && nb) {
    if (*na < *nb) return -1;
    if (*nb < *na) return 1;
    return 0;
  }
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) out += separator;
    out += lines[i];
  }
  return out;
}

std::optional<std::string_view> UserInfo(std::string_view url) {
  const size_t scheme_end = url.find("://");
  const size_t host = scheme_end == std::string_view::npos ? 0 : scheme_end + 3;
  const std::string_view authority = url.substr(host, url.find_first_of("/?#", host) - host);
  // The last "@": a password may hold one unescaped, and it goes too.
  const size_t at = authority.rfind('@');
  if (at == std::string_view::npos) return std::nullopt;
  return authority.substr(0, at);
}

std::string MaskedUrl(std::string_view url) {
  const size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos || scheme_end == 0) return std::string(url);
  for (char c : url.substr(0, scheme_end)) {
    const bool scheme_char = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    if (!scheme_char) return std::string(url);
  }
  const size_t host = scheme_end + 3;
  const auto user_info = UserInfo(url);
  if (!user_info) return std::string(url);
  return std::string(url.substr(0, host)) + "***" +
         std::string(url.substr(host + user_info->size()));
}

}  // namespace zepr
