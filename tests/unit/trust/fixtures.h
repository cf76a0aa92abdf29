#pragma once

// Signatures made once by Debian's minisign 0.11 with two throwaway key pairs (minisign -G -W),
// over the file UpdateBytes() makes, so that the tests under Wine need no signer. A is trusted,
// B is not. Made with:
//   minisign -S -s a.key -m Update.zip -x good.minisig
//     -t "$(printf 'file:Update.zip\tprogram:ZEPRTEST\ttimestamp:1700000000')"
// the same with -l for the legacy form, and with no -t for minisign's own comment.
#include <cstdint>
#include <string>

namespace zepr::testing::trust_fixtures {

// Three blocks of the reader and a part of one, each byte from its offset.
inline std::string UpdateBytes() {
  std::string bytes(3 * 262144 + 4097, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>((static_cast<uint64_t>(i) * 2654435761u) >> 13);
  }
  return bytes;
}

inline constexpr char kKeyAFile[] =
    "untrusted comment: minisign public key BC0E3AC4FDD7F122\n"
    "RWQi8df9xDoOvO/nO3Gehu+5CbRsdAMhLJkyFkzvKRL10jsKEaik1qCj\n";
inline constexpr char kKeyA[] = "RWQi8df9xDoOvO/nO3Gehu+5CbRsdAMhLJkyFkzvKRL10jsKEaik1qCj";
inline constexpr char kKeyAId[] = "BC0E3AC4FDD7F122";
inline constexpr char kKeyB[] = "RWTnj1+OCAYeyWO3EOL7I+tVnAD/ina9Aj0sEVvEQKtMcFGx3p7SRYGq";

inline constexpr char kGood[] =
    "untrusted comment: signature from minisign secret key\n"
    "RUQi8df9xDoOvF0k0UUtwH+nbLkMKAAwi0sWcIX8WowcnJhhrmM4D2XJWjnkj1WqM8X25ri1e9EsxkdiEab7cPhReGjHv/"
    "TRIAk=\n"
    "trusted comment: file:Update.zip\tprogram:ZEPRTEST\ttimestamp:1700000000\n"
    "zM3EqZu7pDsQua3674V8KWH9dB5zNO6SoD4xp9swScIpAUw0SYwwTw/svXaSE1bEpAHVum7rlaIoz6PyEKMdBg==\n";

inline constexpr char kLegacy[] =
    "untrusted comment: signature from minisign secret key\n"
    "RWQi8df9xDoOvPRJw3lpNBjyePJM6dWrzcvlehgQLQE4n8twKa2n+wbPlOVVBcthAfFzCv1pKswUql9zqa3bx6ix+"
    "GWkE47V"
    "4ws=\n"
    "trusted comment: file:Update.zip\tprogram:ZEPRTEST\ttimestamp:1700000000\n"
    "Sd4ibxG7ZL1xsC6OcSn+ZUSXLqYmgFev1mbi8pGXTcAAtgsk2TDP/PDjJ3p92sJXmI/cIkrAp+mebg5JnpgACg==\n";

// minisign's own comment names the file and the time, but no program.
inline constexpr char kMinisignComment[] =
    "untrusted comment: signature from minisign secret key\n"
    "RUQi8df9xDoOvF0k0UUtwH+nbLkMKAAwi0sWcIX8WowcnJhhrmM4D2XJWjnkj1WqM8X25ri1e9EsxkdiEab7cPhReGjHv/"
    "TRIAk=\n"
    "trusted comment: timestamp:1796958479\tfile:Update.zip\thashed\n"
    "m0Ey8Q2FzWTQSTWrdUxwAk0+wdH1afxsauVlxA8fq3S1/YuisZHCAhSwtFG5GyzjMgYD3RXLgfpHoXwr65NfAQ==\n";

// The same bytes published as UpdateSpec.zip.
inline constexpr char kOtherFile[] =
    "untrusted comment: signature from minisign secret key\n"
    "RUQi8df9xDoOvF0k0UUtwH+nbLkMKAAwi0sWcIX8WowcnJhhrmM4D2XJWjnkj1WqM8X25ri1e9EsxkdiEab7cPhReGjHv/"
    "TRIAk=\n"
    "trusted comment: file:UpdateSpec.zip\tprogram:ZEPRTEST\ttimestamp:1700000000\n"
    "EE8Dnyh3bvyBmyKifBBbvtUwnZU8XJ72PIxsGJTsxyiMNpqvkTh3b/SpSe/E5Kt95n1ALRwYCDVySqN2vTWnBw==\n";

}  // namespace zepr::testing::trust_fixtures
