#pragma once

// Downloads that survive a bad line: how often and when a cut transfer is asked for again, and
// the partial file that carries what arrived from one attempt, or one run, to the next.
// Internal to the transfer library; shared by both back ends.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/files.h"

namespace zepr::transfer {

// Beside the executable, out of reach of the emptying of Update/.
inline constexpr const char* kResumeFolderName = "ZEPRUpdateNastavak";
// A partial file this old is not continued; the server has long moved on.
inline constexpr int kPartialKeepDays = 7;

// The first attempt and at most three more, each after a longer pause.
inline constexpr int kMaxAttempts = 4;
inline constexpr int kRetryWaitsMs[kMaxAttempts - 1] = {2000, 4000, 8000};

// "Veza je prekinuta, nastavljam skidanje NAME za S s (pokušaj A od 4)"
std::string RetryStatusText(const std::string& display_name, int seconds, int attempt);

// Decides after each failed attempt whether another one is worth it: only while every attempt
// brings the file further than all before it, so a server that cuts or stalls at the same
// point is given up on after one more try.
class RetryPlan {
 public:
  // held: the bytes of the file held before the first attempt.
  explicit RetryPlan(uint64_t held = 0) : best_(held) {}
  // The attempt ended with held bytes of the file: the pause before the next attempt in
  // milliseconds, or nothing when the download is given up.
  std::optional<int> After(uint64_t held);
  // The number of the attempt that runs next, from 1.
  int attempt() const { return attempt_; }

 private:
  int attempt_ = 1;
  uint64_t best_;
};

// What tells one version of a file on the server from another.
struct FileVersion {
  std::string etag;      // HTTP: a strong ETag, never a weak one
  std::string modified;  // HTTP: Last-Modified; FTP: the MDTM reply
  int64_t total = -1;    // the whole length; -1 when unknown

  // Enough to ask for the rest of this version and nothing else.
  bool Identifies() const { return total > 0 && (!etag.empty() || !modified.empty()); }
  bool operator==(const FileVersion&) const = default;
};

// --- HTTP ranges ----------------------------------------------------------------------------

// "bytes N-M/T" of a 206 answer.
struct ContentRange {
  uint64_t first = 0;
  uint64_t last = 0;
  uint64_t total = 0;
};
std::optional<ContentRange> ParseContentRange(std::string_view value);

// The ETag when it is a strong one; a weak one cannot vouch for every byte.
std::string StrongEtag(std::string_view etag);

// The header lines that ask for the rest of a file from offset: Range, and If-Range with the
// validator of the version held (the strong ETag, else the date), so that a changed file comes
// whole instead. None at offset 0.
std::vector<std::string> RangeHeaders(uint64_t offset, const FileVersion& held);

// What the head of an answer makes of the bytes held.
enum class Take {
  kFromStart,  // a whole file follows: what is held goes
  kAppend,     // the rest of the version held follows
  kRestart,    // nothing of this answer is usable, but a request for the whole file is
  kRefuse,     // the answer is not the file
};
struct HttpHead {
  long status = 0;
  int64_t content_length = -1;
  std::string etag;  // as sent
  std::string last_modified;
  std::string content_range;
};
Take JudgeAnswer(const HttpHead& head, uint64_t offset, const FileVersion& held);
// The version an answer taken from the start describes.
FileVersion VersionOf(const HttpHead& head);
// Whether an answer with this status may be asked again: a server that is busy or failed may
// answer next time, one that refuses the request will refuse it again.
bool StatusWorthRetry(long status);

// --- The partial file -----------------------------------------------------------------------

// The bytes of one download that arrived so far. With a resume folder they are kept there,
// with a record of the URL and version they belong to, so that a later run fetching the same
// URL can continue them; without one, in a temporary file beside the target. The target itself
// only ever receives a complete file.
class PartialFile {
 public:
  // Looks for what an earlier run left for this URL and target, and removes what has grown too
  // old. resume_folder: "" for none. process_id names the temporary beside the target. Once the
  // target has come whole, what other URLs left for it goes too. Only the names runs make are
  // ever touched in the folder, and a link at its name, or at those names, is removed, never
  // followed.
  PartialFile(std::string resume_folder, std::string url, std::string target,
              unsigned long process_id);
  ~PartialFile();
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  // Bytes held, and the version they belong to (empty when nothing is held).
  uint64_t held() const { return held_; }
  const FileVersion& version() const { return version_; }

  // Empties the file for a new version; false with error() when the file cannot be made.
  bool Restart(const FileVersion& version);
  bool Append(const char* data, size_t size);
  // Puts the complete file at target; the record goes with it.
  bool Commit();
  // Keeps the bytes for a later run when they can be continued, else removes them.
  void Keep();
  // Removes the bytes and the record.
  void Drop();

  const std::error_code& error() const { return error_; }

 private:
  bool OpenFile();
  // Whether the resume folder is a folder of its own (made when create); see the constructor.
  void SweepResumeFolder();
  std::string InResumeFolder(const std::string& name) const;
  bool OpenInResumeFolder();
  void RemoveEmptyResumeFolder();
  void RemoveOthersForTarget();
  void WriteRecord();
  void RemoveRecord();
  std::string RecordPath() const { return data_path_ + ".info"; }

  std::string resume_folder_;  // without a separator at the end
  std::string url_;
  std::string target_;
  unsigned long process_id_;
  std::string data_path_;  // "" until known
  bool in_resume_folder_ = false;
  platform::File file_;
  uint64_t held_ = 0;
  FileVersion version_;
  bool kept_ = false;
  std::error_code error_;
};

// The name of a download in the resume folder, from its URL and target.
std::string PartialKey(std::string_view target);

}  // namespace zepr::transfer
