#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <charconv>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "platform/win32/wide.h"
#include "transfer/http_download.h"
#include "transfer/transfer_shared.h"
#include "transfer/win32/server_certificate.h"
#include "transfer/win32/wininet_handle.h"

namespace zepr {
namespace {

using transfer::DownloadDisplay;
using transfer::InternetHandle;
using transfer::PartFile;

constexpr DWORD kBlock = 256 * 1024;
// Nothing is taken from or put into the user's cache, and no cookie is kept.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES;

std::wstring NoCacheHeaders() {
  return platform::Utf8ToWide(std::string(transfer::kCacheControlHeader) + "\r\n" +
                              transfer::kPragmaHeader + "\r\n");
}

// One request with its own internet and connection handles. The time limits are set on the
// connection and the request themselves: WinINet (Wine's at least) ignores them on the
// internet handle for HTTP.
struct Request {
  InternetHandle internet;
  InternetHandle session;
  InternetHandle request;
  // The request went out and an answer with a status line came back.
  bool answered = false;
  // Why the server of an https request is not trusted; nothing of the answer may be read.
  std::string refusal;
};

// trust is for https URLs only.
Request Send(const std::string& url, const std::string& agent, const HttpOptions& options,
             const transfer::ServerTrust* trust) {
  const auto connect_ms = static_cast<DWORD>(options.connect_timeout_ms);
  const auto stall_ms = static_cast<DWORD>(options.stall_limit_s * 1000);
  Request r;
  r.internet = transfer::OpenInternet(agent, INTERNET_OPEN_TYPE_PRECONFIG, connect_ms, stall_ms);
  if (!r.internet) return r;
  const std::wstring wide_url = platform::Utf8ToWide(transfer::EscapeUrl(url));
  URL_COMPONENTSW parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = 1;
  parts.dwUrlPathLength = 1;
  parts.dwExtraInfoLength = 1;
  if (!InternetCrackUrlW(wide_url.c_str(), 0, 0, &parts)) return r;
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return r;
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
  object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (object.empty()) object = L"/";
  r.session.reset(InternetConnectW(r.internet.get(), host.c_str(), parts.nPort, nullptr, nullptr,
                                   INTERNET_SERVICE_HTTP, 0, 0));
  if (!r.session) return r;
  transfer::SetConnectLimit(r.session.get(), connect_ms);
  transfer::SetStallLimit(r.session.get(), stall_ms);
  const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0;
  r.request.reset(HttpOpenRequestW(r.session.get(), L"GET", object.c_str(), nullptr, nullptr,
                                   nullptr, kRequestFlags | secure, 0));
  if (!r.request) return r;
  transfer::SetConnectLimit(r.request.get(), connect_ms);
  transfer::SetStallLimit(r.request.get(), stall_ms);
  const std::wstring headers = NoCacheHeaders();
  auto send = [&] {
    return HttpSendRequestW(r.request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                            nullptr, 0) != FALSE;
  };
  r.answered = send();
  if (trust == nullptr) return r;
  bool unknown_ca = false;
  if (!r.answered) {
    DWORD error = GetLastError();
    if (transfer::OverlookUnknownCa(r.request.get(), error, *trust)) {
      unknown_ca = true;
      r.answered = send();
      if (!r.answered) error = GetLastError();
    }
    if (!r.answered) r.refusal = transfer::CertificateRefusal(error);
  }
  if (r.answered) r.refusal = transfer::CheckServer(r.request.get(), *trust, unknown_ca);
  return r;
}

// Wine's WinINet, closing a request whose body is unread, reads the rest 1 KB a call for as
// long as it keeps coming: on a fast link the whole body, at a few MB/s. Native WinINet drops
// the connection instead.
bool UnderWine() {
  static const bool wine =
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

// Takes in big blocks what Wine would take in small ones when the request closes: the same
// bytes leave the server, in a fraction of the time.
void ReadRestForClose(HINTERNET request) {
  if (!UnderWine()) return;
  // No figures wait for these bytes, so the blocks can be larger than a transfer's.
  constexpr DWORD kRestBlock = 1024 * 1024;
  std::vector<char> buffer(kRestBlock);
  DWORD read = 0;
  while (InternetReadFile(request, buffer.data(), kRestBlock, &read) && read > 0) {
  }
}

DWORD StatusCode(HINTERNET request) {
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                      nullptr)) {
    return 0;
  }
  return status;
}

// The Content-Length of the answer, read as text so lengths above 4 GB stay whole; -1 when
// the server sent none.
int64_t ContentLength(HINTERNET request) {
  wchar_t buffer[32] = {};
  DWORD size = sizeof buffer;
  if (!HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, buffer, &size, nullptr)) return -1;
  const std::string text = platform::WideToUtf8(buffer);
  int64_t length = -1;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), length);
  return ec == std::errc() && end == text.data() + text.size() && length >= 0 ? length : -1;
}

