// The newest signed time per program and file, and the keys a workstation trusts.
#include <gtest/gtest.h>

#include "core/path_text.h"
#include "support/sandbox.h"
#include "trust/trust.h"
#include "unit/trust/fixtures.h"

namespace zepr::trust {
namespace {

namespace fx = testing::trust_fixtures;

class SignedTimes : public ::testing::Test {
 protected:
  std::string Path() const { return Utf8FromPath(dir_.path() / TimestampStore::kFileName); }
  // "refused" or "accepted", with the reason when refused.
  std::string Check(const TrustedComment& signed_for, int64_t now = kNow) const {
    const auto refusal = TimestampStore(Path()).Check(signed_for, now);
    return refusal ? refusal->Text() : "accepted";
  }

  // The workstation's clock: 14.11.2023. 22:13:20 UTC.
  static constexpr int64_t kNow = 1700000000;

  testing::TempDir dir_;
};

TEST_F(SignedTimes, RefusesOnlyWhatIsOlderThanRecordedForThatProgramAndFile) {
  const TimestampStore store(Path());
  // Nothing recorded yet: no store file is made by a check.
  EXPECT_EQ(Check({"Update.zip", "ZEPRTEST", 5}), "accepted");
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / TimestampStore::kFileName));

  ASSERT_FALSE(store.Record({"Update.zip", "ZEPRTEST", 1000}));
  EXPECT_EQ(Check({"Update.zip", "ZEPRTEST", 999}),
            std::string(reason::kOlderVersion) + " (999 < 1000)");
  // The same archive again, and a newer one.
  EXPECT_EQ(Check({"Update.zip", "ZEPRTEST", 1000}), "accepted");
  EXPECT_EQ(Check({"Update.zip", "ZEPRTEST", 1001}), "accepted");
  // Letter case aside, it is the same program and file; other ones are not held back.
  EXPECT_EQ(Check({"UPDATE.ZIP", "zeprtest", 999}), Check({"Update.zip", "ZEPRTEST", 999}));
  EXPECT_EQ(Check({"UpdateSpec.zip", "ZEPRTEST", 1}), "accepted");
  EXPECT_EQ(Check({"Update.zip", "DRUGI", 1}), "accepted");

  // Recording never goes back; other entries stay.
  ASSERT_FALSE(store.Record({"UpdateSpec.zip", "ZEPRTEST", 7}));
  ASSERT_FALSE(store.Record({"update.zip", "ZEPRtest", 500}));
  EXPECT_NE(Check({"Update.zip", "ZEPRTEST", 999}), "accepted");
  ASSERT_FALSE(store.Record({"Update.zip", "ZEPRTEST", 2000}));
  EXPECT_NE(Check({"Update.zip", "ZEPRTEST", 1999}), "accepted");
  EXPECT_NE(Check({"UpdateSpec.zip", "ZEPRTEST", 6}), "accepted");
  // Nothing is left beside it but the store.
  EXPECT_EQ(testing::ListFolder(dir_.path()), std::vector<std::string>{TimestampStore::kFileName});
}

// A signature dated more than a day ahead of the workstation's clock is refused before the
// store is asked: recorded, it would hold back every later, correctly dated update.
TEST_F(SignedTimes, RefusesASignatureFromTheFuture) {
  const std::string future(reason::kSignedInFuture);
  // Clocks differ: up to a day ahead is accepted.
  EXPECT_EQ(Check({"Update.zip", "ZEPRTEST", kNow + 86400}), "accepted");
  EXPECT_EQ(Check({"Update.zip", "ZEPRTEST", kNow + 86401}), future + " (15.11.2023. 22:13 UTC)");
  EXPECT_EQ(Check({"Update.zip", "ZEPRTEST", 4102444800}), future + " (01.01.2100. 00:00 UTC)");
  // Past any calendar: the seconds as signed.
  EXPECT_EQ(Check({"Update.zip", "ZEPRTEST", 999999999999999999}),
            future + " (timestamp:999999999999999999)");
  // Also over a damaged store: the cause is the publisher's.
  testing::WriteFile(dir_.path() / TimestampStore::kFileName, "x");
  EXPECT_EQ(Check({"Update.zip", "ZEPRTEST", kNow + 86401}), future + " (15.11.2023. 22:13 UTC)");
}

