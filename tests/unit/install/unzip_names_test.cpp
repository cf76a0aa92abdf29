#include <gtest/gtest.h>

#include "install/unzip_backend.h"

namespace zepr {
namespace {

// On Windows these parts would reach a drive, a file's stream or a device, or lose their
// trailing dot; Linux holds them all.
TEST(UnzipNames, WindowsRefusesPartsItWouldTakeForSomethingElse) {
  for (const char* refused :
       {"C:",  "C:evil.txt", "a:b",      "x?.txt", "a*",      "pipe|", "q\"",
        "<in", "out>",       "tab\t",    "nul",    "NUL.txt", "con",   "Aux.log",
        "prn", "COM1",       "lpt9.txt", "trail.", "blank ",  ""}) {
    EXPECT_FALSE(unzip::WindowsAcceptsNamePart(refused)) << refused;
  }
  for (const char* accepted : {"a.txt", "Račun Šifrež.rpt", ".hidden", "nullable.txt", "console",
                               "COM", "COM10", "lpt", "a b", "Program Files"}) {
    EXPECT_TRUE(unzip::WindowsAcceptsNamePart(accepted)) << accepted;
  }
}

TEST(UnzipNames, RelativePathsStayBelowTheTarget) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"a/b.txt", "a/b.txt"},      {"a\\b\\c.txt", "a/b/c.txt"},
      {"./a//b/", "a/b"},          {"../a", std::nullopt},
      {"a/../../b", std::nullopt}, {"a\\..\\b", std::nullopt},
      {"/etc/x", std::nullopt},    {"\\x", std::nullopt},
      {"C:\\x", std::nullopt},     {"", ""},
  };
  for (const auto& [name, relative] : cases) {
    EXPECT_EQ(unzip::SafeRelativePath(name), relative) << name;
  }
}

}  // namespace
}  // namespace zepr
