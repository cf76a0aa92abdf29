// Signatures made at test time by Debian's minisign with throwaway keys, through the publisher's
// script: what a publisher signs is accepted, and every way of getting it wrong is refused in
// the order the run asks (keys, signature, installed time).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <random>

#include "core/path_text.h"
#include "core/text.h"
#include "support/sandbox.h"
#include "trust/trust.h"

namespace zepr::trust {
namespace {

namespace fs = std::filesystem;

constexpr char kProgram[] = "ZEPRTEST";
constexpr char kClient[] = "KLIJENT";

// Bytes that do not compress, and more than the 64 KiB past which libgcrypt 1.10 aborts on a
// raw message: a legacy signature must be refused before anything would verify it.
std::string ArchiveBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (auto& c : bytes) c = static_cast<char>(random());
  return bytes;
}

class Minisign : public ::testing::Test {
 protected:
  void SetUp() override {
    minisign_ = testing::FindProgram("minisign");
    ASSERT_FALSE(minisign_.empty()) << "minisign is missing: scripts/install-deps installs it";
    MakeKeyPair("a");
    MakeKeyPair("b");
  }

  fs::path Key(const std::string& name) const { return dir_.path() / (name + ".key"); }
  std::string PublicKeyFile(const std::string& name) const {
    return testing::ReadFile(dir_.path() / (name + ".pub"));
  }

  void MakeKeyPair(const std::string& name) {
    const auto made =
        testing::RunProgram({minisign_, "-G", "-W", "-p", (dir_.path() / (name + ".pub")).string(),
                             "-s", Key(name).string()});
    ASSERT_EQ(made.exit_code, 0) << made.output;
  }

  // scripts/sign-update FILE PROGRAM KEY [CLIENT], as a publisher runs it.
  void Sign(const fs::path& file, const std::string& program, const std::string& key = "a",
            const std::string& client = "") {
    std::vector<std::string> argv{(testing::SourceDir() / "scripts" / "sign-update").string(),
                                  file.string(), program, Key(key).string()};
    if (!client.empty()) argv.push_back(client);
    const auto signed_ = testing::RunProgram(argv);
    ASSERT_EQ(signed_.exit_code, 0) << signed_.output;
  }

