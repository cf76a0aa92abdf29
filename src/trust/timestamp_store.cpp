// The newest signed time installed per program and file: one line each, "<seconds>\t<PROGRAM>\t
// <FILE>", names upper-cased in ASCII. The file is only ever replaced whole, so a reader sees the
// old store or the new one.
#include <chrono>
#include <cstdio>
#include <map>
#include <random>

#include "core/path_text.h"
#include "core/text.h"
#include "platform/files.h"
#include "trust/file_blocks.h"
#include "trust/trust.h"

namespace zepr::trust {

namespace {

using Entries = std::map<std::pair<std::string, std::string>, int64_t>;

constexpr size_t kMaxStoreBytes = 1 << 22;

bool FitsInLine(const std::string& name) {
  return !name.empty() && name.find_first_of(std::string_view("\t\r\n\0", 4)) == std::string::npos;
}

std::pair<std::string, std::string> KeyOf(const TrustedComment& signed_for) {
  return {AsciiUpper(signed_for.program), AsciiUpper(signed_for.file)};
}

std::optional<int64_t> Seconds(std::string_view text) {
  if (text.size() > 18) return std::nullopt;
  return ParseDecimal<int64_t>(text);
}

bool ParseStore(std::string_view text, Entries& entries) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return false;  // cut short: not one we wrote
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    const size_t first = line.find('\t');
    const size_t second = line.find('\t', first == std::string_view::npos ? first : first + 1);
    if (first == 0 || second == std::string_view::npos) return false;
    const std::string program(line.substr(first + 1, second - first - 1));
    const std::string file(line.substr(second + 1));
    const auto seconds = Seconds(line.substr(0, first));
    if (!seconds || !FitsInLine(program) || !FitsInLine(file) ||
        !entries.emplace(std::pair(program, file), *seconds).second) {
      return false;
    }
  }
  return true;
}

// The entries of the store at path; a missing store holds none.
bool Load(const std::string& path, Entries& entries, std::string& error) {
  std::string text;
  const ReadOutcome outcome = ReadBlocks(
      path,
      [&](const uint8_t* block, size_t size) {
        text.append(reinterpret_cast<const char*>(block), size);
        return text.size() <= kMaxStoreBytes;
      },
      error);
  if (outcome == ReadOutcome::kMissing) return true;
  if (outcome == ReadOutcome::kFailed) return false;
  error.clear();
  return text.size() <= kMaxStoreBytes && ParseStore(text, entries);
}

// A signed time as a publisher can hold it against a clock: "31.12.2099. 23:59 UTC".
std::string SignedTimeText(int64_t seconds) {
  using namespace std::chrono;
  // Past the year 9999 no calendar line helps; the seconds are what was signed.
  if (seconds > 253402300799) return "timestamp:" + std::to_string(seconds);
  const sys_seconds time{std::chrono::seconds(seconds)};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  char text[64];
  std::snprintf(text, sizeof text, "%02u.%02u.%04d. %02d:%02d UTC", unsigned(date.day()),
                unsigned(date.month()), int(date.year()), int(clock.hours().count()),
                int(clock.minutes().count()));
  return text;
}

std::string TemporaryName(const std::string& path) {
  std::random_device random;
  return path + "." + std::to_string(random()) + ".tmp";
}

}  // namespace

std::optional<Refusal> TimestampStore::Check(const TrustedComment& signed_for, int64_t now) const {
  if (signed_for.timestamp - kMostSignedAheadSeconds > now) {
    return Refusal{reason::kSignedInFuture, SignedTimeText(signed_for.timestamp)};
  }
  Entries entries;
  std::string error;
  if (!Load(path_, entries, error)) return Refusal{reason::kDamagedStore, error};
  const auto found = entries.find(KeyOf(signed_for));
  if (found != entries.end() && signed_for.timestamp < found->second) {
    return Refusal{reason::kOlderVersion,
                   std::to_string(signed_for.timestamp) + " < " + std::to_string(found->second)};
  }
  return std::nullopt;
}

std::error_code TimestampStore::Record(const TrustedComment& signed_for) const {
  const auto key = KeyOf(signed_for);
  if (!FitsInLine(key.first) || !FitsInLine(key.second) || signed_for.timestamp < 0) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  Entries entries;
  std::string error;
  // A newer time in a store we cannot read must not be lost by writing over it.
  if (!Load(path_, entries, error)) return std::make_error_code(std::errc::io_error);
  const auto [entry, added] = entries.try_emplace(key, signed_for.timestamp);
  if (!added && entry->second >= signed_for.timestamp) return {};
  entry->second = signed_for.timestamp;

  std::string text;
  for (const auto& [names, seconds] : entries) {
    text += std::to_string(seconds) + "\t" + names.first + "\t" + names.second + "\n";
  }
  // A name of its own, so that two updaters recording at once do not write into one file.
  const std::string temporary = TemporaryName(path_);
  std::error_code result;
  platform::File file = platform::File::CreateNew(temporary, result);
  if (!file) return result;
  result = file.WriteAt(text, 0);
  if (!result) result = file.Sync();
  if (const std::error_code closed = file.Close(); !result) result = closed;
  if (!result) result = platform::Rename(temporary, path_);
  if (result) {
    platform::RemoveFile(temporary);
    return result;
  }
  const std::string folder = Utf8FromPath(PathFromUtf8(path_).parent_path());
  return platform::SyncFolder(folder.empty() ? "." : folder);
}

}  // namespace zepr::trust
