#include "transfer/resume.h"

#include <chrono>
#include <sstream>

#include "core/run_log.h"
#include "core/text.h"
#include "transfer/transfer_shared.h"

namespace zepr::transfer {
namespace {

constexpr std::string_view kPartSuffix = ".part";
constexpr std::string_view kRecordSuffix = ".part.info";
constexpr std::string_view kRecordTemporarySuffix = ".part.info.new";

// The record is a few lines; a larger file at its name is not one.
constexpr uint64_t kRecordLimit = 64 * 1024;

// The record at path, "" when there is none; what is at the name is read only when it is a
// file (a FIFO would never answer).
std::string ReadRecord(const std::string& path) {
  std::error_code error;
  if (platform::KindOf(path, error) != platform::FolderEntry::Kind::kFile) return {};
  const platform::File in = platform::File::OpenForReading(path, error);
  std::string text;
  if (!in || in.ReadAll(text, kRecordLimit)) return {};
  return text;
}

// The names runs make in the resume folder: the key (16 hexadecimal digits, see PartialKey)
// with one of the endings.
bool IsOwnName(std::string_view name) {
  constexpr size_t kKeyLength = 16;
  if (name.size() < kKeyLength) return false;
  for (const char c : name.substr(0, kKeyLength)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  const std::string_view ending = name.substr(kKeyLength);
  return ending == kPartSuffix || ending == kRecordSuffix || ending == kRecordTemporarySuffix;
}

// A value of the record stays on its line.
std::string OneLine(std::string_view text) {
  std::string line(text);
  for (char& c : line) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return line;
}

}  // namespace

std::string RetryStatusText(const std::string& display_name, int seconds, int attempt) {
  return "Veza je prekinuta, nastavljam skidanje " + display_name + " za " +
         std::to_string(seconds) + " s (pokušaj " + std::to_string(attempt) + " od " +
         std::to_string(kMaxAttempts) + ")";
}

std::optional<int> RetryPlan::After(uint64_t held) {
  if (attempt_ >= kMaxAttempts || held <= best_) return std::nullopt;
  best_ = held;
  return kRetryWaitsMs[attempt_++ - 1];
}

std::optional<ContentRange> ParseContentRange(std::string_view value) {
  constexpr std::string_view kUnit = "bytes ";
  if (value.substr(0, kUnit.size()) != kUnit) return std::nullopt;
  value.remove_prefix(kUnit.size());
  const size_t dash = value.find('-');
  const size_t slash = value.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
    return std::nullopt;
  }
  const auto first = ParseDecimal<uint64_t>(value.substr(0, dash));
  const auto last = ParseDecimal<uint64_t>(value.substr(dash + 1, slash - dash - 1));
  const auto total = ParseDecimal<uint64_t>(value.substr(slash + 1));
  if (!first || !last || !total || *first > *last || *last >= *total) return std::nullopt;
  return ContentRange{*first, *last, *total};
}

std::string StrongEtag(std::string_view etag) {
  if (etag.size() < 2 || etag.front() != '"' || etag.back() != '"') return {};
  return std::string(etag);
}

std::vector<std::string> RangeHeaders(uint64_t offset, const FileVersion& held) {
  if (offset == 0) return {};
  std::vector<std::string> headers{"Range: bytes=" + std::to_string(offset) + "-"};
  if (!held.etag.empty()) {
    headers.push_back("If-Range: " + held.etag);
  } else if (!held.modified.empty()) {
    headers.push_back("If-Range: " + held.modified);
  }
  return headers;
}

Take JudgeAnswer(const HttpHead& head, uint64_t offset, const FileVersion& held) {
  if (head.status == 200) return Take::kFromStart;
  if (offset == 0) return Take::kRefuse;
  if (head.status == 416) return Take::kRestart;
  if (head.status != 206) return Take::kRefuse;
  // Only the rest of the very version held may be appended; anything else would mix two. A
  // server may ignore If-Range and send the rest of what it has now: the answer's own validator
  // must be the one held, the one the request was conditional on.
  const bool same_version = !held.etag.empty()       ? StrongEtag(head.etag) == held.etag
                            : !held.modified.empty() ? head.last_modified == held.modified
                                                     : true;
  const auto range = ParseContentRange(head.content_range);
  const bool rest = same_version && range && range->first == offset && held.total > 0 &&
                    range->total == static_cast<uint64_t>(held.total) &&
                    range->last + 1 == range->total &&
                    (head.content_length < 0 ||
                     static_cast<uint64_t>(head.content_length) == range->total - offset);
  return rest ? Take::kAppend : Take::kRestart;
}

FileVersion VersionOf(const HttpHead& head) {
  return {StrongEtag(head.etag), head.last_modified, head.content_length};
}

bool StatusWorthRetry(long status) {
  return status == 0 || status == 408 || status == 429 || status >= 500;
}

std::string PartialKey(std::string_view target) {
  // FNV-1a: the name only has to be the same for the same target, and short.
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : target) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string key(16, '0');
  for (int i = 15; i >= 0; --i, hash >>= 4) key[static_cast<size_t>(i)] = kHex[hash & 0xF];
  return key;
}

