// A .minisig file from the download site: a text read as a signature stands for exactly one
// signature file, and verifying it against the trusted key of its own id never accepts what that
// key did not sign. The seeds hold real signatures over the bytes the unit tests sign.
#include <cstring>

#include "fuzz_support.h"
#include "trust/trust.h"
#include "trust_fuzz.h"
#include "unit/trust/fixtures.h"

namespace {

namespace fx = zepr::testing::trust_fixtures;

const zepr::trust::Digest& SignedDigest() {
  static const zepr::trust::Digest digest = [] {
    const auto path = zepr::fuzz::Scratch().Fresh() / "Update.zip";
    zepr::fuzz::WriteFile(path, fx::UpdateBytes());
    zepr::trust::Digest d{};
    zepr::trust::Refusal why;
    FUZZ_CHECK(zepr::trust::DigestFile(path.string(), d, why));
    return d;
  }();
  return digest;
}

bool IsReason(const char* reason) {
  using namespace zepr::trust::reason;
  for (const char* known : {kLegacySignature, kUnknownKey, kBadSignature, kIncompleteComment,
                            kMalformedSignature, kOtherFile, kOtherProgram, kOtherClient}) {
    if (std::strcmp(reason, known) == 0) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zepr;
  const std::string text = fuzz::AsString(data, size);
  trust::Refusal why;
  const auto file = trust::ParseSignatureFile(text, &why);
  if (!file) {
    FUZZ_CHECK(why.reason == std::string(trust::reason::kMalformedSignature));
    return 0;
  }
  FUZZ_CHECK(file->trusted_comment.size() <= trust::kMaxTrustedCommentBytes);
  FUZZ_CHECK(file->trusted_comment.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
  const auto reread = trust::ParseSignatureFile(fuzz::SignatureText(*file));
  FUZZ_CHECK(reread && reread->algorithm == file->algorithm && reread->key_id == file->key_id &&
             reread->signature == file->signature &&
             reread->trusted_comment == file->trusted_comment &&
             reread->global_signature == file->global_signature);

  // The trusted key, and beside it a key of the signature's own id, so that the signatures are
  // checked whatever the id says.
  auto trusted = *trust::ParsePublicKey(fx::kKeyA);
  auto other = *trust::ParsePublicKey(fx::kKeyB);
  other.id = file->key_id;
  const std::vector<trust::PublicKey> keys =
      trusted.id == file->key_id ? std::vector{trusted} : std::vector{other, trusted};
  const trust::Expected expected{"update.ZIP", "zeprtest"};
  const trust::Verdict verdict = trust::VerifyDigest(SignedDigest(), *file, keys, expected);
  if (!verdict.accepted) {
    FUZZ_CHECK(IsReason(verdict.refusal.reason));
    FUZZ_CHECK(std::memcmp(file->algorithm.data(), "ED", 2) == 0 ||
               verdict.refusal.reason == std::string(trust::reason::kLegacySignature));
    return 0;
  }
  // Only key A ever signed these bytes, and only with the seeds' comments.
  FUZZ_CHECK(file->key_id == trusted.id);
  FUZZ_CHECK(file->trusted_comment.find("file:Update.zip\tprogram:ZEPRTEST\t") == 0);
  FUZZ_CHECK(verdict.signed_for.timestamp == 1700000000);
  return 0;
}
