#include "transfer/resume.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>

#include "core/path_text.h"
#include "support/sandbox.h"

namespace zepr::transfer {
namespace {

// After each failed attempt: the bytes held then, and the pause that follows (nothing: given
// up).
struct Step {
  uint64_t held;
  std::optional<int> wait;
};

TEST(RetryPlan, AsksAgainOnlyWhileEveryAttemptGetsFurther) {
  struct Case {
    const char* what;
    uint64_t held_at_start;
    std::vector<Step> steps;
  } cases[] = {
      {"nothing arrived", 0, {{0, std::nullopt}}},
      {"cut at the same point", 0, {{900, 2000}, {900, std::nullopt}}},
      {"further each time", 0, {{100, 2000}, {200, 4000}, {300, 8000}, {400, std::nullopt}}},
      {"back from zero, not further", 0, {{500, 2000}, {400, std::nullopt}}},
      {"an earlier run's bytes must be passed", 700, {{700, std::nullopt}}},
      {"an earlier run's bytes passed", 700, {{800, 2000}, {900, 4000}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RetryPlan plan(c.held_at_start);
    int attempt = 1;
    for (const auto& step : c.steps) {
      EXPECT_EQ(plan.attempt(), attempt);
      EXPECT_EQ(plan.After(step.held), step.wait);
      if (step.wait) ++attempt;
    }
  }
}

TEST(RetryPlan, StatusLineNamesTheFileThePauseAndTheAttempt) {
  EXPECT_EQ(RetryStatusText("Update.zip (_SVI)", 4, 3),
            "Veza je prekinuta, nastavljam skidanje Update.zip (_SVI) za 4 s (pokušaj 3 od 4)");
}

// Only the rest of the very version held is appended, as the answer's own validator shows it;
// everything else starts from zero or is not the file.
TEST(JudgeAnswer, AppendsOnlyTheRestOfTheVersionHeld) {
  const std::string date = "Tue, 01 Dec 2026 10:00:00 GMT";
  const std::string later = "Wed, 02 Dec 2026 10:00:00 GMT";
  const FileVersion by_etag{"\"v1\"", date, 1000};
  const FileVersion by_date{"", date, 1000};
  const FileVersion by_length{"", "", 1000};
  struct Case {
    const char* what;
    const FileVersion& held;
    uint64_t offset;
    HttpHead head;
    Take take;
  } cases[] = {
      {"whole file", by_etag, 0, {200, 1000, "\"v1\"", "", ""}, Take::kFromStart},
      {"not found", by_etag, 0, {404, 10, "", "", ""}, Take::kRefuse},
      {"a part not asked for", by_etag, 0, {206, 100, "", "", "bytes 0-99/1000"}, Take::kRefuse},
      {"the rest", by_etag, 600, {206, 400, "\"v1\"", "", "bytes 600-999/1000"}, Take::kAppend},
      {"the rest without a length",
       by_etag,
       600,
       {206, -1, "\"v1\"", "", "bytes 600-999/1000"},
       Take::kAppend},
      {"changed: whole file", by_etag, 600, {200, 1200, "\"v2\"", "", ""}, Take::kFromStart},
      {"range from elsewhere",
       by_etag,
       600,
       {206, 500, "\"v1\"", "", "bytes 500-999/1000"},
       Take::kRestart},
      {"another length",
       by_etag,
       600,
       {206, 600, "\"v1\"", "", "bytes 600-1199/1200"},
       Take::kRestart},
      {"not up to the end",
       by_etag,
       600,
       {206, 200, "\"v1\"", "", "bytes 600-799/1000"},
       Take::kRestart},
      {"length disagrees",
       by_etag,
       600,
       {206, 300, "\"v1\"", "", "bytes 600-999/1000"},
       Take::kRestart},
      {"no range named", by_etag, 600, {206, 400, "\"v1\"", "", ""}, Take::kRestart},
      {"unsatisfiable", by_etag, 600, {416, 0, "", "", "bytes */500"}, Take::kRestart},
      {"gone", by_etag, 600, {404, 10, "", "", ""}, Take::kRefuse},
      // A server that ignores If-Range sends the rest of whatever it has now.
      {"the rest of another version",
       by_etag,
       600,
       {206, 400, "\"v2\"", date, "bytes 600-999/1000"},
       Take::kRestart},
      {"the rest under a weak tag",
       by_etag,
       600,
       {206, 400, "W/\"v1\"", date, "bytes 600-999/1000"},
       Take::kRestart},
      {"the rest without a validator",
       by_etag,
       600,
       {206, 400, "", "", "bytes 600-999/1000"},
       Take::kRestart},
      {"the rest by the date held",
       by_date,
       600,
       {206, 400, "", date, "bytes 600-999/1000"},
       Take::kAppend},
      {"the rest of a later date",
       by_date,
       600,
       {206, 400, "", later, "bytes 600-999/1000"},
       Take::kRestart},
      {"the rest without the date",
       by_date,
       600,
       {206, 400, "\"v1\"", "", "bytes 600-999/1000"},
       Take::kRestart},
      // Within a run, a file that has no validator is known by its length alone.
      {"the rest by the length alone",
       by_length,
       600,
       {206, 400, "", "", "bytes 600-999/1000"},
       Take::kAppend},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(JudgeAnswer(c.head, c.offset, c.held), c.take);
  }
}

TEST(JudgeAnswer, RangeAsksWithTheStrongestValidatorHeld) {
  struct Case {
    const char* what;
    FileVersion held;
    uint64_t offset;
    std::vector<std::string> headers;
  } cases[] = {
      {"nothing held", {"\"v1\"", "", 10}, 0, {}},
      {"etag",
       {"\"v1\"", "Tue, 01 Dec 2026 10:00:00 GMT", 10},
       5,
       {"Range: bytes=5-", "If-Range: \"v1\""}},
      {"date",
       {"", "Tue, 01 Dec 2026 10:00:00 GMT", 10},
       5,
       {"Range: bytes=5-", "If-Range: Tue, 01 Dec 2026 10:00:00 GMT"}},
      {"length alone", {"", "", 10}, 5, {"Range: bytes=5-"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(RangeHeaders(c.offset, c.held), c.headers);
  }
  // A weak tag cannot vouch for the bytes: the version is known by its date alone then.
  const FileVersion version = VersionOf({200, 10, "W/\"v1\"", "Tue, 01 Dec 2026 10:00:00 GMT", ""});
  EXPECT_EQ(version, (FileVersion{"", "Tue, 01 Dec 2026 10:00:00 GMT", 10}));
  EXPECT_TRUE(version.Identifies());
  EXPECT_FALSE(VersionOf({200, 10, "W/\"v1\"", "", ""}).Identifies());
  EXPECT_FALSE(VersionOf({200, -1, "\"v1\"", "", ""}).Identifies());
}

TEST(JudgeAnswer, ContentRangeIsReadStrictly) {
  struct Case {
    const char* text;
    std::optional<uint64_t> first;
  } cases[] = {
      {"bytes 0-9/10", 0},
      {"bytes 5-9/10", 5},
      {"bytes 5-9/*", std::nullopt},
      {"bytes */10", std::nullopt},
      {"bytes 9-5/10", std::nullopt},
      {"bytes 5-10/10", std::nullopt},
      {"items 5-9/10", std::nullopt},
      {"bytes 5-9/10x", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto range = ParseContentRange(c.text);
    ASSERT_EQ(range.has_value(), c.first.has_value());
    if (range) {
      EXPECT_EQ(range->first, *c.first);
    }
  }
}

// --- The resume folder ----------------------------------------------------------------------

namespace fs = std::filesystem;
using testing::ListFolder;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

constexpr char kUrl[] = "http://127.0.0.1/download/_UPDATE/update.php?file=K/DEMO/UPDATE.ZIP";
void Age(const fs::path& path, int days) {
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(24 * days));
}

// A run sweeps what is old from the folder, but only the files that runs make there: whatever
// else someone keeps in it stays, however old.
TEST(ResumeFolder, OnlyItsOwnOldFilesAreSwept) {
  TempDir dir;
  const fs::path folder = dir.path() / kResumeFolderName;
  const std::vector<std::string> own_old = {"0123456789abcdef.part", "0123456789abcdef.part.info",
                                            "0123456789abcdef.part.info.new"};
  const std::string own_recent = "fedcba9876543210.part";
  const std::vector<std::string> kept = {"0123456789abcdef.part.bak", "0123456789abcdeg.part",
                                         "Dokument.doc", "Stari.part", own_recent};
  for (const auto& names : {own_old, kept}) {
    for (const auto& name : names) {
      WriteFile(folder / name, name);
      if (name != own_recent) Age(folder / name, 30);
    }
  }

  {
    PartialFile partial(Utf8FromPath(folder) + "/", kUrl, Utf8FromPath(dir.path() / "Update.zip"),
                        1);
  }

  EXPECT_EQ(ListFolder(folder), kept);
  EXPECT_EQ(ReadFile(folder / "Dokument.doc"), "Dokument.doc");
}

#ifndef _WIN32
// Wine 8 shows a link to a folder as a reparse point but removes the folder it leads to, and
// shows a link to a file as the file: the links are planted on Linux only.

const FileVersion kVersion{"\"v1\"", "", 10};

// A download cut after five bytes, kept for a later run.
void LeaveFiveBytes(const std::string& folder, const std::string& target) {
  PartialFile partial(folder, kUrl, target, 1);
  ASSERT_TRUE(partial.Restart(kVersion));
  ASSERT_TRUE(partial.Append("12345", 5));
}

// A link at the folder's name is removed, never followed: nothing in the folder it leads to is
// swept or written, and the bytes are kept in a folder of the run's own.
TEST(ResumeFolder, ALinkAtItsNameIsRemovedNeverFollowed) {
  TempDir dir;
  TempDir elsewhere;
  WriteFile(elsewhere.path() / "Dokument.doc", "moj dokument");
  Age(elsewhere.path() / "Dokument.doc", 30);
  const fs::path folder = dir.path() / kResumeFolderName;
  fs::create_directory_symlink(elsewhere.path(), folder);

  LeaveFiveBytes(Utf8FromPath(folder) + "/", Utf8FromPath(dir.path() / "Update.zip"));

  EXPECT_EQ(ListFolder(elsewhere.path()), std::vector<std::string>{"Dokument.doc"});
  EXPECT_EQ(ReadFile(elsewhere.path() / "Dokument.doc"), "moj dokument");
  EXPECT_FALSE(fs::is_symlink(folder));
  EXPECT_EQ(ListFolder(folder).size(), 2u);  // the bytes and their record
}

// Links planted at the names of the partial file and of its record's temporary are removed or
// refused, never written through.
TEST(ResumeFolder, LinksAtItsFileNamesAreNotFollowed) {
  TempDir dir;
  TempDir elsewhere;
  const fs::path folder = dir.path() / kResumeFolderName;
  const std::string target = Utf8FromPath(dir.path() / "Update.zip");
  const fs::path part = folder / (PartialKey(std::string(kUrl) + "\n" + target) + ".part");
  const fs::path victim = elsewhere.path() / "Zrtva.txt";
  WriteFile(victim, "ne diraj");
  struct Case {
    const char* what;
    std::string planted;  // the name of the link, after the partial file's
  } cases[] = {{"the record's temporary", ".info.new"}, {"the partial file", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(folder);
    LeaveFiveBytes(Utf8FromPath(folder) + "/", target);
    const fs::path link = part.string() + c.planted;
    fs::remove(link);
    fs::create_symlink(victim, link);
    {
      // The next run finds another version on the server: the record is written anew.
      PartialFile partial(Utf8FromPath(folder) + "/", kUrl, target, 2);
      ASSERT_TRUE(partial.Restart({"\"v2\"", "", 10}));
      ASSERT_TRUE(partial.Append("abcde", 5));
    }
    EXPECT_EQ(ReadFile(victim), "ne diraj");
    EXPECT_FALSE(fs::is_symlink(part));
    EXPECT_EQ(ReadFile(part), "abcde");
    EXPECT_NE(ReadFile(part.string() + ".info").find("etag=\"v2\""), std::string::npos);
  }
}
#endif

}  // namespace
}  // namespace zepr::transfer
