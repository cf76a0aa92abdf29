#include "http_cases.h"

#include <gtest/gtest.h>

namespace zepr::testing {

const std::vector<FiguresCase>& FinalFiguresCases() {
  static const std::vector<FiguresCase> cases = {
      {1500, true, "2k/2k..."},  {2500, true, "2k/2k..."}, {3500, true, "4k/4k..."},
      {2499, true, "2k/2k..."},  {2501, true, "3k/3k..."}, {0, true, "0k/0k..."},
      {2500, false, "2k/0k..."},
  };
  return cases;
}

const std::vector<FailureCase>& FailureCases() {
  static const std::vector<FailureCase> cases = {
      // The first answer decides quietly, as a status check before the transfer once did.
      {"missing file", "", Shown::kNothing, true, 1},
      {"401", R"({"status": 401})", Shown::kNothing, true, 1},
      {"500", R"({"status": 500})", Shown::kNothing, true, 1},
      {"never answered", R"({"hang": 30})", Shown::kNothing, true, 1},
      {"refused an answer", R"({"drop": 1})", Shown::kNothing, true, 1},
      // Cut or stalled at the same point again: one more try, then given up.
      {"body cut short", R"({"cut": 100000})", Shown::kDownloadError, false, 2},
      {"body stalls", R"({"cut": 100000, "stall": 30})", Shown::kDownloadError, false, 2},
      // Past the first 256 KB, where WinINet under Wine asks again too.
      {"body stalls past a block", R"({"cut": 300000, "stall": 30})", Shown::kDownloadError, false,
       2},
      // A refusal of the rest is not asked again.
      {"rest answered 404", R"({"cut": 100000, "times": 1, "then": "Nema.zip"})",
       Shown::kDownloadError, false, 2},
      // Longer than the caller allows: refused at the announced length, or where the body
      // passes the limit.
      {"longer than its limit", "", Shown::kNothing, true, 1, 999'999},
      {"longer than its limit, unannounced", R"({"nolength": 1})", Shown::kCleared, true, 1,
       500'000},
  };
  return cases;
}

void ExpectShown(Shown shown, const FakeWindow& window) {
  EXPECT_EQ(window.Label1(), shown == Shown::kNothing ? "Skidam > Update.zip" : "");
  if (shown != Shown::kDownloadError) {
    EXPECT_TRUE(window.dialogs.empty());
    return;
  }
  ASSERT_EQ(window.dialogs.size(), 1u);
  EXPECT_EQ(window.dialogs[0].title, "ZEPR Nadogradnja aplikacije");
  EXPECT_EQ(window.dialogs[0].text, "greška u downloadu");
}

const std::vector<CutCase>& CutCases() {
  static const std::vector<CutCase> cases = {
      {"cut at 90 %", R"({"cut": 900000, "times": 1})", true, false, 2, "etag", 1'000'000, {2}},
      {"stalls at 90 %",
       R"({"cut": 900000, "stall": 30, "times": 1})",
       true,
       false,
       2,
       "etag",
       1'000'000,
       {2}},
      {"cut every 300000 bytes",
       R"({"cutby": 300000})",
       true,
       false,
       4,
       "etag",
       1'000'000,
       {2, 4, 8}},
      {"only a date to check",
       R"({"cut": 900000, "times": 1, "noetag": 1})",
       true,
       false,
       2,
       "date",
       1'000'000,
       {2}},
      {"no validator: the length alone",
       R"({"cut": 900000, "times": 1, "noetag": 1, "nodate": 1})",
       true,
       false,
       2,
       "-",
       1'000'000,
       {2}},
      {"server ignores ranges",
       R"({"cut": 900000, "times": 1, "norange": 1})",
       true,
       false,
       2,
       "etag",
       1'900'000,
       {2}},
      {"replaced between attempts",
       R"({"cut": 500000, "times": 1, "then": "Nova.zip"})",
       true,
       true,
       2,
       "etag",
       1'700'000,
       {2}},
      {"no further than three attempts",
       R"({"cutby": 200000})",
       false,
       false,
       4,
       "etag",
       800'000,
       {2, 4, 8}},
  };
  return cases;
}

std::vector<std::string> PauseLines(const std::vector<uint32_t>& waits) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < waits.size(); ++i) {
    for (uint32_t s = waits[i]; s > 0; --s) {
      lines.push_back("Veza je prekinuta, nastavljam skidanje Update.zip za " + std::to_string(s) +
                      " s (pokušaj " + std::to_string(i + 2) + " od 4)");
    }
  }
  return lines;
}

const std::vector<ResumeCase>& ResumeCases() {
  static const std::vector<ResumeCase> cases = {
      {"same version", true, "{}", "", 0, false, 400'000, {"bytes=600000-"}},
      {"replaced on the server",
       true,
       R"({"update.zip": {"then": "Nova.zip"}})",
       "",
       0,
       true,
       1'000'000,
       {"bytes=600000-"}},
      {"no validator",
       false,
       R"({"update.zip": {"noetag": 1, "nodate": 1}})",
       "",
       0,
       false,
       1'000'000,
       {"-"}},
      {"too old", true, "{}", "", 8, false, 1'000'000, {"-"}},
      {"another URL", true, "{}", "Druga.zip", 0, false, 1'000'000, {"-"}},
      // A server that ignores If-Range: the rest of a file of the same length is not what is
      // held unless it says so itself.
      {"replaced, and the condition ignored",
       true,
       R"({"update.zip": {"then": "Nova.zip", "rangeonly": 1}})",
       "",
       0,
       true,
       1'000'000,
       {"bytes=600000-", "-"},
       400'000},
      {"the condition ignored, the rest unmarked",
       true,
       R"({"update.zip": {"rangeonly": 1, "noetag": 1, "nodate": 1}})",
       "",
       0,
       false,
       1'000'000,
       {"bytes=600000-", "-"},
       400'000},
  };
  return cases;
}

}  // namespace zepr::testing
