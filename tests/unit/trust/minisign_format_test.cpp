// The text forms a stranger may write: keys, signature files and trusted comments are read in
// their exact form or refused with a reason.
#include <gtest/gtest.h>

#include "core/text.h"
#include "trust/trust.h"
#include "unit/trust/fixtures.h"

namespace zepr::trust {
namespace {

namespace fx = testing::trust_fixtures;

TEST(PublicKey, ReadsTheKeyLineOrTheWholeFileAsMinisignWritesThem) {
  const std::string line = fx::kKeyA;
  for (const std::string& text :
       {line, std::string(fx::kKeyAFile), ReplaceAll(fx::kKeyAFile, "\n", "\r\n"),
        "  " + line + " \r\n", "\n" + std::string(fx::kKeyAFile) + "\n\n"}) {
    SCOPED_TRACE(text);
    const auto key = ParsePublicKey(text);
    ASSERT_TRUE(key);
    // The id as minisign printed it in the file's comment.
    EXPECT_EQ(KeyIdText(key->id), fx::kKeyAId);
  }
}

TEST(PublicKey, RefusesAnythingElse) {
  const std::string line = fx::kKeyA;
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"one character short", line.substr(1)},
      {"one character more", line + "A"},
      {"not base64", ReplaceAll(line, "+", "-")},
      {"padded", line.substr(0, 54) + "=="},
      {"a signature's algorithm", "RUQ" + line.substr(3)},
      {"two keys", line + "\n" + fx::kKeyB},
      {"comment not minisign's", "comment: x\n" + line},
      {"blank inside", line.substr(0, 20) + " " + line.substr(20)},
      {"NUL after it", line + std::string(1, '\0')},
      {"a lone CR inside", line.substr(0, 20) + "\r" + line.substr(20)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Refusal why;
    EXPECT_FALSE(ParsePublicKey(c.text, &why));
    EXPECT_STREQ(why.reason, reason::kBadConfiguredKey);
    EXPECT_FALSE(why.detail.empty());
  }
}

TEST(SignatureFile, ReadsMinisignsFourLinesWithEitherLineEnd) {
  for (const std::string& text :
       {std::string(fx::kGood), ReplaceAll(fx::kGood, "\n", "\r\n"),
        std::string(fx::kGood).substr(0, std::string(fx::kGood).size() - 1)}) {
    const auto file = ParseSignatureFile(text);
    ASSERT_TRUE(file);
    EXPECT_EQ(std::string(file->algorithm.begin(), file->algorithm.end()), "ED");
    EXPECT_EQ(KeyIdText(file->key_id), fx::kKeyAId);
    EXPECT_EQ(file->trusted_comment, "file:Update.zip\tprogram:ZEPRTEST\ttimestamp:1700000000");
  }
  // The legacy form is read, to be refused by name when it is verified.
  const auto legacy = ParseSignatureFile(fx::kLegacy);
  ASSERT_TRUE(legacy);
  EXPECT_EQ(std::string(legacy->algorithm.begin(), legacy->algorithm.end()), "Ed");
}

TEST(SignatureFile, RefusesAnythingElse) {
  const std::vector<std::string> lines = SplitLines(fx::kGood);
  ASSERT_EQ(lines.size(), 4u);
  auto with = [&](size_t index, const std::string& line) {
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) text += (i == index ? line : lines[i]) + "\n";
    return text;
  };
  const std::string signature_line = lines[1];
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"three lines", lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n"},
      {"a fifth line", std::string(fx::kGood) + "\n"},
      {"a blank line between", lines[0] + "\n\n" + lines[1] + "\n" + lines[2] + "\n" + lines[3]},
      {"no untrusted comment prefix", with(0, "comment: x")},
      {"untrusted comment too long", with(0, "untrusted comment: " + std::string(1100, 'x'))},
      {"signature line short", with(1, signature_line.substr(4))},
      {"signature line not base64", with(1, ReplaceAll(signature_line, "/", "_"))},
      {"blank after the signature", with(1, signature_line + " ")},
      {"unknown algorithm \"EE\"", with(1, "RVQ" + signature_line.substr(3))},
      {"no trusted comment prefix", with(2, "trusted: file:Update.zip")},
      {"trusted comment too long", with(2, "trusted comment: " + std::string(8193, 'x'))},
      {"global signature short", with(3, lines[3].substr(4))},
      {"global signature unpadded", with(3, lines[3].substr(0, 86))},
      {"stray bits before the padding", with(3, lines[3].substr(0, 85) + "h==")},
      {"a lone CR in the comment", with(2, lines[2] + "\rprogram:DRUGI")},
      {"NUL in the comment", with(2, lines[2] + std::string(1, '\0'))},
      {"far too long", std::string(fx::kGood) + std::string(20000, 'x')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Refusal why;
    EXPECT_FALSE(ParseSignatureFile(c.text, &why));
    EXPECT_STREQ(why.reason, reason::kMalformedSignature);
  }
}

