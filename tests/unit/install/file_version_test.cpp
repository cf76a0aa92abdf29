#include "install/file_version.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/demo_app/pe_image.h"
#include "support/sandbox.h"

namespace zepr {
namespace {

using testing::BuildPeImage;
using testing::PeImageOptions;

TEST(FileVersionString, ReadsTheFileVersionNotTheProductVersion) {
  struct Case {
    const char* label;
    PeImageOptions image;
    const char* expected;
  };
  const Case cases[] = {
      {"PE32", {false, testing::FourPartVersion{5, 2, 0, 11}, {6, 0, 1, 2}}, "5.2.0.11"},
      {"PE32+", {true, testing::FourPartVersion{65535, 1, 300, 0}, {2, 0, 0, 0}}, "65535.1.300.0"},
      {"no resources", {false, std::nullopt, {1, 0, 0, 0}}, ""},
  };
  testing::TempDir dir;
  for (const auto& c : cases) {
    const auto path = dir.path() / (std::string(c.label) + ".exe");
    testing::WriteFile(path, BuildPeImage(c.image));
    EXPECT_EQ(FileVersionString(path.string()), c.expected) << c.label;
  }
}

TEST(FileVersionString, UnknownForWhatIsNotAWholeExecutableWithVersion) {
  testing::TempDir dir;
  const std::string image = BuildPeImage({false, testing::FourPartVersion{5, 2, 0, 11}, {}});
  std::string bad_signature = image;
  bad_signature[0x200 + 0x70 + 40] = 0;  // first byte of the fixed information's signature
  const std::pair<const char*, std::string> files[] = {
      {"empty", ""},
      {"text", "MZ but nothing more"},
      {"cut in the headers", image.substr(0, 0x100)},
      {"cut in the resources", image.substr(0, 0x200 + 0x80)},
      {"damaged version block", bad_signature},
  };
  for (const auto& [label, bytes] : files) {
    const auto path = dir.path() / label;
    testing::WriteFile(path, bytes);
    EXPECT_EQ(FileVersionString(path.string()), "") << label;
  }
  EXPECT_EQ(FileVersionString((dir.path() / "missing.exe").string()), "");
}

// Offsets and sizes inside the file are not trusted: any damaged byte gives a version or
// nothing, never a read outside the file.
TEST(FileVersionString, SurvivesEveryDamagedByte) {
  testing::TempDir dir;
  const std::string image = BuildPeImage({true, testing::FourPartVersion{5, 2, 0, 11}, {}});
  const auto path = dir.path() / "damaged.exe";
  for (size_t at = 0; at < 0x200 + 0xD0; ++at) {
    for (const char value : {'\x00', '\x01', '\x30', '\x7F', '\x80', '\xFF'}) {
      std::string bytes = image;
      bytes[at] = value;
      testing::WriteFile(path, bytes);
      const std::string version = FileVersionString(path.string());
      EXPECT_TRUE(version.empty() || std::count(version.begin(), version.end(), '.') == 3)
          << at << ": " << version;
    }
  }
}

}  // namespace
}  // namespace zepr
