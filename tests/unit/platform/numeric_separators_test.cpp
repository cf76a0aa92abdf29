// The separators the window's statistics are written with, as the program reads them from the
// user's locale at start-up.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "support/sandbox.h"

// glibc keeps the names of the locales it has loaded for the life of the process; the leak
// checker of the sanitizer build would count them as ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:__argz_add_sep\n"; }

namespace zepr {
namespace {

namespace fs = std::filesystem;

// Sets the locale variables for one check and puts the old values back afterwards.
class LocaleEnvironment {
 public:
  LocaleEnvironment() {
    for (size_t i = 0; i < kNames.size(); ++i) {
      const char* value = std::getenv(kNames[i]);
      if (value) saved_[i] = value;
    }
  }
  ~LocaleEnvironment() {
    for (size_t i = 0; i < kNames.size(); ++i) Set(kNames[i], saved_[i]);
  }
  static void Set(const char* name, const std::optional<std::string>& value) {
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }

 private:
  static constexpr std::array<const char*, 4> kNames{"LC_ALL", "LC_NUMERIC", "LANG", "LOCPATH"};
  std::array<std::optional<std::string>, 4> saved_;
};

struct Variables {
  std::optional<std::string> lc_all, lc_numeric, lang;
};

platform::LocaleSeparators ReadWith(const Variables& v) {
  LocaleEnvironment::Set("LC_ALL", v.lc_all);
  LocaleEnvironment::Set("LC_NUMERIC", v.lc_numeric);
  LocaleEnvironment::Set("LANG", v.lang);
  return platform::UserNumericSeparators();
}

// No locale, the C locales and one that is not installed have no grouping mark of their own.
TEST(UserNumericSeparators, CLocalesAndMissingOnesGiveNoGroupingMark) {
  LocaleEnvironment restore;
  unsetenv("LOCPATH");
  struct Case {
    Variables variables;
    std::string thousands, decimal;
  } cases[] = {
      {{}, "", ""},
      {{"C.UTF-8", std::nullopt, std::nullopt}, "", "."},
      {{std::nullopt, "POSIX", std::nullopt}, "", "."},
      {{std::nullopt, std::nullopt, "C"}, "", "."},
      {{"xx_NOWHERE.UTF-8", std::nullopt, std::nullopt}, "", ""},
  };
  for (const auto& c : cases) {
    const auto separators = ReadWith(c.variables);
    EXPECT_EQ(separators.thousands, c.thousands) << c.variables.lc_all.value_or("-");
    EXPECT_EQ(separators.decimal, c.decimal) << c.variables.lc_all.value_or("-");
  }
}

// Real locales, compiled into a private folder from the system's locale sources: the variables
// count in the C library's order, and separators come out as UTF-8 also from a locale whose
// codeset is not (fr_FR in ISO-8859-1 writes its narrow no-break space as the byte A0).
TEST(UserNumericSeparators, FollowTheUsersLocaleInUtf8) {
  const std::string localedef = testing::FindProgram("localedef");
  if (localedef.empty()) GTEST_SKIP() << "localedef is not installed";
  testing::TempDir dir;
  for (const auto& [source, charmap] : {std::pair{"hr_HR", "UTF-8"}, std::pair{"fr_FR", "UTF-8"},
                                        std::pair{"fr_FR", "ISO-8859-1"}}) {
    const fs::path out = dir.path() / (std::string(source) + "." + charmap);
    const auto r = testing::RunProgram({localedef, "-i", source, "-f", charmap, out.string()});
    if (!fs::exists(out / "LC_NUMERIC")) {
      GTEST_SKIP() << "cannot compile the locale " << source
                   << " (locale sources missing?): " << r.output;
    }
  }
  LocaleEnvironment restore;
  setenv("LOCPATH", dir.path().c_str(), 1);
  struct Case {
    Variables variables;
    std::string thousands, decimal;
  } cases[] = {
      {{std::nullopt, "hr_HR.UTF-8", "fr_FR.UTF-8"}, ".", ","},
      {{"", "hr_HR.UTF-8", std::nullopt}, ".", ","},
      {{"fr_FR.UTF-8", "hr_HR.UTF-8", "hr_HR.UTF-8"}, "\u202F", ","},
      {{std::nullopt, "", "fr_FR.UTF-8"}, "\u202F", ","},
      {{std::nullopt, std::nullopt, "fr_FR.ISO-8859-1"}, "\u00A0", ","},
  };
  for (const auto& c : cases) {
    const auto separators = ReadWith(c.variables);
    const std::string which = c.variables.lc_all.value_or("-") + " " +
                              c.variables.lc_numeric.value_or("-") + " " +
                              c.variables.lang.value_or("-");
    EXPECT_EQ(separators.thousands, c.thousands) << which;
    EXPECT_EQ(separators.decimal, c.decimal) << which;
  }
}

}  // namespace
}  // namespace zepr