PartialFile::PartialFile(std::string resume_folder, std::string url, std::string target,
                         unsigned long process_id)
    : resume_folder_(std::move(resume_folder)),
      url_(std::move(url)),
      target_(std::move(target)),
      process_id_(process_id) {
  while (!resume_folder_.empty() &&
         (resume_folder_.back() == '/' || resume_folder_.back() == '\\')) {
    resume_folder_.pop_back();
  }
  // Made only once a download has bytes to keep.
  if (resume_folder_.empty() || platform::OwnFolder(resume_folder_, false)) return;
  SweepResumeFolder();
  if (!OpenInResumeFolder()) return;

  std::string url_seen;
  std::string target_seen;
  FileVersion recorded;
  std::istringstream record(ReadRecord(RecordPath()));
  for (std::string line; std::getline(record, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    if (key == "url") url_seen = value;
    if (key == "target") target_seen = value;
    if (key == "etag") recorded.etag = value;
    if (key == "modified") recorded.modified = value;
    if (key == "total")
      recorded.total = static_cast<int64_t>(ParseDecimal<uint64_t>(value).value_or(0));
  }
  uint64_t size = 0;
  if (!file_.Size(size) && url_seen == url_ && target_seen == target_ && recorded.Identifies() &&
      size > 0 && size <= static_cast<uint64_t>(recorded.total)) {
    held_ = size;
    version_ = recorded;
    return;
  }
  // Another URL's bytes, or bytes nobody can say the version of.
  file_.Truncate(0);
  RemoveRecord();
}

PartialFile::~PartialFile() { Keep(); }

void PartialFile::SweepResumeFolder() {
  std::vector<platform::FolderEntry> entries;
  if (platform::ListFolder(resume_folder_, entries)) return;
  // What an earlier run left days ago is of no use now. Whatever else someone keeps in the
  // folder is theirs.
  const auto too_old = std::chrono::system_clock::now() - std::chrono::hours(24 * kPartialKeepDays);
  for (const auto& entry : entries) {
    if (entry.kind != platform::FolderEntry::Kind::kFile || !IsOwnName(entry.name)) continue;
    const std::string path = InResumeFolder(entry.name);
    std::chrono::system_clock::time_point written;
    if (!platform::LastWriteTime(path, written) && written < too_old) platform::RemoveFile(path);
  }
}

std::string PartialFile::InResumeFolder(const std::string& name) const {
  return resume_folder_ + "/" + name;
}

bool PartialFile::OpenInResumeFolder() {
  std::string path = InResumeFolder(PartialKey(url_ + "\n" + target_) + std::string(kPartSuffix));
  // A link planted at the name is removed, not followed (the open refuses one, too).
  std::error_code error;
  const auto kind = platform::KindOf(path, error);
  if (!error && kind != platform::FolderEntry::Kind::kFile) platform::RemoveFile(path);
  // Another updater fetching into the same target holds it: this run keeps its bytes beside
  // the target instead.
  file_ = platform::File::OpenLocked(path, false, error);
  if (!file_) return false;
  data_path_ = std::move(path);
  in_resume_folder_ = true;
  return true;
}

bool PartialFile::OpenFile() {
  if (file_) return true;
  if (!resume_folder_.empty() && !platform::OwnFolder(resume_folder_, true) && OpenInResumeFolder())
    return true;
  for (int attempt = 0; attempt < kPartFileAttempts; ++attempt) {
    std::string path = PartFileName(target_, process_id_, attempt);
    file_ = platform::File::OpenLocked(path, false, error_);
    if (file_) {
      data_path_ = std::move(path);
      return true;
    }
    if (error_) return false;
  }
  error_ = std::make_error_code(std::errc::file_exists);
  return false;
}

bool PartialFile::Restart(const FileVersion& version) {
  if (!OpenFile()) return false;
  if (auto ec = file_.Truncate(0); ec) {
    error_ = ec;
    return false;
  }
  held_ = 0;
  version_ = version;
  if (in_resume_folder_) {
    // The record comes before any byte, so that bytes on disk always have their version.
    if (version_.Identifies()) {
      WriteRecord();
    } else {
      RemoveRecord();
    }
  }
  return true;
}

bool PartialFile::Append(const char* data, size_t size) {
  if (auto ec = file_.WriteAt(std::string_view(data, size), held_); ec) {
    error_ = ec;
    return false;
  }
  held_ += size;
  return true;
}

bool PartialFile::Commit() {
  // A file fetched over another keeps what the old one had: permissions, owner, attributes.
  file_.TakePermissionsOf(target_);
  if (auto ec = file_.Close(); ec) {
    error_ = ec;
    return false;
  }
  std::error_code ec = platform::Rename(data_path_, target_);
  if (ec && platform::OnAnotherFileSystem(ec)) {
    // The target lies on another disk (a share): copied beside it first, so the target only
    // ever changes from whole file to whole file.
    const std::string copy = PartFileName(target_, process_id_, 0);
    platform::RemoveFile(copy);
    ec = platform::CopyFileAs(data_path_, copy, target_, false);
    if (!ec) ec = platform::Rename(copy, target_);
    if (ec) {
      platform::RemoveFile(copy);
    } else {
      platform::RemoveFile(data_path_);
    }
  }
  if (ec) {
    error_ = ec;
    return false;
  }
  if (in_resume_folder_) RemoveRecord();
  data_path_.clear();
  held_ = 0;
  version_ = {};
  kept_ = true;
  RemoveOthersForTarget();
  RemoveEmptyResumeFolder();
  return true;
}

void PartialFile::RemoveOthersForTarget() {
  if (resume_folder_.empty()) return;
  // The target came whole from somewhere: what other URLs left for it is of no more use.
  std::vector<platform::FolderEntry> entries;
  if (platform::ListFolder(resume_folder_, entries)) return;
  for (const auto& entry : entries) {
    if (entry.kind != platform::FolderEntry::Kind::kFile || !IsOwnName(entry.name) ||
        !entry.name.ends_with(kRecordSuffix)) {
      continue;
    }
    const std::string record = InResumeFolder(entry.name);
    std::istringstream lines(ReadRecord(record));
    bool same_target = false;
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line == "target=" + target_) same_target = true;
    }
    if (!same_target) continue;
    platform::RemoveFile(record.substr(0, record.size() - std::string_view(".info").size()));
    platform::RemoveFile(record);
  }
}