  testing::TempDir dir_;
  std::string minisign_;
};

// What a run decides for one file: the configured keys, the signature, the time installed.
std::string Decide(const std::array<std::string, 3>& settings, const fs::path& file,
                   const Expected& expected, const TimestampStore& store) {
  const TrustedKeys keys = LoadTrustedKeys(settings, {});
  if (keys.error) return keys.error->reason;
  const std::string path = Utf8FromPath(file);
  const Verdict verdict = VerifyFile(path, path + ".minisig", keys.keys, expected);
  if (!verdict.accepted) return verdict.refusal.reason;
  const auto refusal = store.Check(verdict.signed_for, time(nullptr));
  return refusal ? refusal->reason : "accepted";
}

TEST_F(Minisign, ASignedUpdateIsAcceptedAndEveryFaultRefusedWithItsReason) {
  const std::string bytes = ArchiveBytes(200 * 1024, 1);
  const std::string key_a = PublicKeyFile("a");
  struct Case {
    const char* what;
    // Makes the folder's Update.zip and its signature.
    std::function<void(const fs::path& folder)> publish;
    const char* outcome;
    std::array<std::string, 3> settings = {};
    Expected expected = {"Update.zip", kProgram, kClient};
  };
  const Case cases[] = {
      {"signed for this file and program",
       [&](const fs::path& f) { Sign(f / "Update.zip", kProgram); }, "accepted"},
      {"a flipped byte in the file",
       [&](const fs::path& f) {
         Sign(f / "Update.zip", kProgram);
         std::string changed = bytes;
         changed[changed.size() / 2] ^= 0x10;
         testing::WriteFile(f / "Update.zip", changed);
       },
       reason::kBadSignature},
      {"an edited trusted comment",
       [&](const fs::path& f) {
         Sign(f / "Update.zip", kProgram);
         const fs::path minisig = f / "Update.zip.minisig";
         testing::WriteFile(
             minisig, ReplaceAll(testing::ReadFile(minisig), "program:ZEPRTEST", "program:DRUGI"));
       },
       reason::kBadSignature,
       {},
       {"Update.zip", "DRUGI"}},
      {"signed by an unknown key",
       [&](const fs::path& f) { Sign(f / "Update.zip", kProgram, "b"); }, reason::kUnknownKey},
      {"the legacy form (minisign -l)",
       [&](const fs::path& f) {
         const auto made = testing::RunProgram({minisign_, "-S", "-l", "-s", Key("a").string(),
                                                "-m", (f / "Update.zip").string(), "-t",
                                                "file:Update.zip\tprogram:ZEPRTEST\ttimestamp:1"});
         ASSERT_EQ(made.exit_code, 0) << made.output;
       },
       reason::kLegacySignature},
      {"no .minisig", [](const fs::path&) {}, reason::kNoSignature},
      {"another file's signature over the same bytes",
       [&](const fs::path& f) {
         fs::copy_file(f / "Update.zip", f / "UpdateSpec.zip");
         Sign(f / "UpdateSpec.zip", kProgram);
         fs::copy_file(f / "UpdateSpec.zip.minisig", f / "Update.zip.minisig");
       },
       reason::kOtherFile},
      {"another program's", [&](const fs::path& f) { Sign(f / "Update.zip", "DRUGI"); },
       reason::kOtherProgram},
      {"bound to this client, letter case aside",
       [&](const fs::path& f) { Sign(f / "Update.zip", kProgram, "a", "Klijent"); }, "accepted"},
      {"bound to another client",
       [&](const fs::path& f) { Sign(f / "Update.zip", kProgram, "a", "DRUGI"); },
       reason::kOtherClient},
      {"bound to a client, for a run without one",
       [&](const fs::path& f) { Sign(f / "Update.zip", kProgram, "a", kClient); },
       reason::kOtherClient,
       {},
       {"Update.zip", kProgram}},
      // The common folder's name binds nothing: the signature is for every client.
      {"signed for every client (_SVI)",
       [&](const fs::path& f) {
         Sign(f / "Update.zip", kProgram, "a", "_svi");
         ASSERT_EQ(testing::ReadFile(f / "Update.zip.minisig").find("client:"), std::string::npos);
       },
       "accepted",
       {},
       {"Update.zip", kProgram, "DRUGI"}},
      {"dated two days ahead of this clock",
       [&](const fs::path& f) {
         const auto made = testing::RunProgram({minisign_, "-S", "-s", Key("a").string(), "-m",
                                                (f / "Update.zip").string(), "-t",
                                                "file:Update.zip\tprogram:ZEPRTEST\ttimestamp:" +
                                                    std::to_string(time(nullptr) + 2 * 86400)});
         ASSERT_EQ(made.exit_code, 0) << made.output;
       },
       reason::kSignedInFuture},
      {"minisign's own comment, which names no program",
       [&](const fs::path& f) {
         const auto made = testing::RunProgram(
             {minisign_, "-S", "-s", Key("a").string(), "-m", (f / "Update.zip").string()});
         ASSERT_EQ(made.exit_code, 0) << made.output;
       },
       reason::kIncompleteComment},
      {"older than the one installed",
       [&](const fs::path& f) {
         Sign(f / "Update.zip", kProgram);
         ASSERT_FALSE(TimestampStore(Utf8FromPath(f / TimestampStore::kFileName))
                          .Record({"UPDATE.ZIP", kProgram, time(nullptr) + 3600}));
       },
       reason::kOlderVersion},
      {"a malformed key in UPDATE.INI",
       [&](const fs::path& f) { Sign(f / "Update.zip", kProgram); },
       reason::kBadConfiguredKey,
       {key_a, "", ReplaceAll(key_a, "RW", "RX")}},
      {"a malformed .minisig",
       [&](const fs::path& f) {
         Sign(f / "Update.zip", kProgram);
         const fs::path minisig = f / "Update.zip.minisig";
         const auto lines = SplitLines(testing::ReadFile(minisig));
         testing::WriteFile(minisig, lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n");
       },
       reason::kMalformedSignature},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path folder = dir_.path() / ("case" + std::to_string(++n));
    fs::create_directories(folder);
    testing::WriteFile(folder / "Update.zip", bytes);
    c.publish(folder);
    auto settings = c.settings;
    if (settings == std::array<std::string, 3>{}) settings = {key_a, "", ""};
    const TimestampStore store(Utf8FromPath(folder / TimestampStore::kFileName));
    EXPECT_EQ(Decide(settings, folder / "Update.zip", c.expected, store), c.outcome);
  }
}

// After an install the time is recorded: the same archive is accepted again, an older signature
// of the same file is refused, and a newer one replaces it.
TEST_F(Minisign, TheInstalledTimeHoldsBackOlderSignaturesOnly) {
  const fs::path file = dir_.path() / "Update.zip";
  testing::WriteFile(file, ArchiveBytes(1000, 2));
  Sign(file, kProgram);
  const std::string older = testing::ReadFile(dir_.path() / "Update.zip.minisig");
  const std::array<std::string, 3> settings = {PublicKeyFile("a"), "", ""};
  const TimestampStore store(Utf8FromPath(dir_.path() / TimestampStore::kFileName));
  ASSERT_EQ(Decide(settings, file, {"Update.zip", kProgram}, store), "accepted");

  // The timestamp is the script's: seconds of the signing.
  const auto keys = LoadTrustedKeys(settings, {}).keys;
  const std::string path = Utf8FromPath(file);
  const Verdict verdict = VerifyFile(path, path + ".minisig", keys, {"Update.zip", kProgram});
  ASSERT_TRUE(verdict.accepted);
  EXPECT_LE(std::abs(verdict.signed_for.timestamp - time(nullptr)), 60);
  ASSERT_FALSE(store.Record(verdict.signed_for));
  EXPECT_EQ(Decide(settings, file, {"Update.zip", kProgram}, store), "accepted");

  sleep(1);
  Sign(file, kProgram);
  const Verdict newer = VerifyFile(path, path + ".minisig", keys, {"Update.zip", kProgram});
  ASSERT_TRUE(newer.accepted);
  ASSERT_GT(newer.signed_for.timestamp, verdict.signed_for.timestamp);
  ASSERT_FALSE(store.Record(newer.signed_for));
  testing::WriteFile(dir_.path() / "Update.zip.minisig", older);
  EXPECT_EQ(Decide(settings, file, {"Update.zip", kProgram}, store), reason::kOlderVersion);
}

// A large archive is read a block at a time: checked in a child process whose peak memory stays
// far below the file's size, and its last byte counts as much as its first.
TEST_F(Minisign, ALargeFileIsVerifiedWithoutBeingLoadedWhole) {
  constexpr size_t kMegabytes = 100;
  const fs::path file = dir_.path() / "Update.zip";
  {
    std::ofstream out(file, std::ios::binary);
    std::string block = ArchiveBytes(1 << 20, 3);
    for (size_t i = 0; i < kMegabytes; ++i) {
      block[i] ^= 1;
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  Sign(file, kProgram);
  const auto keys = LoadTrustedKeys({PublicKeyFile("a"), "", ""}, {}).keys;
  const std::string path = Utf8FromPath(file);

  // Exit status 0 when accepted, 1 when refused; and the child's peak memory.
  auto verify_in_child = [&](long& peak_kb) {
    const pid_t child = fork();
    if (child == 0) {
      const Verdict verdict = VerifyFile(path, path + ".minisig", keys, {"Update.zip", kProgram});
      _exit(verdict.accepted ? 0 : 1);
    }
    int status = 0;
    rusage usage{};
    EXPECT_EQ(wait4(child, &status, 0, &usage), child);
    peak_kb = usage.ru_maxrss;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  long peak_kb = 0;
  EXPECT_EQ(verify_in_child(peak_kb), 0);
  EXPECT_LT(peak_kb, 32 * 1024) << "peak memory in KiB";

  std::fstream patch(file, std::ios::binary | std::ios::in | std::ios::out);
  patch.seekg(-1, std::ios::end);
  const char last = static_cast<char>(patch.get());
  patch.seekp(-1, std::ios::end);
  patch.put(static_cast<char>(last ^ 0x01));
  patch.close();
  EXPECT_EQ(fs::file_size(file), kMegabytes << 20);
  EXPECT_EQ(verify_in_child(peak_kb), 1);
}

}  // namespace
}  // namespace zepr::trust
