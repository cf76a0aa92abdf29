#include "transfer/transfer_shared.h"

#include <charconv>

#include "core/encoding.h"
#include "core/wait.h"

namespace zepr {
namespace {

uint64_t RoundHalfEven(unsigned __int128 numerator, uint64_t denominator) {
  auto quotient = static_cast<uint64_t>(numerator / denominator);
  const auto twice_rest = 2 * (numerator % denominator);
  if (twice_rest > denominator || (twice_rest == denominator && (quotient & 1) != 0)) ++quotient;
  return quotient;
}

}  // namespace

std::string DownloadStatusText(const std::string& display_name, uint64_t written,
                               uint64_t expected) {
  return "skidam datoteku " + display_name + ": " + std::to_string(RoundHalfEven(written, 1000)) +
         "k/" + std::to_string(RoundHalfEven(expected, 1000)) + "k...";
}

int64_t DownloadPercent(uint64_t written, uint64_t expected) {
  if (expected == 0) return 0;
  const uint64_t percent = RoundHalfEven(static_cast<unsigned __int128>(written) * 100, expected);
  return static_cast<int64_t>(percent > 100 ? 100 : percent);
}

namespace transfer {

bool RefreshThrottle::Due() {
  const uint32_t now = clock_.TickCount();
  if (started_ && now - last_ms_ < kRefreshMs) return false;
  started_ = true;
  last_ms_ = now;
  return true;
}

void DownloadDisplay::Received(uint64_t written, uint64_t expected) {
  // The first figures appear with the first block, whatever the throttle says.
  if (throttle_.Due() || !shown_) {
    Show(written, expected);
    window_.ProcessMessages();
  }
}

void DownloadDisplay::Idle() {
  if (throttle_.Due()) window_.ProcessMessages();
}

void DownloadDisplay::Show(uint64_t written, uint64_t expected, bool complete) {
  shown_ = true;
  window_.SetLabel1(DownloadStatusText(display_name_, written, expected));
  window_.SetProgress(complete ? 100 : DownloadPercent(written, expected));
}

void EndDownload(MainWindow& window, const HttpOptions& options) {
  if (options.pause_after_download) WaitPumpingMessages(window, 1500);
  window.SetLabel1("");
}

std::string EscapeUrl(std::string_view url) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  for (unsigned char c : Utf8ToCp1250(url)) {
    if (c <= 0x20 || c >= 0x7F) {
      escaped += '%';
      escaped += kHex[c >> 4];
      escaped += kHex[c & 0x0F];
    } else {
      escaped += static_cast<char>(c);
    }
  }
  return escaped;
}

std::string FileFailureText(FileFailure kind, long code) {
  switch (kind) {
    case FileFailure::kInvalidName:
      return "Invalid filename";
    case FileFailure::kAccessDenied:
      return "File access denied";
    case FileFailure::kDiskFull:
      return "Disk full";
    case FileFailure::kTooManyFiles:
      return "Too many open files";
    case FileFailure::kOther:
      break;
  }
  return "I/O error " + std::to_string(code);
}

std::string PartFileName(const std::string& target, unsigned long process_id, int attempt) {
  return target + "." + std::to_string(process_id) +
         (attempt == 0 ? "" : "." + std::to_string(attempt)) + ".part";
}

int64_t AnnouncedSize(std::string_view reply) {
  const size_t end = reply.rfind(" bytes)");
  if (end == std::string_view::npos) return -1;
  const size_t open = reply.rfind('(', end);
  if (open == std::string_view::npos) return -1;
  int64_t size = -1;
  const char* last = reply.data() + end;
  const auto [stop, ec] = std::from_chars(reply.data() + open + 1, last, size);
  return ec == std::errc() && stop == last && size >= 0 ? size : -1;
}

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace transfer
}  // namespace zepr
