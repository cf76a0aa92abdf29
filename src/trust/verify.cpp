// Verification with libgcrypt: Ed25519 over the BLAKE2b-512 digest of the file (minisign's
// "ED"), then over the signature and the trusted comment.
#include <gcrypt.h>

#include <algorithm>
#include <cstring>

#include "core/encoding.h"
#include "core/text.h"
#include "trust/file_blocks.h"
#include "trust/trust.h"

namespace zepr::trust {

namespace {

// Once per process, before any other call: the version check is what initialises the library.
// Nothing secret is held (only public keys), so no secure memory is needed.
bool LibraryReady() {
  static const bool ready = [] {
    if (!gcry_check_version(GCRYPT_VERSION)) return false;
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  return ready;
}

class Sexp {
 public:
  Sexp() = default;
  ~Sexp() { gcry_sexp_release(sexp_); }
  Sexp(const Sexp&) = delete;
  Sexp& operator=(const Sexp&) = delete;
  gcry_sexp_t* out() { return &sexp_; }
  gcry_sexp_t get() const { return sexp_; }

 private:
  gcry_sexp_t sexp_ = nullptr;
};

int Length(size_t size) { return static_cast<int>(size); }

// Pure Ed25519 over message. The message goes in as the data's value with SHA-512 named as the
// hash, which is how libgcrypt takes EdDSA input; its "prehash" flag would be Ed25519ph, another
// scheme. Every message here is at most 64 bytes of signature and a bounded comment.
bool VerifyEd25519(const std::array<uint8_t, 32>& key, const std::array<uint8_t, 64>& signature,
                   const uint8_t* message, size_t size) {
  Sexp public_key, sig, data;
  if (gcry_sexp_build(public_key.out(), nullptr,
                      "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))", Length(key.size()),
                      key.data()) != 0 ||
      gcry_sexp_build(sig.out(), nullptr, "(sig-val(eddsa(r %b)(s %b)))", 32, signature.data(), 32,
                      signature.data() + 32) != 0 ||
      gcry_sexp_build(data.out(), nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))",
                      Length(size), message) != 0) {
    return false;
  }
  return gcry_pk_verify(sig.get(), data.get(), public_key.get()) == 0;
}

// A name from the signed comment as the log may show it: one short line of UTF-8.
std::string Shown(std::string_view name) {
  constexpr size_t kMost = 80;
  const bool utf8 = IsValidUtf8(name);
  std::string shown;
  for (char c : name.substr(0, kMost)) {
    const auto byte = static_cast<unsigned char>(c);
    shown += byte < 0x20 || byte == 0x7f || (byte >= 0x80 && !utf8) ? '?' : c;
  }
  // Not in the middle of a character.
  while (utf8 && name.size() > kMost && !shown.empty() &&
         (static_cast<unsigned char>(name[shown.size()]) & 0xC0) == 0x80) {
    shown.pop_back();
  }
  return name.size() > kMost ? shown + "..." : shown;
}

Verdict Refused(const char* reason, std::string detail = {}) {
  Verdict verdict;
  verdict.refusal = {reason, std::move(detail)};
  return verdict;
}

}  // namespace

bool DigestFile(const std::string& path, Digest& digest, Refusal& why) {
  if (!LibraryReady()) {
    why = {reason::kCannotVerify, "libgcrypt"};
    return false;
  }
  gcry_md_hd_t hash = nullptr;
  if (gcry_md_open(&hash, GCRY_MD_BLAKE2B_512, 0) != 0) {
    why = {reason::kCannotVerify, "BLAKE2b-512"};
    return false;
  }
  std::string error;
  const ReadOutcome outcome = ReadBlocks(
      path,
      [&](const uint8_t* block, size_t size) {
        gcry_md_write(hash, block, size);
        return true;
      },
      error);
  if (outcome == ReadOutcome::kDone) {
    std::memcpy(digest.data(), gcry_md_read(hash, GCRY_MD_BLAKE2B_512), digest.size());
  } else {
    why = {reason::kUnreadableFile, error};
  }
  gcry_md_close(hash);
  return outcome == ReadOutcome::kDone;
}

Verdict VerifyDigest(const Digest& digest, const SignatureFile& signature,
                     const std::vector<PublicKey>& keys, const Expected& expected) {
  if (std::memcmp(signature.algorithm.data(), "ED", 2) != 0) {
    return Refused(reason::kLegacySignature);
  }
  const auto key = std::find_if(keys.begin(), keys.end(), [&](const PublicKey& candidate) {
    return candidate.id == signature.key_id;
  });
  if (key == keys.end()) return Refused(reason::kUnknownKey, KeyIdText(signature.key_id));
  if (!LibraryReady()) return Refused(reason::kCannotVerify, "libgcrypt");
  if (!VerifyEd25519(key->key, signature.signature, digest.data(), digest.size())) {
    return Refused(reason::kBadSignature);
  }
  // The comment is bound to this very signature, so it cannot be moved to another one.
  std::string signed_comment(signature.signature.begin(), signature.signature.end());
  signed_comment += signature.trusted_comment;
  if (!VerifyEd25519(key->key, signature.global_signature,
                     reinterpret_cast<const uint8_t*>(signed_comment.data()),
                     signed_comment.size())) {
    return Refused(reason::kBadSignature, "potpisani komentar");
  }

  Refusal why;
  const auto comment = ParseTrustedComment(signature.trusted_comment, &why);
  if (!comment) return Refused(why.reason, why.detail);
  if (!EqualsAsciiNoCase(comment->file, expected.file_name)) {
    return Refused(reason::kOtherFile, Shown(comment->file));
  }
  if (!EqualsAsciiNoCase(comment->program, expected.program)) {
    return Refused(reason::kOtherProgram, Shown(comment->program));
  }
  if (!comment->client.empty() && !EqualsAsciiNoCase(comment->client, expected.client)) {
    return Refused(reason::kOtherClient, Shown(comment->client));
  }
  Verdict verdict;
  verdict.accepted = true;
  verdict.signed_for = *comment;
  return verdict;
}

Verdict VerifyFile(const std::string& path, const std::string& signature_path,
                   const std::vector<PublicKey>& keys, const Expected& expected) {
  std::string text, error;
  bool too_long = false;
  const ReadOutcome outcome = ReadBlocks(
      signature_path,
      [&](const uint8_t* block, size_t size) {
        text.append(reinterpret_cast<const char*>(block), size);
        too_long = text.size() > kMaxSignatureFileBytes;
        return !too_long;
      },
      error);
  if (outcome == ReadOutcome::kMissing) return Refused(reason::kNoSignature);
  if (outcome == ReadOutcome::kFailed) return Refused(reason::kNoSignature, error);
  if (too_long) return Refused(reason::kMalformedSignature, "predugačak");

  Refusal why;
  const auto signature = ParseSignatureFile(text, &why);
  if (!signature) return Refused(why.reason, why.detail);
  // A legacy signature is refused before the file is read: it signs the file itself.
  if (std::memcmp(signature->algorithm.data(), "ED", 2) != 0) {
    return Refused(reason::kLegacySignature);
  }
  Digest digest;
  if (!DigestFile(path, digest, why)) return Refused(why.reason, why.detail);
  return VerifyDigest(digest, *signature, keys, expected);
}

}  // namespace zepr::trust
