#include "transfer/transfer_shared.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "core/base64.h"
#include "core/encoding.h"
#include "core/errors.h"
#include "core/path_text.h"
#include "core/run_log.h"
#include "core/text.h"
#include "core/wait.h"
#include "platform/files.h"

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

std::string ResumeFolder(const std::string& exe_folder) {
  return exe_folder + transfer::kResumeFolderName + "/";
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

namespace {

// Whether more bytes after held would pass limit.
bool Passes(uint64_t limit, uint64_t held, uint64_t more) {
  return more > limit || held > limit - more;
}

}  // namespace

std::string TooLongText(uint64_t limit) {
  return "datoteka je dulja od " + std::to_string(limit) + " bajtova";
}

HttpTransfer::HttpTransfer(MainWindow& window, const HttpOptions& options, std::string url,
                           std::string target, std::string display_name, unsigned long process_id,
                           uint64_t size_limit)
    : window_(window),
      options_(options),
      target_(target),
      display_name_(display_name),
      partial_(options.resume_folder, url, std::move(target), process_id),
      display_(window, std::move(display_name)),
      url_(std::move(url)),
      size_limit_(size_limit) {}

bool HttpTransfer::Head(const HttpHead& head) {
  head_seen_ = true;
  status_ = head.status;
  take_ = JudgeAnswer(head, offset_, partial_.version());
  // A file longer than the limit is refused before a byte of its body is read.
  const uint64_t before = take_ == Take::kAppend ? partial_.held() : 0;
  if ((take_ == Take::kFromStart || take_ == Take::kAppend) && head.content_length >= 0 &&
      Passes(size_limit_, before, static_cast<uint64_t>(head.content_length))) {
    too_long_ = true;
    return false;
  }
  switch (take_) {
    case Take::kFromStart:
      if (!partial_.Restart(VersionOf(head))) return false;
      body_expected_ = head.content_length;
      total_ = head.content_length > 0 ? static_cast<uint64_t>(head.content_length) : 0;
      break;
    case Take::kAppend:
      body_expected_ = head.content_length;
      total_ = static_cast<uint64_t>(partial_.version().total);
      break;
    case Take::kRestart:
    case Take::kRefuse:
      return false;
  }
  held_ = partial_.held();
  opened_ = true;
  return true;
}

bool HttpTransfer::Body(const char* data, size_t size) {
  if (Passes(size_limit_, partial_.held(), size)) {
    too_long_ = true;
    return false;
  }
  if (!partial_.Append(data, size)) return false;
  body_bytes_ += size;
  held_.store(partial_.held(), std::memory_order_release);
  return true;
}

void HttpTransfer::Pump() {
  if (!opened_) {
    display_.Idle();
    return;
  }
  if (!window_ready_) {
    window_ready_ = true;
    window_.SetProgressMax(100);
    window_.SetProgress(0);
  }
  const uint64_t held = held_.load(std::memory_order_acquire);
  if (held != shown_) {
    shown_ = held;
    display_.Received(held, total_);
  } else {
    display_.Idle();
  }
}

bool HttpTransfer::Complete() const {
  if (take_ != Take::kFromStart && take_ != Take::kAppend) return false;
  // A connection that closed early ends the body like a complete one; only the announced
  // length tells them apart.
  if (body_expected_ >= 0 && body_bytes_ != static_cast<uint64_t>(body_expected_)) return false;
  const int64_t total = partial_.version().total;
  return total < 0 || partial_.held() == static_cast<uint64_t>(total);
}

// Whatever was at the target is no longer what the server has: nothing is left there.
void HttpTransfer::DiscardTarget() {
  std::error_code ec;
  if (platform::KindOf(target_, ec) == platform::FolderEntry::Kind::kFile) {
    platform::RemoveFile(target_);
  }
}

void HttpTransfer::WaitBeforeAttempt(int ms, int attempt) {
  WaitCountingDown(window_, ms, [&](int seconds) {
    window_.SetLabel1(RetryStatusText(display_name_, seconds, attempt));
  });
  display_.Show(partial_.held(), total_);
}

std::string HttpTransfer::Outcome(Ended ended) const {
  if (ended == Ended::kNoAnswer) return "bez odgovora";
  if (ended == Ended::kRefused) return "poslužitelj odbijen: " + runlog::Outside(refusal_);
  if (head_seen_ && take_ == Take::kRefuse) {
    return status_ == 404 || status_ == 410 ? "poslužitelj nema datoteku"
                                            : "poslužitelj nije poslao datoteku";
  }
  if (take_ == Take::kRestart) return "nastavak nije moguć, tražim cijelu datoteku";
  return ended == Ended::kFinished && Complete() ? "završeno" : "prekinuto";
}

namespace {

// One request of a download in the run log: what was asked, what came, how long it took. The
// URL's user-info is masked; the reason a server was refused may quote the server.
void LogAttempt(const std::string& url, uint64_t offset, const std::string& outcome, long status,
                uint64_t bytes, int64_t ms, int attempt) {
  runlog::Count(runlog::Tally::kBytesFetched, bytes);
  runlog::Write("HTTP " + MaskedUrl(url) +
                (offset > 0 ? " od bajta " + std::to_string(offset) : "") + ": status " +
                std::to_string(status) + ", " + outcome + ", " + std::to_string(bytes) +
                " bajtova, " + std::to_string(ms) + " ms, pokušaj " + std::to_string(attempt));
}

}  // namespace

bool HttpTransfer::Run(const Attempt& attempt,
                       const std::function<std::string(const std::error_code&)>& file_error_text) {
  RetryPlan plan(partial_.held());
  bool restarted = false;
  bool opened = false;
  while (true) {
    // Without the whole length there is nothing to ask the rest of.
    offset_ = partial_.version().total > 0 ? partial_.held() : 0;
    head_seen_ = false;
    take_ = Take::kRefuse;
    status_ = 0;
    body_expected_ = -1;
    body_bytes_ = 0;
    refusal_.clear();
    const int64_t started_ms = window_.clock().NowMs();
    const Ended ended = attempt(RangeHeaders(offset_, partial_.version()));
    LogAttempt(url_, offset_, Outcome(ended), status_, body_bytes_,
               window_.clock().NowMs() - started_ms, plan.attempt());
    opened = opened || opened_;
    if (too_long_) {
      // Nothing of it is kept, nor asked for again; a missing file says the rest.
      runlog::Write("HTTP " + MaskedUrl(url_) + ": " + TooLongText(size_limit_));
      partial_.Drop();
      if (opened) EndDownload(window_, options_);
      return false;
    }
    if (partial_.error()) {
      const std::error_code error = partial_.error();
      partial_.Drop();
      DiscardTarget();
      EndDownload(window_, options_);
      throw UpdateError(file_error_text(error));
    }
    if (ended == Ended::kRefused) {
      // Nothing came from a server we trust: what the target held stays.
      window_.ShowPoruka(kRefusedTitle, refusal_);
      if (opened) EndDownload(window_, options_);
      return false;
    }
    if (ended == Ended::kFinished && Complete()) {
      const uint64_t held = partial_.held();
      if (!partial_.Commit()) {
        const std::error_code error = partial_.error();
        partial_.Drop();
        EndDownload(window_, options_);
        throw UpdateError(file_error_text(error));
      }
      Pump();
      display_.Show(held, total_, true);
      EndDownload(window_, options_);
      return true;
    }
    if (take_ == Take::kRestart && !restarted) {
      // The server cannot give the rest of what is held: the whole file, at once.
      restarted = true;
      partial_.Restart({});
      continue;
    }
    // The answer to the first request decides, as a status check before it once did: a file
    // that is not there is no failure to report.
    if (!opened) return false;
    const bool worth = head_seen_ && take_ == Take::kRefuse ? StatusWorthRetry(status_) : true;
    const auto wait = worth ? plan.After(partial_.held()) : std::nullopt;
    if (wait && !window_.EndRequested()) {
      WaitBeforeAttempt(*wait, plan.attempt());
      if (!window_.EndRequested()) continue;
    }
    if (ended == Ended::kNoAnswer) {
      window_.ShowPoruka(kErrorTitle, kCannotConnect);
    } else {
      display_.Show(partial_.held(), total_);
      window_.ShowPoruka(kMessageBoxTitle, kDownloadFailed);
      DiscardTarget();
    }
    partial_.Keep();
    EndDownload(window_, options_);
    return false;
  }
}

FtpRetrieval::FtpRetrieval(MainWindow& window, const std::string& resume_folder, std::string key,
                           std::string target, std::string display_name, unsigned long process_id,
                           const FileVersion& version, uint64_t size_limit)
    : window_(window),
      display_name_(std::move(display_name)),
      partial_(resume_folder, key, std::move(target), process_id),
      key_(std::move(key)),
      size_limit_(size_limit) {
  Recheck(version);
  plan_ = RetryPlan(partial_.held());
  Announced(version.total);
}

bool FtpRetrieval::Body(const char* data, size_t size) {
  if (Passes(size_limit_, partial_.held(), size)) {
    too_long_ = true;
    return false;
  }
  runlog::Count(runlog::Tally::kBytesFetched, size);
  return partial_.Append(data, size);
}

bool FtpRetrieval::Announced(int64_t total) {
  if (total >= 0 && static_cast<uint64_t>(total) > size_limit_) too_long_ = true;
  return !too_long_;
}

std::string FtpRetrieval::RefuseTooLong() {
  const std::string text = TooLongText(size_limit_);
  runlog::Write("FTP " + MaskedUrl(key_) + ": " + text);
  partial_.Drop();
  return text;
}

void FtpRetrieval::Recheck(const FileVersion& now) {
  if (partial_.held() > 0 && now.Identifies() && now == partial_.version()) return;
  partial_.Restart(now);
}

bool FtpRetrieval::Commit() {
  const uint64_t bytes = held();
  const bool committed = partial_.Commit();
  runlog::Write("FTP " + MaskedUrl(key_) + ": preuzeto, " + std::to_string(bytes) + " bajtova" +
                (committed ? "" : "; datoteka se ne može spremiti: " + file_error().message()));
  return committed;
}

bool FtpRetrieval::AnotherAttempt(const std::string& why) {
  runlog::Write("FTP " + MaskedUrl(key_) + ": prekinuto s " + std::to_string(held()) +
                " bajtova, pokušaj " + std::to_string(plan_.attempt()) + ": " +
                runlog::Outside(why));
  const auto wait = plan_.After(partial_.held());
  if (!wait || window_.EndRequested()) {
    partial_.Keep();
    return false;
  }
  // The run's own line comes back once the pause is over.
  const std::string line = window_.Label1();
  WaitCountingDown(window_, *wait, [&](int seconds) {
    window_.SetLabel1(RetryStatusText(display_name_, seconds, plan_.attempt()));
  });
  window_.SetLabel1(line);
  if (window_.EndRequested()) {
    partial_.Keep();
    return false;
  }
  return true;
}

void WaitCountingDown(MainWindow& window, int ms, const std::function<void(int)>& show) {
  Clock& clock = window.clock();
  const uint32_t start = clock.TickCount();
  int shown = -1;
  while (!window.EndRequested()) {
    const uint32_t elapsed = clock.TickCount() - start;
    if (elapsed >= static_cast<uint32_t>(ms)) break;
    const int seconds = static_cast<int>((static_cast<uint32_t>(ms) - elapsed + 999) / 1000);
    if (seconds != shown) show(shown = seconds);
    window.ProcessMessages();
    if (window.EndRequested()) break;
    window.WaitMessages(std::min<uint32_t>(static_cast<uint32_t>(ms) - elapsed, 50));
  }
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
  return ParseDecimal<int64_t>(reply.substr(open + 1, end - open - 1)).value_or(-1);
}

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

namespace {

constexpr size_t kPinSize = 32;
constexpr std::string_view kPinPrefix = "sha256//";
// Far above any certificate authority's file; a wrong name cannot make the run read a disk.
constexpr std::streamsize kCaFileLimit = 1024 * 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::optional<std::string> ReadSmallFile(const std::string& path) {
  std::ifstream in(PathFromUtf8(path), std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(static_cast<size_t>(kCaFileLimit) + 1, '\0');
  in.read(text.data(), kCaFileLimit + 1);
  if (in.bad() || in.gcount() > kCaFileLimit) return std::nullopt;
  text.resize(static_cast<size_t>(in.gcount()));
  return text;
}

}  // namespace

std::string UnreadableCaText(const std::string& ca_file) {
  return "ne mogu pročitati CA certifikat " + ca_file;
}

std::string CaWithoutCertificateText(const std::string& ca_file) {
  return "CA datoteka " + ca_file + " ne sadrži certifikat";
}

bool IsHttpsUrl(std::string_view url) {
  constexpr std::string_view kScheme = "https://";
  if (url.size() < kScheme.size()) return false;
  for (size_t i = 0; i < kScheme.size(); ++i) {
    char c = url[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kScheme[i]) return false;
  }
  return true;
}

ServerTrust LoadServerTrust(const HttpOptions& options) {
  ServerTrust trust;
  if (!options.pinned_keys.empty()) {
    auto pins = ParsePins(options.pinned_keys);
    if (!pins) {
      trust.refusal = kBadPin;
      return trust;
    }
    trust.pins = std::move(*pins);
  }
  if (!options.ca_file.empty()) {
    trust.ca_file = options.ca_file;
    const auto pem = ReadSmallFile(options.ca_file);
    if (!pem) {
      trust.refusal = UnreadableCaText(options.ca_file);
      return trust;
    }
    // Only what reads as a certificate is trusted, by both back ends alike: libcurl gets these
    // written out again, so no other block of the file makes it refuse the server instead.
    for (auto& der : PemCertificates(*pem)) {
      if (IsCertificate(der)) trust.ca_der.push_back(std::move(der));
    }
    // A file without a certificate would quietly leave the private server untrusted.
    if (trust.ca_der.empty()) {
      trust.refusal = CaWithoutCertificateText(options.ca_file);
      return trust;
    }
    for (const auto& der : trust.ca_der) {
      const std::string text = Base64Encode(der);
      trust.ca_pem += "-----BEGIN CERTIFICATE-----\n";
      for (size_t at = 0; at < text.size(); at += 64) trust.ca_pem += text.substr(at, 64) + "\n";
      trust.ca_pem += "-----END CERTIFICATE-----\n";
    }
  }
  return trust;
}

std::optional<std::vector<std::string>> ParsePins(std::string_view text) {
  std::vector<std::string> pins;
  while (true) {
    const size_t end = text.find(';');
    const std::string_view item = Trimmed(text.substr(0, end));
    if (!item.empty()) {
      if (item.substr(0, kPinPrefix.size()) != kPinPrefix) return std::nullopt;
      auto digest = Base64Decode(item.substr(kPinPrefix.size()));
      if (!digest || digest->size() != kPinSize) return std::nullopt;
      pins.push_back(std::move(*digest));
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  // A PIN of only separators pins nothing, which is not what its author meant.
  if (pins.empty()) return std::nullopt;
  return pins;
}

std::string PinList(const std::vector<std::string>& pins) {
  std::string list;
  for (const auto& pin : pins) {
    if (!list.empty()) list += ';';
    list += std::string(kPinPrefix) + Base64Encode(pin);
  }
  return list;
}

std::vector<std::string> PemCertificates(std::string_view pem) {
  constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  std::vector<std::string> certificates;
  while (true) {
    const size_t begin = pem.find(kBegin);
    if (begin == std::string_view::npos) break;
    const size_t body = begin + kBegin.size();
    const size_t end = pem.find(kEnd, body);
    if (end == std::string_view::npos) break;
    auto der = Base64Decode(pem.substr(body, end - body));
    if (der && !der->empty()) certificates.push_back(std::move(*der));
    pem.remove_prefix(end + kEnd.size());
  }
  return certificates;
}

namespace {

constexpr unsigned char kBoolean = 0x01;
constexpr unsigned char kBitString = 0x03;
constexpr unsigned char kOctetString = 0x04;
constexpr unsigned char kObjectId = 0x06;
constexpr unsigned char kSequence = 0x30;
constexpr unsigned char kExplicitVersion = 0xA0;
constexpr unsigned char kExtensions = 0xA3;
constexpr unsigned char kIpAddressName = 0x87;                    // GeneralName iPAddress [7]
constexpr std::string_view kSubjectAltNameId("\x55\x1D\x11", 3);  // 2.5.29.17

// One DER element at the start of data: its tag, and the whole element or its content.
struct DerElement {
  unsigned char tag = 0;
  std::string_view whole;
  std::string_view content;
};

std::optional<DerElement> NextDer(std::string_view data) {
  if (data.size() < 2) return std::nullopt;
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(data[i]); };
  size_t header = 2;
  size_t length = byte(1);
  if (length & 0x80) {
    const size_t count = length & 0x7F;
    // Certificates stay far below 4 GB; anything longer is not one.
    if (count == 0 || count > 4 || data.size() < 2 + count) return std::nullopt;
    length = 0;
    for (size_t i = 0; i < count; ++i) length = (length << 8) | byte(2 + i);
    header += count;
  }
  if (length > data.size() - header) return std::nullopt;
  return DerElement{byte(0), data.substr(0, header + length), data.substr(header, length)};
}

// The parts of a certificate that are read here.
struct CertificateFields {
  std::string_view key;         // SubjectPublicKeyInfo, whole
  std::string_view extensions;  // the content of the SEQUENCE of extensions; "" without
};

// A certificate is tbsCertificate, signatureAlgorithm and signatureValue, and nothing more.
std::optional<CertificateFields> ReadCertificate(std::string_view certificate) {
  const auto outer = NextDer(certificate);
  if (!outer || outer->tag != kSequence || outer->whole.size() != certificate.size()) {
    return std::nullopt;
  }
  std::string_view parts = outer->content;
  const auto tbs = NextDer(parts);
  if (!tbs || tbs->tag != kSequence) return std::nullopt;
  parts.remove_prefix(tbs->whole.size());
  const auto algorithm = NextDer(parts);
  if (!algorithm || algorithm->tag != kSequence) return std::nullopt;
  parts.remove_prefix(algorithm->whole.size());
  const auto signature = NextDer(parts);
  if (!signature || signature->tag != kBitString || signature->whole.size() != parts.size()) {
    return std::nullopt;
  }
  std::string_view rest = tbs->content;
  // version (optional), serialNumber, signature, issuer, validity, subject, then the key.
  const auto first = NextDer(rest);
  if (first && first->tag == kExplicitVersion) rest.remove_prefix(first->whole.size());
  for (int skipped = 0; skipped < 5; ++skipped) {
    const auto field = NextDer(rest);
    if (!field) return std::nullopt;
    rest.remove_prefix(field->whole.size());
  }
  const auto key = NextDer(rest);
  if (!key || key->tag != kSequence) return std::nullopt;
  rest.remove_prefix(key->whole.size());
  CertificateFields fields{key->whole, {}};
  // The unique identifiers (optional), then the extensions (optional).
  while (!rest.empty()) {
    const auto field = NextDer(rest);
    if (!field) return std::nullopt;
    rest.remove_prefix(field->whole.size());
    if (field->tag != kExtensions) continue;
    const auto list = NextDer(field->content);
    if (!list || list->tag != kSequence) return std::nullopt;
    fields.extensions = list->content;
  }
  return fields;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four decimal numbers up to 255, without leading zeros, which some readers take for octal.
std::optional<std::string> Ipv4Bytes(std::string_view text) {
  std::string bytes;
  while (true) {
    const size_t dot = text.find('.');
    const std::string_view part = text.substr(0, dot);
    if (part.size() > 3 || (part.size() > 1 && part[0] == '0')) return std::nullopt;
    const auto value = ParseDecimal<int>(part);
    if (!value || *value > 255 || bytes.size() == 4) return std::nullopt;
    bytes += static_cast<char>(*value);
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);
  }
  if (bytes.size() != 4) return std::nullopt;
  return bytes;
}

// Groups of up to four hex digits, at most one "::" for a run of zero groups.
std::optional<std::string> Ipv6Bytes(std::string_view text) {
  const auto groups = [](std::string_view part, std::vector<unsigned>& out) {
    while (!part.empty()) {
      const size_t colon = part.find(':');
      const std::string_view group = part.substr(0, colon);
      if (group.empty() || group.size() > 4) return false;
      unsigned value = 0;
      for (char c : group) {
        const int digit = HexDigit(c);
        if (digit < 0) return false;
        value = value * 16 + static_cast<unsigned>(digit);
      }
      out.push_back(value);
      if (colon == std::string_view::npos) break;
      part.remove_prefix(colon + 1);
      if (part.empty()) return false;
    }
    return true;
  };
  const size_t gap = text.find("::");
  std::vector<unsigned> head;
  std::vector<unsigned> tail;
  if (gap == std::string_view::npos) {
    if (!groups(text, head) || head.size() != 8) return std::nullopt;
  } else {
    const std::string_view after = text.substr(gap + 2);
    if (after.find("::") != std::string_view::npos || !groups(text.substr(0, gap), head) ||
        !groups(after, tail) || head.size() + tail.size() > 7) {
      return std::nullopt;
    }
    head.resize(8 - tail.size(), 0);
    head.insert(head.end(), tail.begin(), tail.end());
  }
  std::string bytes;
  for (unsigned group : head) {
    bytes += static_cast<char>(group >> 8);
    bytes += static_cast<char>(group & 0xFF);
  }
  return bytes;
}

}  // namespace

std::optional<std::string_view> SubjectPublicKeyInfo(std::string_view certificate) {
  const auto fields = ReadCertificate(certificate);
  if (!fields) return std::nullopt;
  return fields->key;
}

bool IsCertificate(std::string_view der) { return ReadCertificate(der).has_value(); }

std::optional<std::string> AddressBytes(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return Ipv6Bytes(host.substr(1, host.size() - 2));
  }
  if (host.find(':') != std::string_view::npos) return Ipv6Bytes(host);
  return Ipv4Bytes(host);
}

bool CertificateNamesAddress(std::string_view certificate, std::string_view address) {
  const auto fields = ReadCertificate(certificate);
  if (!fields || address.empty()) return false;
  for (std::string_view list = fields->extensions; !list.empty();) {
    const auto extension = NextDer(list);
    if (!extension || extension->tag != kSequence) return false;
    list.remove_prefix(extension->whole.size());
    // extnID, critical (optional), extnValue: the DER of the names.
    std::string_view parts = extension->content;
    const auto id = NextDer(parts);
    if (!id || id->tag != kObjectId) return false;
    if (id->content != kSubjectAltNameId) continue;
    parts.remove_prefix(id->whole.size());
    auto value = NextDer(parts);
    if (value && value->tag == kBoolean) {
      parts.remove_prefix(value->whole.size());
      value = NextDer(parts);
    }
    if (!value || value->tag != kOctetString) return false;
    const auto names = NextDer(value->content);
    if (!names || names->tag != kSequence) return false;
    for (std::string_view rest = names->content; !rest.empty();) {
      const auto name = NextDer(rest);
      if (!name) return false;
      rest.remove_prefix(name->whole.size());
      if (name->tag == kIpAddressName && name->content == address) return true;
    }
    return false;
  }
  return false;
}

}  // namespace transfer
}  // namespace zepr