TEST(TrustedComment, ReadsTheThreeFieldsAndIgnoresTheRest) {
  struct Case {
    std::string text;
    TrustedComment expected;
  } cases[] = {
      {"file:Update.zip\tprogram:ZEPRTEST\ttimestamp:1700000000",
       {"Update.zip", "ZEPRTEST", 1700000000}},
      // Any order, unknown keys and minisign's bare words; a value keeps its colons and blanks.
      {"timestamp:0\thashed\tnote:a:b\tprogram:Moj program\tfile:C:x.zip\t",
       {"C:x.zip", "Moj program", 0}},
      {"file:Nadogradnja š.zip\tprogram:ABC\ttimestamp:999999999999999999",
       {"Nadogradnja š.zip", "ABC", 999999999999999999}},
      // The client is optional: without it, the file is for every client.
      {"file:Update.zip\tprogram:ZEPRTEST\tclient:Klijent 1\ttimestamp:5",
       {"Update.zip", "ZEPRTEST", 5, "Klijent 1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto comment = ParseTrustedComment(c.text);
    ASSERT_TRUE(comment);
    EXPECT_EQ(comment->file, c.expected.file);
    EXPECT_EQ(comment->program, c.expected.program);
    EXPECT_EQ(comment->timestamp, c.expected.timestamp);
    EXPECT_EQ(comment->client, c.expected.client);
  }
}

TEST(TrustedComment, RefusesMissingDoubledOrMalformedFields) {
  for (const std::string text : {
           "",
           "timestamp:1796958479\tfile:Update.zip\thashed",  // minisign's own: no program
           "file:Update.zip\tprogram:ZEPRTEST",
           "file:\tprogram:ZEPRTEST\ttimestamp:1",
           "file:a\tfile:b\tprogram:ZEPRTEST\ttimestamp:1",
           "file:a\tprogram:X\tprogram:Y\ttimestamp:1",
           "file:a\tprogram:X\ttimestamp:1\ttimestamp:2",
           "file:a\tprogram:X\ttimestamp:-1",
           "file:a\tprogram:X\ttimestamp: 1",
           "file:a\tprogram:X\ttimestamp:1e9",
           "file:a\tprogram:X\ttimestamp:9999999999999999999",
           "FILE:a\tPROGRAM:X\tTIMESTAMP:1",
           "file:a program:X timestamp:1",
       }) {
    SCOPED_TRACE(text);
    Refusal why;
    EXPECT_FALSE(ParseTrustedComment(text, &why));
    EXPECT_STREQ(why.reason, reason::kIncompleteComment);
  }
  // A client named twice, or as nothing, would leave its binding in doubt.
  for (const std::string text : {
           "file:a\tprogram:X\tclient:\ttimestamp:1",
           "file:a\tprogram:X\tclient:K\tclient:K\ttimestamp:1",
       }) {
    SCOPED_TRACE(text);
    Refusal why;
    EXPECT_FALSE(ParseTrustedComment(text, &why));
    EXPECT_STREQ(why.reason, reason::kMalformedSignature);
  }
}

}  // namespace
}  // namespace zepr::trust