void PartialFile::RemoveEmptyResumeFolder() {
  // Nothing waits for a later run: the application folder stays as it was.
  if (in_resume_folder_) platform::RemoveEmptyFolder(resume_folder_);
}

void PartialFile::Keep() {
  if (kept_) return;
  kept_ = true;
  if (in_resume_folder_ && held_ > 0 && version_.Identifies()) {
    file_.Close();
    runlog::Write("nedovršeno skidanje čeka sljedeće pokretanje: " + data_path_ + ", " +
                  std::to_string(held_) + " od " + std::to_string(version_.total) + " bajtova");
    return;
  }
  Drop();
}

void PartialFile::Drop() {
  kept_ = true;
  file_.Close();
  if (data_path_.empty()) return;
  platform::RemoveFile(data_path_);
  if (in_resume_folder_) RemoveRecord();
  data_path_.clear();
  held_ = 0;
  version_ = {};
  RemoveEmptyResumeFolder();
}

void PartialFile::WriteRecord() {
  std::ostringstream record;
  record << "url=" << OneLine(url_) << "\ntarget=" << OneLine(target_)
         << "\netag=" << OneLine(version_.etag) << "\nmodified=" << OneLine(version_.modified)
         << "\ntotal=" << version_.total << "\n";
  const std::string path = RecordPath();
  const std::string temporary = path + ".new";
  // Created afresh, never through whatever is at the name: a link left there is removed first.
  std::error_code error;
  platform::File out = platform::File::CreateNew(temporary, error);
  if (!out && error == std::errc::file_exists && !platform::RemoveFile(temporary)) {
    out = platform::File::CreateNew(temporary, error);
  }
  if (!out) return;
  if (out.WriteAt(record.str(), 0) || out.Close() || platform::Rename(temporary, path)) {
    platform::RemoveFile(temporary);
  }
}

void PartialFile::RemoveRecord() {
  if (!data_path_.empty()) platform::RemoveFile(RecordPath());
}

}  // namespace zepr::transfer
