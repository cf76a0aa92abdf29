#pragma once

// What the transfer back ends share, so the window shows the same texts and figures whichever
// library moves the bytes. Internal to the transfer library.
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/main_window.h"
#include "core/run_log.h"
#include "transfer/http_download.h"
#include "transfer/resume.h"

namespace zepr::transfer {

// --- HTTP ---------------------------------------------------------------------------------
// The transfer introduces itself with the updater's file name, the check with the title.
inline constexpr const char* kTransferAgent = "ZEPRUpdate.exe";
// Caption of the plain message box (the application's title), as opposed to the error dialog.
inline constexpr const char* kMessageBoxTitle = "ZEPR Nadogradnja aplikacije";
inline constexpr const char* kErrorTitle = "Greška!";
inline constexpr const char* kCannotConnect = "ne mogu se spojiti";
inline constexpr const char* kDownloadFailed = "greška u downloadu";
// No cached answer may ever be served, by a client cache or a proxy.
inline constexpr const char* kCacheControlHeader = "Cache-Control: no-cache";
inline constexpr const char* kPragmaHeader = "Pragma: no-cache";
inline constexpr int kMaxRedirects = 10;

// --- HTTPS --------------------------------------------------------------------------------
// A server that an https download does not trust gets no request for the body; the dialog
// names the cause.
inline constexpr const char* kRefusedTitle = "Greška! Uzrok greške:";
// No authority we trust signed the chain, or it has another fault than those below.
inline constexpr const char* kUntrustedServer = "certifikat poslužitelja nije pouzdan";
inline constexpr const char* kExpiredCertificate =
    "certifikat poslužitelja je istekao ili još ne vrijedi";
inline constexpr const char* kMisnamedCertificate = "certifikat ne glasi na ime poslužitelja";
// The TLS handshake failed before any certificate: most often an http server on an https URL.
inline constexpr const char* kNotHttps = "poslužitelj ne govori HTTPS";
inline constexpr const char* kPinMismatch = "ključ poslužitelja ne odgovara (PIN)";
inline constexpr const char* kRedirectToHttp = "preusmjeravanje s https na http je odbijeno";
inline constexpr const char* kBadPin = "PIN nije ispravan";
std::string UnreadableCaText(const std::string& ca_file);
std::string CaWithoutCertificateText(const std::string& ca_file);

bool IsHttpsUrl(std::string_view url);

// What an https request checks besides the system's store, from HttpOptions.
struct ServerTrust {
  std::string ca_file;
  std::string ca_pem;               // its certificates, each written again as PEM
  std::vector<std::string> ca_der;  // its certificates
  std::vector<std::string> pins;    // SHA-256 digests of the accepted public keys
  // Why no https request may go out (the settings cannot be used); "" when they can.
  std::string refusal;
};
ServerTrust LoadServerTrust(const HttpOptions& options);

// "sha256//BASE64[;sha256//BASE64]" with blanks around the items; the 32-byte digests, or
// nothing when an item is not one.
std::optional<std::vector<std::string>> ParsePins(std::string_view text);
// The digests as libcurl takes them.
std::string PinList(const std::vector<std::string>& pins);
// The DER certificates of a PEM text, in file order.
std::vector<std::string> PemCertificates(std::string_view pem);
// The DER SubjectPublicKeyInfo of a DER certificate, the bytes as they stand in it (a pin is
// their SHA-256); nothing when the certificate cannot be read that far.
std::optional<std::string_view> SubjectPublicKeyInfo(std::string_view certificate);
// Whether DER bytes have the shape of a certificate, as far as this reader reads one.
bool IsCertificate(std::string_view der);
// The bytes of an IPv4 or IPv6 address written as URLs write it ("[...]" or without the
// brackets); nothing for a host name or any other spelling.
std::optional<std::string> AddressBytes(std::string_view host);
// Whether a DER certificate names this address (the bytes of AddressBytes) among its
// subjectAltName IP addresses.
bool CertificateNamesAddress(std::string_view certificate, std::string_view address);

// --- FTP ----------------------------------------------------------------------------------
inline constexpr const char* kLoginFailedTitle = "Greška! Uzrok greške:";
inline constexpr const char* kDestinationExists = "Destination file already exists.";
inline constexpr const char* kNotConnected = "Not connected.";
inline constexpr const char* kNoFileName = "No file name given.";
inline constexpr const char* kInvalidLoginCharacter = "Invalid character in user name or password.";
inline constexpr const char* kInvalidNameCharacter = "Invalid character in file or folder name.";

// Repainting after every block made a 300 MB transfer many times slower than the network, so
// the window hears from a transfer at most this often.
inline constexpr uint32_t kRefreshMs = 100;

// True on the first call, then at most every kRefreshMs of the window's tick counter.
class RefreshThrottle {
 public:
  explicit RefreshThrottle(Clock& clock) : clock_(clock) {}
  bool Due();