enum class Outcome { kNoAnswer, kRefused, kComplete, kFailed, kFileError };

// One transfer into a temporary file beside the target. Run() is the worker's part and touches
// no window; the figures it reaches are read meanwhile by the window's thread.
class Transfer {
 public:
  explicit Transfer(std::string target) : target_(std::move(target)) {}

  void Run(const std::string& url, const HttpOptions& options, const transfer::ServerTrust* trust,
           transfer::BlockingCalls& calls) {
    const Request r = Send(url, transfer::kTransferAgent, options, trust);
    if (!r.refusal.empty()) {
      refusal_ = r.refusal;
      outcome_ = Outcome::kRefused;
      return;
    }
    if (!r.answered || StatusCode(r.request.get()) == 0) {
      outcome_ = Outcome::kNoAnswer;
      return;
    }
    outcome_ = Receive(r.request.get(), calls);
  }

  // Called by the window's thread while Run() goes on.
  void ShowProgress(DownloadDisplay& display) {
    const uint64_t written = written_.load(std::memory_order_acquire);
    if (written != shown_) {
      shown_ = written;
      display.Received(written, expected_);
    } else {
      display.Idle();
    }
  }

  // The rest is read after Run() has ended.
  Outcome outcome() const { return outcome_; }
  uint64_t written() const { return written_; }
  uint64_t expected() const { return expected_; }
  // The answer was a 200 and its file was opened: the figures reached are worth showing.
  bool receiving() const { return receiving_; }
  const std::string& error_text() const { return error_text_; }
  const std::string& refusal() const { return refusal_; }

  // Whatever was at the target is no longer what the server has: leave nothing there.
  void Discard() {
    const std::wstring target = platform::Utf8ToWide(target_);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
      SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    DeleteFileW(target.c_str());
  }

 private:
  Outcome Receive(HINTERNET request, transfer::BlockingCalls& calls) {
    if (StatusCode(request) != 200) return Outcome::kFailed;
    const int64_t length = ContentLength(request);
    expected_ = length > 0 ? static_cast<uint64_t>(length) : 0;
    PartFile part(target_);
    if (!part.ok()) return FileError(part.error());
    receiving_ = true;
    std::vector<char> buffer(kBlock);
    uint64_t written = 0;
    while (true) {
      DWORD read = 0;
      if (!InternetReadFile(request, buffer.data(), kBlock, &read)) return Outcome::kFailed;
      if (read == 0) break;
      if (!part.Write(buffer.data(), read)) return FileError(part.error());
      written += read;
      written_.store(written, std::memory_order_release);
      // The first figures appear with the first block.
      if (written == read) calls.Wake();
    }
    // A connection that closed early ends the body like a complete one; only the announced
    // length tells them apart.
    if (length >= 0 && written != static_cast<uint64_t>(length)) return Outcome::kFailed;
    if (const DWORD error = part.Commit(target_, true); error != 0) return FileError(error);
    return Outcome::kComplete;
  }

