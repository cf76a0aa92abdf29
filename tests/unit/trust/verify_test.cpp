// A file is accepted only with a signature of a trusted key over exactly its bytes, whose
// signed comment names this file and this program; every other case is refused with its reason.
#include <gtest/gtest.h>

#include "core/path_text.h"
#include "core/text.h"
#include "support/sandbox.h"
#include "trust/trust.h"
#include "unit/trust/fixtures.h"

namespace zepr::trust {
namespace {

namespace fx = testing::trust_fixtures;

PublicKey Key(const char* text) {
  const auto key = ParsePublicKey(text);
  EXPECT_TRUE(key) << text;
  return key.value_or(PublicKey{});
}

class SignedFile : public ::testing::Test {
 protected:
  SignedFile() { testing::WriteFile(dir_.path() / "Update.zip", fx::UpdateBytes()); }

  std::string File() const { return Utf8FromPath(dir_.path() / "Update.zip"); }
  std::string Signature() const { return File() + ".minisig"; }

  testing::TempDir dir_;
  std::vector<PublicKey> keys_ = {Key(fx::kKeyB), Key(fx::kKeyA)};
  Expected expected_ = {"Update.zip", "ZEPRTEST"};
};

TEST_F(SignedFile, AcceptsTheSignedFileWhateverTheLetterCaseOfItsNames) {
  for (const std::string& signature :
       {std::string(fx::kGood), ReplaceAll(fx::kGood, "\n", "\r\n")}) {
    testing::WriteFile(dir_.path() / "Update.zip.minisig", signature);
    for (const Expected& expected : {expected_, Expected{"UPDATE.zip", "zeprTest"}}) {
      const Verdict verdict = VerifyFile(File(), Signature(), keys_, expected);
      ASSERT_TRUE(verdict.accepted) << verdict.refusal.Text();
      EXPECT_EQ(verdict.signed_for.file, "Update.zip");
      EXPECT_EQ(verdict.signed_for.program, "ZEPRTEST");
      EXPECT_EQ(verdict.signed_for.timestamp, 1700000000);
    }
  }
}

TEST_F(SignedFile, RefusesEachFaultWithItsReason) {
  std::string flipped = fx::UpdateBytes();
  flipped[flipped.size() - 1] ^= 1;  // in the last, partial block
  std::string flipped_first = fx::UpdateBytes();
  flipped_first[0] ^= 0x80;
  struct Case {
    const char* what;
    std::string bytes = fx::UpdateBytes();
    std::string signature = fx::kGood;  // empty: no .minisig
    std::vector<PublicKey> keys = {Key(fx::kKeyA)};
    Expected expected = {"Update.zip", "ZEPRTEST"};
    const char* reason = "";
  } cases[] = {
      {.what = "a flipped bit at the end", .bytes = flipped, .reason = reason::kBadSignature},
      {.what = "a flipped bit at the start",
       .bytes = flipped_first,
       .reason = reason::kBadSignature},
      {.what = "a byte more", .bytes = fx::UpdateBytes() + "x", .reason = reason::kBadSignature},
      {.what = "an empty file", .bytes = "", .reason = reason::kBadSignature},
      {.what = "an edited trusted comment",
       .signature = ReplaceAll(fx::kGood, "program:ZEPRTEST", "program:ZEPRTESX"),
       .expected = {"Update.zip", "ZEPRTESX"},
       .reason = reason::kBadSignature},
      {.what = "an edited untrusted comment does not matter",
       .signature = ReplaceAll(fx::kGood, "from minisign", "od izdavača")},
      {.what = "an unknown key", .keys = {Key(fx::kKeyB)}, .reason = reason::kUnknownKey},
      {.what = "no key at all", .keys = {}, .reason = reason::kUnknownKey},
      {.what = "the legacy form", .signature = fx::kLegacy, .reason = reason::kLegacySignature},
      {.what = "no signature file", .signature = "", .reason = reason::kNoSignature},
      {.what = "another file's signature",
       .signature = fx::kOtherFile,
       .reason = reason::kOtherFile},
      {.what = "asked for another file",
       .expected = {"UpdateSpec.zip", "ZEPRTEST"},
       .reason = reason::kOtherFile},
      {.what = "a name that differs beyond ASCII case",
       .expected = {"Update.zip ", "ZEPRTEST"},
       .reason = reason::kOtherFile},
      {.what = "another program",
       .expected = {"Update.zip", "DRUGI"},
       .reason = reason::kOtherProgram},
      {.what = "minisign's own comment",
       .signature = fx::kMinisignComment,
       .reason = reason::kIncompleteComment},
      {.what = "a malformed signature file",
       .signature = std::string(fx::kGood).substr(0, 120),
       .reason = reason::kMalformedSignature},
      // The signature of a trusted key read as the key of another id.
      {.what = "the key id changed",
       .signature = ReplaceAll(fx::kGood, "RUQi8df9xDoOv", "RUQi8dg9xDoOv"),
       .reason = reason::kUnknownKey},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::WriteFile(dir_.path() / "Update.zip", c.bytes);
    std::filesystem::remove(dir_.path() / "Update.zip.minisig");
    if (!c.signature.empty()) testing::WriteFile(dir_.path() / "Update.zip.minisig", c.signature);
    const Verdict verdict = VerifyFile(File(), Signature(), c.keys, c.expected);
    EXPECT_EQ(verdict.accepted, *c.reason == '\0');
    EXPECT_STREQ(verdict.refusal.reason, c.reason) << verdict.refusal.Text();
  }
}

// The refusal names what the signature held: the key by the id minisign prints, so that the
// publisher can tell which one, and the file or program it was for.
TEST_F(SignedFile, NamesWhatTheSignatureHeld) {
  testing::WriteFile(dir_.path() / "Update.zip.minisig", fx::kGood);
  EXPECT_EQ(VerifyFile(File(), Signature(), {Key(fx::kKeyB)}, expected_).refusal.Text(),
            std::string(reason::kUnknownKey) + " (" + fx::kKeyAId + ")");
  EXPECT_EQ(VerifyFile(File(), Signature(), keys_, {"Update.zip", "DRUGI"}).refusal.Text(),
            std::string(reason::kOtherProgram) + " (ZEPRTEST)");
  testing::WriteFile(dir_.path() / "Update.zip.minisig", fx::kOtherFile);
  EXPECT_EQ(VerifyFile(File(), Signature(), keys_, expected_).refusal.Text(),
            std::string(reason::kOtherFile) + " (UpdateSpec.zip)");
}

TEST_F(SignedFile, AFileThatCannotBeReadIsRefused) {
  testing::WriteFile(dir_.path() / "Update.zip.minisig", fx::kGood);
  std::filesystem::remove(dir_.path() / "Update.zip");
  EXPECT_STREQ(VerifyFile(File(), Signature(), keys_, expected_).refusal.reason,
               reason::kUnreadableFile);
  std::filesystem::create_directory(dir_.path() / "Update.zip");
  EXPECT_STREQ(VerifyFile(File(), Signature(), keys_, expected_).refusal.reason,
               reason::kUnreadableFile);
  // A folder in place of the signature is no signature.
  std::filesystem::remove(dir_.path() / "Update.zip.minisig");
  std::filesystem::create_directory(dir_.path() / "Update.zip.minisig");
  EXPECT_STREQ(VerifyFile(File(), Signature(), keys_, expected_).refusal.reason,
               reason::kNoSignature);
}

// The digest is minisign's: BLAKE2b-512 of the bytes, as b2sum prints it.
TEST(DigestFile, IsBlake2b512OfTheWholeFile) {
  testing::TempDir dir;
  testing::WriteFile(dir.path() / "f", fx::UpdateBytes());
  Digest digest{};
  Refusal why;
  ASSERT_TRUE(DigestFile(Utf8FromPath(dir.path() / "f"), digest, why)) << why.Text();
  std::string hex;
  for (uint8_t b : digest) {
    hex += "0123456789abcdef"[b >> 4];
    hex += "0123456789abcdef"[b & 15];
  }
  EXPECT_EQ(
      hex,
      "604c98189757a25880b7526f801bc6ca6012c5833cba05fc458f1a26ad96e3fbd692ddbebe9bcd5c2db03bd"
      "4e3ab21829684e829cbb00468413570014fda1fa4");
}

}  // namespace
}  // namespace zepr::trust