 private:
  Clock& clock_;
  bool started_ = false;
  uint32_t last_ms_ = 0;
};

// The status text and bar of one HTTP download.
class DownloadDisplay {
 public:
  DownloadDisplay(MainWindow& window, std::string display_name)
      : window_(window), display_name_(std::move(display_name)), throttle_(window.clock()) {}

  // A block arrived: the first figures at once, then as the throttle allows, with the window's
  // messages run after them.
  void Received(uint64_t written, uint64_t expected);
  // Keeps the window alive while no block arrives.
  void Idle();
  // The figures as they stand; a complete file fills the bar whatever the length said.
  void Show(uint64_t written, uint64_t expected, bool complete = false);

 private:
  MainWindow& window_;
  std::string display_name_;
  RefreshThrottle throttle_;
  bool shown_ = false;
};

// After every download whose transfer was opened: the pause that leaves the final figures
// readable, then an empty status text.
void EndDownload(MainWindow& window, const HttpOptions& options);

// The pause before another attempt: the window stays alive, show tells the seconds left each
// time they change, and an end asked for (Esc) ends the pause at once.
void WaitCountingDown(MainWindow& window, int ms, const std::function<void(int)>& show);

// One HttpDownloadFile, whichever library moves the bytes: one request per attempt, its status
// judged before any byte is written, the rest of a cut transfer asked for again (in this run
// or a later one), and only a complete file put at the target.
class HttpTransfer {
 public:
  HttpTransfer(MainWindow& window, const HttpOptions& options, std::string url, std::string target,
               std::string display_name, unsigned long process_id,
               uint64_t size_limit = kAnyLength);

  // How one request ended, as the back end saw it.
  enum class Ended {
    kNoAnswer,  // no answer came (no connection, no head)
    kRefused,   // an https server that is not trusted: nothing of it was read
    kFinished,  // the body ended as the connection says (it may still be short)
    kBroken,    // cut, stalled, or stopped because Head or Body said so
  };
  // Sends one request with the no-cache headers and these lines, calls Head with the head of
  // the final answer and Body with each block as long as they return true.
  using Attempt = std::function<Ended(const std::vector<std::string>& headers)>;

  // The whole download; returns as HttpDownloadFile does. A file that cannot be written raises
  // UpdateError with file_error_text of the error once the window is cleared.
  bool Run(const Attempt& attempt,
           const std::function<std::string(const std::error_code&)>& file_error_text);

  // From the attempt, on whichever thread runs it. False: stop, nothing more is wanted.
  bool Head(const HttpHead& head);
  bool Body(const char* data, size_t size);
  // Head or Body refused the file as longer than the limit: its body is not wanted at all.
  bool too_long() const { return too_long_; }
  // Why an https server was not trusted.
  void Refuse(std::string why) { refusal_ = std::move(why); }
  // From the window's thread while an attempt runs: the figures within the throttle, and the
  // window's messages.
  void Pump();

