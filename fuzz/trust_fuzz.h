#pragma once

// What the signature parsers' targets share: the canonical text of the bytes they read, to hold
// every accepted text to the one form it stands for.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "trust/trust.h"

namespace zepr::fuzz {

inline std::string Base64(const uint8_t* bytes, size_t size) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < size; i += 3) {
    const size_t n = std::min<size_t>(3, size - i);
    const uint32_t group = static_cast<uint32_t>(bytes[i]) << 16 |
                           (n > 1 ? static_cast<uint32_t>(bytes[i + 1]) << 8 : 0) |
                           (n > 2 ? bytes[i + 2] : 0);
    for (size_t k = 0; k < 4; ++k) text += k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=';
  }
  return text;
}

inline std::string KeyLine(const trust::PublicKey& key) {
  std::array<uint8_t, 42> bytes{'E', 'd'};
  std::copy(key.id.begin(), key.id.end(), bytes.begin() + 2);
  std::copy(key.key.begin(), key.key.end(), bytes.begin() + 10);
  return Base64(bytes.data(), bytes.size());
}

inline std::string SignatureText(const trust::SignatureFile& file) {
  std::array<uint8_t, 74> line{};
  std::copy(file.algorithm.begin(), file.algorithm.end(), line.begin());
  std::copy(file.key_id.begin(), file.key_id.end(), line.begin() + 2);
  std::copy(file.signature.begin(), file.signature.end(), line.begin() + 10);
  return "untrusted comment: x\n" + Base64(line.data(), line.size()) +
         "\ntrusted comment: " + file.trusted_comment + "\n" +
         Base64(file.global_signature.data(), file.global_signature.size()) + "\n";
}

}  // namespace zepr::fuzz
