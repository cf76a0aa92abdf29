// The text forms of minisign's public keys, signature files and trusted comments. Everything
// here reads what a stranger may have written, so anything but the exact form is refused.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/base64.h"
#include "core/text.h"
#include "trust/trust.h"

namespace zepr::trust {

namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";

// Exactly out.size() bytes in base64's one canonical form, so one signature has one text.
template <size_t N>
bool DecodeBase64(std::string_view text, std::array<uint8_t, N>& out) {
  const auto bytes = Base64DecodeCanonical(text);
  if (!bytes || bytes->size() != N) return false;
  std::copy(bytes->begin(), bytes->end(), out.begin());
  return true;
}

bool Fail(Refusal* why, const char* reason, std::string detail) {
  if (why) *why = {reason, std::move(detail)};
  return false;
}

// The lines of a small text file: each may end in LF or CR LF, the last may end in neither.
// Any other CR, and a NUL, make the text no line-based text at all.
bool SplitTextLines(std::string_view text, std::vector<std::string_view>& lines) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    if (line.find_first_of(std::string_view("\r\0", 2)) != std::string_view::npos) return false;
    lines.push_back(line);
  }
  return true;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::optional<int64_t> ParseTimestamp(std::string_view text) {
  if (text.size() > 18) return std::nullopt;
  return ParseDecimal<int64_t>(text);
}

}  // namespace

std::string Refusal::Text() const {
  return detail.empty() ? std::string(reason) : std::string(reason) + " (" + detail + ")";
}

std::string KeyIdText(const KeyId& id) {
  std::string text;
  for (size_t i = id.size(); i-- > 0;) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", id[i]);
    text += hex;
  }
  return text;
}

std::optional<PublicKey> ParsePublicKey(std::string_view text, Refusal* why) {
  std::vector<std::string_view> lines;
  if (!SplitTextLines(text, lines)) {
    Fail(why, reason::kBadConfiguredKey, "nije redak teksta");
    return std::nullopt;
  }
  // Blank lines around the key, as a file or a setting may have them.
  while (!lines.empty() && TrimBlanks(lines.back()).empty()) lines.pop_back();
  while (!lines.empty() && TrimBlanks(lines.front()).empty()) lines.erase(lines.begin());
  if (lines.size() == 2 && lines[0].starts_with(kUntrustedPrefix)) lines.erase(lines.begin());
  if (lines.size() != 1) {
    Fail(why, reason::kBadConfiguredKey, "očekuje se jedan redak ključa");
    return std::nullopt;
  }
  std::array<uint8_t, 42> bytes;
  if (!DecodeBase64(TrimBlanks(lines[0]), bytes)) {
    Fail(why, reason::kBadConfiguredKey, "nije ključ u base64 obliku");
    return std::nullopt;
  }
  if (bytes[0] != 'E' || bytes[1] != 'd') {
    Fail(why, reason::kBadConfiguredKey, "nije ključ Ed25519");
    return std::nullopt;
  }
  PublicKey key;
  std::memcpy(key.id.data(), bytes.data() + 2, key.id.size());
  std::memcpy(key.key.data(), bytes.data() + 10, key.key.size());
  return key;
}

std::optional<SignatureFile> ParseSignatureFile(std::string_view text, Refusal* why) {
  const char* malformed = reason::kMalformedSignature;
  std::vector<std::string_view> lines;
  if (text.size() > kMaxSignatureFileBytes) {
    Fail(why, malformed, "predugačak");
    return std::nullopt;
  }
  if (!SplitTextLines(text, lines) || lines.size() != 4) {
    Fail(why, malformed, "očekuju se četiri retka");
    return std::nullopt;
  }
  if (!lines[0].starts_with(kUntrustedPrefix) || lines[0].size() > kMaxUntrustedCommentBytes) {
    Fail(why, malformed, "prvi redak nije nepotpisani komentar");
    return std::nullopt;
  }
  std::array<uint8_t, 74> signature_line;
  if (!DecodeBase64(lines[1], signature_line)) {
    Fail(why, malformed, "drugi redak nije potpis");
    return std::nullopt;
  }
  if (!lines[2].starts_with(kTrustedPrefix) ||
      lines[2].size() - kTrustedPrefix.size() > kMaxTrustedCommentBytes) {
    Fail(why, malformed, "treći redak nije potpisani komentar");
    return std::nullopt;
  }
  SignatureFile file;
  if (!DecodeBase64(lines[3], file.global_signature)) {
    Fail(why, malformed, "četvrti redak nije potpis komentara");
    return std::nullopt;
  }
  std::memcpy(file.algorithm.data(), signature_line.data(), 2);
  const std::string_view algorithm(reinterpret_cast<const char*>(file.algorithm.data()), 2);
  if (algorithm != "ED" && algorithm != "Ed") {
    Fail(why, malformed, "nepoznat algoritam");
    return std::nullopt;
  }
  std::memcpy(file.key_id.data(), signature_line.data() + 2, file.key_id.size());
  std::memcpy(file.signature.data(), signature_line.data() + 10, file.signature.size());
  file.trusted_comment = std::string(lines[2].substr(kTrustedPrefix.size()));
  return file;
}

std::optional<TrustedComment> ParseTrustedComment(std::string_view text, Refusal* why) {
  std::optional<std::string> file, program, client;
  std::optional<int64_t> timestamp;
  for (;;) {
    const size_t tab = text.find('\t');
    const std::string_view pair = text.substr(0, tab);
    const size_t colon = pair.find(':');
    if (colon != std::string_view::npos) {
      const std::string_view key = pair.substr(0, colon);
      const std::string_view value = pair.substr(colon + 1);
      // A field given twice would let two readers see two different bindings.
      if (key == "file" || key == "program") {
        auto& field = key == "file" ? file : program;
        if (field || value.empty()) {
          Fail(why, reason::kIncompleteComment, std::string(key) + ": prazan ili dvostruk");
          return std::nullopt;
        }
        field = std::string(value);
      } else if (key == "client") {
        // Optional, so not incomplete when wrong: its binding would be in doubt.
        if (client || value.empty()) {
          Fail(why, reason::kMalformedSignature, "client: prazan ili dvostruk");
          return std::nullopt;
        }
        client = std::string(value);
      } else if (key == "timestamp") {
        if (timestamp || !(timestamp = ParseTimestamp(value))) {
          Fail(why, reason::kIncompleteComment, "timestamp: nije broj sekundi ili je dvostruk");
          return std::nullopt;
        }
      }
    }
    if (tab == std::string_view::npos) break;
    text.remove_prefix(tab + 1);
  }
  if (!file || !program || !timestamp) {
    Fail(why, reason::kIncompleteComment, "");
    return std::nullopt;
  }
  return TrustedComment{*file, *program, *timestamp, client.value_or("")};
}

}  // namespace zepr::trust