 private:
  void WaitBeforeAttempt(int ms, int attempt);
  bool Complete() const;
  // How the attempt ended, in the run log's words.
  std::string Outcome(Ended ended) const;
  void DiscardTarget();

  MainWindow& window_;
  const HttpOptions& options_;
  std::string target_;
  std::string display_name_;
  PartialFile partial_;
  DownloadDisplay display_;
  std::string url_;
  uint64_t size_limit_;
  bool too_long_ = false;
  // This attempt: the offset asked for, what its head made of it, how much body came.
  uint64_t offset_ = 0;
  bool head_seen_ = false;
  Take take_ = Take::kRefuse;
  long status_ = 0;
  int64_t body_expected_ = -1;
  uint64_t body_bytes_ = 0;
  std::string refusal_;
  // Read by the window's thread meanwhile.
  std::atomic<bool> opened_{false};
  std::atomic<uint64_t> held_{0};
  std::atomic<uint64_t> total_{0};
  bool window_ready_ = false;
  uint64_t shown_ = 0;
};

// One FtpSession::Retrieve over however many attempts it takes: where the next one starts,
// the pauses before it, and the partial file that only goes to the target complete.
class FtpRetrieval {
 public:
  // key names the file on its server (URL-like) for the resume folder; version is what SIZE
  // and MDTM said before the first attempt (empty when they were not asked).
  FtpRetrieval(MainWindow& window, const std::string& resume_folder, std::string key,
               std::string target, std::string display_name, unsigned long process_id,
               const FileVersion& version, uint64_t size_limit = kAnyLength);

  // The bytes held, where the next attempt starts (REST), and the whole length if known.
  uint64_t held() const { return partial_.held(); }
  int64_t total() const { return partial_.version().total; }
  // False when the file cannot be written (file_error()) or would pass the limit (too_long()).
  bool Body(const char* data, size_t size);
  const std::error_code& file_error() const { return partial_.error(); }
  // A transfer that announces the file's whole length (-1: none): false when it passes the
  // limit (too_long()).
  bool Announced(int64_t total);
  bool too_long() const { return too_long_; }
  // Removes what was held of a file refused as too long; the text to raise.
  std::string RefuseTooLong();

  // After an attempt that failed for why: waits the pause and returns true when another attempt
  // is worth it (this one got further than all before); else keeps the bytes for a later run.
  bool AnotherAttempt(const std::string& why);
  // What SIZE and MDTM say now: the bytes held are kept only for the very same version.
  void Recheck(const FileVersion& now);
  // Puts the complete file at the target; false with file_error() when that fails.
  bool Commit();

 private:
  MainWindow& window_;
  std::string display_name_;
  PartialFile partial_;
  RetryPlan plan_;
  std::string key_;
  uint64_t size_limit_;
  bool too_long_ = false;
};

// The words for a file refused as longer than limit bytes.
std::string TooLongText(uint64_t limit);

// URLs are composed without escaping, so a script name may carry blanks or Croatian letters,
// which URL parsers refuse. They go out percent-encoded in the ANSI code page, the bytes the
// endpoint has always received; everything else is passed as composed.
std::string EscapeUrl(std::string_view url);

// The kinds of local file failure, each with the text a user of the system has always seen.
enum class FileFailure { kInvalidName, kAccessDenied, kDiskFull, kTooManyFiles, kOther };
std::string FileFailureText(FileFailure kind, long code);

// A temporary file beside target, unique to this process; attempt counts the names already
// taken. The rename into place is then a move within one folder.
inline constexpr int kPartFileAttempts = 100;
std::string PartFileName(const std::string& target, unsigned long process_id, int attempt);

// The length that a reply opening an FTP transfer announces, as in "150 ... (1234 bytes)";
// -1 when there is none.
int64_t AnnouncedSize(std::string_view reply);

// A line break would end an FTP command early and let the rest pass as a command of its own.
bool HasLineBreakOrNul(std::string_view text);

}  // namespace zepr::transfer
