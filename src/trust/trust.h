#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

// Signed updates: the publisher signs each file with minisign, and a file is used only when its
// signature comes from a key the workstation trusts and names this file, this program (and, when
// it names one, this client) and a time no older than the one last installed. Nothing here knows of
// runs or windows: the run asks at each point where a file has arrived whole and before it is used.
namespace zepr::trust {

// Why a file or a key is refused, as the status line shows it after the file's name.
namespace reason {
inline constexpr char kNoSignature[] = "nema potpisa";
inline constexpr char kMalformedSignature[] = "neispravan zapis potpisa";
inline constexpr char kBadSignature[] = "potpis nije ispravan";
inline constexpr char kUnknownKey[] = "nepoznat ključ";
inline constexpr char kLegacySignature[] = "zastarjeli oblik potpisa (potpišite ponovo bez -l)";
inline constexpr char kIncompleteComment[] = "potpisu nedostaje file:, program: ili timestamp:";
inline constexpr char kOtherFile[] = "potpis je za drugu datoteku";
inline constexpr char kOtherProgram[] = "potpis je za drugi program";
inline constexpr char kOtherClient[] = "potpis je za drugog klijenta";
inline constexpr char kOlderVersion[] = "starija verzija od instalirane";
inline constexpr char kSignedInFuture[] = "potpisan u budućnosti";
inline constexpr char kUnreadableFile[] = "datoteka se ne može pročitati";
inline constexpr char kCannotVerify[] = "potpis se ne može provjeriti";
inline constexpr char kDamagedStore[] = "zapis potpisanih verzija je oštećen";
inline constexpr char kBadConfiguredKey[] = "neispravan ključ u UPDATE.INI";
inline constexpr char kBadBuiltInKey[] = "neispravan ugrađeni ključ";
}  // namespace reason

// A refusal: one of the reasons above, and what the log may add (the key id, the name found,
// the system's words); empty when the reason says it all.
struct Refusal {
  const char* reason = "";
  std::string detail;
  // "reason (detail)", or the reason alone.
  std::string Text() const;
};

using KeyId = std::array<uint8_t, 8>;

// An Ed25519 public key as minisign writes it: base64 of "Ed", the key id and the 32-byte key.
struct PublicKey {
  KeyId id{};
  std::array<uint8_t, 32> key{};
};

// The key id as minisign prints it: hex of the id read as a little-endian number.
std::string KeyIdText(const KeyId& id);

// The key line of a minisign.pub, or the whole file (its untrusted comment line, then the key
// line); blanks around it and line ends of either kind are allowed, nothing else.
std::optional<PublicKey> ParsePublicKey(std::string_view text, Refusal* why = nullptr);

// A .minisig file. The trusted comment is kept as signed; its fields are read only after both
// signatures are verified.
struct SignatureFile {
  std::array<uint8_t, 2> algorithm{};  // "ED" (prehashed) or the legacy "Ed"
  KeyId key_id{};
  std::array<uint8_t, 64> signature{};
  std::string trusted_comment;
  std::array<uint8_t, 64> global_signature{};
};

// The longest comments read (no longer than minisign reads them), so that the message of the
// global signature stays far below the 64 KiB at which libgcrypt 1.10 aborts, and the longest
// .minisig file read.
inline constexpr size_t kMaxUntrustedCommentBytes = 1024;
inline constexpr size_t kMaxTrustedCommentBytes = 8192;
inline constexpr size_t kMaxSignatureFileBytes = 16384;

// Exactly four lines (each may end in CR LF; the last may have no line end): "untrusted
// comment: ...", the signature, "trusted comment: ...", the global signature.
std::optional<SignatureFile> ParseSignatureFile(std::string_view text, Refusal* why = nullptr);

// What the trusted comment binds: tab-separated key:value pairs, of which file, program and
// timestamp are required, each once, and client optional, at most once; unknown keys (and
// minisign's own bare "hashed") are ignored.
struct TrustedComment {
  std::string file;       // the published name
  std::string program;    // the program code
  int64_t timestamp = 0;  // Unix seconds
  std::string client;     // the client folder; empty: for every client
};
std::optional<TrustedComment> ParseTrustedComment(std::string_view text, Refusal* why = nullptr);

// What the run asked for: compared without regard to ASCII letter case.
struct Expected {
  std::string file_name;
  std::string program;
  std::string client;  // the run's client folder, whichever folder the file came from
};

struct Verdict {
  bool accepted = false;
  Refusal refusal;            // when refused
  TrustedComment signed_for;  // when accepted
};

using Digest = std::array<uint8_t, 64>;

// BLAKE2b-512 of the file, read in blocks; false with the refusal when it cannot be read.
bool DigestFile(const std::string& path, Digest& digest, Refusal& why);

// The checks after the digest, in this order: the algorithm ("Ed" refused), the key by its id,
// the file's signature over the digest, the global signature over signature and trusted
// comment, and only then the comment's fields against what was expected (the client only when
// the comment names one).
Verdict VerifyDigest(const Digest& digest, const SignatureFile& signature,
                     const std::vector<PublicKey>& keys, const Expected& expected);

// The file at path against its signature file (kNoSignature when that is missing). The
// timestamp is for TimestampStore to judge.
Verdict VerifyFile(const std::string& path, const std::string& signature_path,
                   const std::vector<PublicKey>& keys, const Expected& expected);

// How far a signature may be dated ahead of the workstation's clock: clocks differ, but a time
// from further ahead, once recorded, would hold back every later update.
inline constexpr int64_t kMostSignedAheadSeconds = 24 * 60 * 60;

// The newest timestamp accepted for each program and file name (ASCII letter case aside), kept
// in one small file that is only ever replaced whole.
class TimestampStore {
 public:
  // The file beside the executable.
  static constexpr char kFileName[] = "ZEPRUpdatePotpisi.txt";
  explicit TimestampStore(std::string path) : path_(std::move(path)) {}

  // Refused when signed more than kMostSignedAheadSeconds after now (Unix seconds of the
  // workstation's clock; kSignedInFuture, whatever the store holds), or earlier than the time
  // recorded; a missing store holds nothing, a damaged one refuses everything (kDamagedStore).
  std::optional<Refusal> Check(const TrustedComment& signed_for, int64_t now) const;
  // Keeps the signed time when it is newer than the recorded one (never goes back); the store
  // is written to a temporary file, flushed and renamed over the old one.
  std::error_code Record(const TrustedComment& signed_for) const;

 private:
  std::string path_;
};

// The [SIGN] settings of UPDATE.INI that name trusted keys.
inline constexpr std::array<const char*, 3> kKeySettings = {"KEY", "KEY2", "KEY3"};

// The keys set with ZEPR_SIGN_KEYS when the program was built (semicolons between them).
std::vector<std::string> BuiltInKeys();

struct TrustedKeys {
  // Empty: no key is configured and nothing is verified.
  std::vector<PublicKey> keys;
  // A key that could not be read: the run fails, it never goes on without that key.
  std::optional<Refusal> error;
};
// The values of KEY, KEY2, KEY3 in that order (an empty value is not set) and the built-in keys.
TrustedKeys LoadTrustedKeys(const std::array<std::string, 3>& settings,
                            const std::vector<std::string>& built_in = BuiltInKeys());

}  // namespace zepr::trust