TEST_F(SignedTimes, ADamagedStoreRefusesEverythingAndIsNotOverwritten) {
  for (const std::string damaged : {"1000\tZEPRTEST\tUPDATE.ZIP", "x\tZEPRTEST\tUPDATE.ZIP\n",
                                    "1000\tZEPRTEST\n", "1\tA\tB\n2\tA\tB\n", "\n"}) {
    SCOPED_TRACE(damaged);
    testing::WriteFile(dir_.path() / TimestampStore::kFileName, damaged);
    EXPECT_EQ(Check({"Other.zip", "ZEPRTEST", 5}), reason::kDamagedStore);
    EXPECT_TRUE(TimestampStore(Path()).Record({"Other.zip", "ZEPRTEST", 5}));
    EXPECT_EQ(testing::ReadFile(dir_.path() / TimestampStore::kFileName), damaged);
  }
}

TEST_F(SignedTimes, NamesThatWouldBreakItsLinesAreNotRecorded) {
  const TimestampStore store(Path());
  EXPECT_TRUE(store.Record({"a\tb.zip", "ZEPRTEST", 5}));
  EXPECT_TRUE(store.Record({"a.zip", "ZEPR\nTEST", 5}));
  EXPECT_TRUE(store.Record({"", "ZEPRTEST", 5}));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / TimestampStore::kFileName));
  // A name of any other bytes is kept as it is.
  ASSERT_FALSE(store.Record({"Nadogradnja š.zip", "ZEPRTEST", 5}));
  EXPECT_NE(Check({"NADOGRADNJA š.ZIP", "zeprtest", 4}), "accepted");
}

TEST(TrustedKeys, ComeFromTheThreeSettingsAndTheBuild) {
  const auto loaded = LoadTrustedKeys({"", fx::kKeyAFile, " "}, {fx::kKeyB});
  ASSERT_FALSE(loaded.error) << loaded.error->Text();
  ASSERT_EQ(loaded.keys.size(), 2u);
  EXPECT_EQ(KeyIdText(loaded.keys[0].id), fx::kKeyAId);
  EXPECT_EQ(loaded.keys[1].id, ParsePublicKey(fx::kKeyB)->id);

  EXPECT_TRUE(LoadTrustedKeys({"", "", ""}, {}).keys.empty());
  EXPECT_FALSE(LoadTrustedKeys({"", "", ""}, {}).error);
}

// A key that cannot be read fails the run: it never leaves the other keys, or none, in force.
TEST(TrustedKeys, AMalformedKeyIsAnErrorNamingItsSetting) {
  const std::string bad = std::string(fx::kKeyA).substr(1);
  struct Case {
    std::array<std::string, 3> settings;
    std::vector<std::string> built_in;
    std::string text;
  } cases[] = {
      {{bad, "", ""}, {}, std::string(reason::kBadConfiguredKey) + " (KEY: "},
      {{fx::kKeyA, fx::kKeyB, bad}, {}, std::string(reason::kBadConfiguredKey) + " (KEY3: "},
      {{fx::kKeyA, "", ""},
       {fx::kKeyB, bad},
       std::string(reason::kBadBuiltInKey) + " (ZEPR_SIGN_KEYS 2: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto loaded = LoadTrustedKeys(c.settings, c.built_in);
    ASSERT_TRUE(loaded.error);
    EXPECT_TRUE(loaded.error->Text().starts_with(c.text)) << loaded.error->Text();
    EXPECT_EQ(loaded.error->Text().find(bad), std::string::npos);
    EXPECT_TRUE(loaded.keys.empty());
  }
}

}  // namespace
}  // namespace zepr::trust