  Outcome FileError(DWORD code) {
    error_text_ = transfer::FileErrorText(code);
    return Outcome::kFileError;
  }

  std::string target_;
  std::atomic<uint64_t> written_{0};
  uint64_t expected_ = 0;
  uint64_t shown_ = 0;
  bool receiving_ = false;
  Outcome outcome_ = Outcome::kFailed;
  std::string error_text_;
  std::string refusal_;
};

// The status of the final answer, or why an https server was not trusted with the request.
struct Checked {
  DWORD status = 0;
  std::string refusal;
};

Checked CheckStatus(MainWindow& window, const std::string& agent, const HttpOptions& options,
                    const std::string& url, const transfer::ServerTrust* trust) {
  Checked checked;
  transfer::RunPumping(window, [&] {
    const Request r = Send(url, agent, options, trust);
    checked.refusal = r.refusal;
    if (!r.answered || !r.refusal.empty()) return;
    checked.status = StatusCode(r.request.get());
    ReadRestForClose(r.request.get());
  });
  return checked;
}

}  // namespace

SystemHttpClient::SystemHttpClient(MainWindow& window, std::string app_title, HttpOptions options)
    : window_(window), app_title_(std::move(app_title)), options_(std::move(options)) {}

bool SystemHttpClient::HttpCheckUrl(const std::string& url) {
  const bool https = transfer::IsHttpsUrl(url);
  const transfer::ServerTrust trust =
      https ? transfer::LoadServerTrust(options_) : transfer::ServerTrust{};
  if (!trust.refusal.empty()) return false;
  const Checked checked = CheckStatus(window_, app_title_, options_, url, https ? &trust : nullptr);
  // A 401 once passed here and its body was then installed as the file: only 200 is an answer.
  return checked.refusal.empty() && checked.status == 200;
}

bool SystemHttpClient::HttpDownloadFile(const std::string& url, const std::string& local_path,
                                        const std::string& display_name) {
  const bool https = transfer::IsHttpsUrl(url);
  const transfer::ServerTrust trust =
      https ? transfer::LoadServerTrust(options_) : transfer::ServerTrust{};
  const transfer::ServerTrust* trusted = https ? &trust : nullptr;
  if (!trust.refusal.empty()) {
    window_.ShowPoruka(transfer::kRefusedTitle, trust.refusal);
    return false;
  }
  const Checked checked = CheckStatus(window_, app_title_, options_, url, trusted);
  if (!checked.refusal.empty()) {
    window_.ShowPoruka(transfer::kRefusedTitle, checked.refusal);
    return false;
  }
  if (checked.status != 200) return false;
  window_.SetProgressMax(100);
  window_.SetProgress(0);

  bool ok = false;
  std::string file_error;
  {
    DownloadDisplay display(window_, display_name);
    Transfer job(local_path);
    transfer::BlockingCalls calls;
    calls.Run([&] { job.Run(url, options_, trusted, calls); }, [&] { job.ShowProgress(display); });
    switch (job.outcome()) {
      case Outcome::kNoAnswer:
        window_.ShowPoruka(transfer::kErrorTitle, transfer::kCannotConnect);
        break;
      case Outcome::kRefused:
        // Nothing came from a server we trust: what the target held stays.
        window_.ShowPoruka(transfer::kRefusedTitle, job.refusal());
        break;
      case Outcome::kComplete:
        display.Show(job.written(), job.expected(), true);
        ok = true;
        break;
      case Outcome::kFileError:
        file_error = job.error_text();
        job.Discard();
        break;
      case Outcome::kFailed:
        if (job.receiving()) display.Show(job.written(), job.expected());
        window_.ShowPoruka(transfer::kMessageBoxTitle, transfer::kDownloadFailed);
        job.Discard();
        break;
    }
  }

  transfer::EndDownload(window_, options_);
  if (!file_error.empty()) throw UpdateError(file_error);
  return ok;
}

}  // namespace zepr
