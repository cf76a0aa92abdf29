// The HTTP download cases every back end runs: libcurl (http_download_test) and WinINet under
// Wine (win32/wininet_transfer_test). The rules are entries of tests/support/http_endpoint.py's
// control file. A back end's own cases stay in its test, beside these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/fake_window.h"
#include "transfer/http_download.h"

namespace zepr::testing {

struct FiguresCase {
  size_t size;
  bool announced;  // Content-Length sent
  std::string figures;
};
const std::vector<FiguresCase>& FinalFiguresCases();

// kCleared: no dialog, and the figures shown meanwhile are gone.
enum class Shown { kNothing, kCleared, kDownloadError };

struct FailureCase {
  std::string what;
  std::string rule;  // control file entry for Update.zip; "missing file" serves none
  Shown shown;
  bool old_file_kept;
  size_t requests;
  uint64_t limit = kAnyLength;
};
const std::vector<FailureCase>& FailureCases();
// The dialog and status line a failed download leaves, the status having been
// "Skidam > Update.zip" before it.
void ExpectShown(Shown shown, const FakeWindow& window);

// A 1'000'000-byte Update.zip, and Nova.zip of 1'200'000 bytes where a rule switches to it.
struct CutCase {
  std::string what;
  std::string rule;  // control file entry for Update.zip
  bool delivered;
  bool replaced;                // Nova.zip arrives, not Update.zip
  size_t requests;              // Range requests among them: all but the first
  std::string if_range;         // "etag", "date" or "-" on the requests for the rest
  uint64_t sent;                // body bytes over the wire
  std::vector<uint32_t> waits;  // seconds of the pauses shown, in order
};
const std::vector<CutCase>& CutCases();
// The status lines of the pauses: each counts down, attempt by attempt.
std::vector<std::string> PauseLines(const std::vector<uint32_t>& waits);

// The first run is cut at 600000 bytes of a 1'000'000-byte Update.zip and gives up; Druga.zip
// is the same bytes, Nova.zip as long but other bytes.
struct ResumeCase {
  std::string what;
  bool validated;                   // the first run's answers carry an ETag and a date
  std::string second_rule;          // the server at the next run
  std::string url;                  // "" for the same
  int age_days;                     // of the partial file when the next run starts
  bool replaced;                    // Nova.zip arrives
  uint64_t sent;                    // by the next run
  std::vector<std::string> ranges;  // of its requests
  uint64_t unread = 0;  // more that may have been sent for an answer refused at its head
};
const std::vector<ResumeCase>& ResumeCases();

}  // namespace zepr::testing
