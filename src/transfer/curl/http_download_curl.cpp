#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <utility>

#include "core/errors.h"
#include "platform/unique_fd.h"
#include "transfer/http_download.h"
#include "transfer/transfer_shared.h"

namespace zepr {
namespace {

using transfer::DownloadDisplay;
using transfer::FileFailure;

constexpr long kBufferSize = 512 * 1024;

struct CurlCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

struct SlistCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistCleanup>;

// The texts a user of the system has always seen for a file that could not be written.
std::string IoErrorText(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case EINVAL:
      return FileFailureText(FileFailure::kInvalidName, error);
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return FileFailureText(FileFailure::kAccessDenied, error);
    case ENOSPC:
    case EDQUOT:
      return FileFailureText(FileFailure::kDiskFull, error);
    case EMFILE:
    case ENFILE:
      return FileFailureText(FileFailure::kTooManyFiles, error);
    default:
      return FileFailureText(FileFailure::kOther, error);
  }
}

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The Content-Length of the answer; 0 when the server sent none.
uint64_t HttpContentLength(CURL* request) {
  curl_off_t length = -1;
  if (curl_easy_getinfo(request, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK ||
      length < 0) {
    return 0;
  }
  return static_cast<uint64_t>(length);
}

long ResponseCode(CURL* request) {
  long code = 0;
  curl_easy_getinfo(request, CURLINFO_RESPONSE_CODE, &code);
  return code;
}

// There is no client cache; the headers keep proxies from answering with theirs.
HeaderList NoCacheHeaders() {
  HeaderList headers(curl_slist_append(nullptr, transfer::kCacheControlHeader));
  // Appending keeps the head; on failure the list stays as it was.
  if (headers) curl_slist_append(headers.get(), transfer::kPragmaHeader);
  return headers;
}

// Watches a running request: keeps the window alive within the throttle, and notices when no
// byte has arrived for the stall limit. Network time is real time even when the window's
// clock is a test's virtual one.
class TransferWatch {
 public:
  TransferWatch(MainWindow& window, long stall_limit_s)
      : window_(window),
        throttle_(window.clock()),
        stall_limit_(std::chrono::seconds(stall_limit_s)),
        last_byte_(std::chrono::steady_clock::now()) {}

  void Pump() {
    if (throttle_.Due()) window_.ProcessMessages();
  }

  bool Stalled(curl_off_t received) {
    const auto now = std::chrono::steady_clock::now();
    if (received != received_) {
      received_ = received;
      last_byte_ = now;
      return false;
    }
    return now - last_byte_ >= stall_limit_;
  }

  // Progress callback: keeps the window alive and ends a stalled request.
  static int OnProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
    auto& watch = *static_cast<TransferWatch*>(user);
    watch.Pump();
    return watch.Stalled(received) ? 1 : 0;
  }

 private:
  MainWindow& window_;
  transfer::RefreshThrottle throttle_;
  std::chrono::steady_clock::duration stall_limit_;
  std::chrono::steady_clock::time_point last_byte_;
  curl_off_t received_ = 0;
};

// The certificates the system trusts, as libcurl would load them without a blob of ours.
std::string SystemBundle(CURL* request) {
  char* path = nullptr;
  if (curl_easy_getinfo(request, CURLINFO_CAINFO, &path) != CURLE_OK || path == nullptr) return {};
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An https request speaks https to the end, trusts the system's store and the private CA, and
// takes only a pinned key when there are pins.
void SetServerTrust(CURL* r, const transfer::ServerTrust& trust) {
  curl_easy_setopt(r, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(r, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(r, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(r, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!trust.ca_pem.empty()) {
    // A CA file of ours would replace the system's bundle, so the blob carries both.
    std::string bundle = SystemBundle(r);
    bundle += '\n';
    bundle += trust.ca_pem;
    curl_blob blob{bundle.data(), bundle.size(), CURL_BLOB_COPY};
    curl_easy_setopt(r, CURLOPT_CAINFO_BLOB, &blob);
  }
  if (!trust.pins.empty()) {
    curl_easy_setopt(r, CURLOPT_PINNEDPUBLICKEY, transfer::PinList(trust.pins).c_str());
  }
}

// Why an https request ended without an answer we may use; "" for the other failures.
std::string Refusal(CURLcode rc) {
  switch (rc) {
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
      return transfer::kUntrustedServer;
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return transfer::kPinMismatch;
    case CURLE_UNSUPPORTED_PROTOCOL:
      // The URL itself is https; only a redirect can lead elsewhere.
      return transfer::kRedirectToHttp;
    default:
      return {};
  }
}

// trust is for https URLs only.
CurlHandle OpenRequest(const std::string& url, const char* agent, const HttpOptions& options,
                       curl_slist* headers, const transfer::ServerTrust* trust) {
  GlobalInit();
  CurlHandle request(curl_easy_init());
  if (!request) return request;
  CURL* r = request.get();
  curl_easy_setopt(r, CURLOPT_URL, transfer::EscapeUrl(url).c_str());
  curl_easy_setopt(r, CURLOPT_USERAGENT, agent);
  curl_easy_setopt(r, CURLOPT_HTTPHEADER, headers);
  if (trust != nullptr) {
    SetServerTrust(r, *trust);
  } else {
    curl_easy_setopt(r, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(r, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  }
  curl_easy_setopt(r, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(r, CURLOPT_MAXREDIRS, static_cast<long>(transfer::kMaxRedirects));
  curl_easy_setopt(r, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(r, CURLOPT_CONNECTTIMEOUT_MS, options.connect_timeout_ms);
  curl_easy_setopt(r, CURLOPT_BUFFERSIZE, kBufferSize);
  curl_easy_setopt(r, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(r, CURLOPT_XFERINFOFUNCTION, TransferWatch::OnProgress);
  return request;
}

// The check reads nothing but the status of the final answer.
struct StatusProbe {
  CURL* request = nullptr;
  long status = 0;
};

size_t StopAtHeadersEnd(char* data, size_t size, size_t count, void* user) {
  auto& probe = *static_cast<StatusProbe*>(user);
  const size_t length = size * count;
  const bool blank =
      (length == 2 && data[0] == '\r' && data[1] == '\n') || (length == 1 && data[0] == '\n');
  if (!blank) return length;
  const long code = ResponseCode(probe.request);
  // Informational answers and redirects are followed by the answer that counts.
  if (code < 200 || (code >= 300 && code < 400)) return length;
  probe.status = code;
  return 0;
}

size_t DiscardBody(char*, size_t size, size_t count, void*) { return size * count; }

// One transfer into a temporary file beside the target.
class BodySink {
 public:
  BodySink(MainWindow& window, long stall_limit_s, CURL* request, std::string target,
           std::string display_name)
      : request_(request),
        target_(std::move(target)),
        display_(window, std::move(display_name)),
        watch_(window, stall_limit_s) {}

  ~BodySink() {
    if (!temp_path_.empty()) {
      file_.Close();
      std::error_code ignored;
      std::filesystem::remove(temp_path_, ignored);
    }
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    return static_cast<BodySink*>(user)->Write(data, size * count);
  }
  static int OnProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
    auto& sink = *static_cast<BodySink*>(user);
    if (sink.Receiving()) {
      sink.display_.Received(sink.written_, sink.expected_);
    } else {
      sink.display_.Idle();
    }
    return sink.watch_.Stalled(received) ? 1 : 0;
  }

  // The answer has been judged: a 200 gets its file, any other status stops the transfer.
  bool Start() {
    started_ = true;
    if (ResponseCode(request_) != 200) {
      wrong_status_ = true;
      return false;
    }
    expected_ = HttpContentLength(request_);
    return CreateTemp();
  }

  // Puts the complete file in place.
  bool Commit() {
    if (!started_ && !Start()) return false;
    if (int error = file_.Close(); error != 0) {
      io_error_ = error;
      return false;
    }
    std::error_code ec;
    std::filesystem::rename(temp_path_, target_, ec);
    if (ec) {
      io_error_ = ec.value();
      return false;
    }
    temp_path_.clear();
    display_.Show(written_, expected_, true);
    return true;
  }

  // Whatever was at the target is no longer what the server has: leave nothing there.
  void Discard() {
    std::error_code ec;
    if (!std::filesystem::is_directory(target_, ec)) std::filesystem::remove(target_, ec);
  }

  // The figures reached before a failure.
  void ShowReached() {
    if (Receiving()) display_.Show(written_, expected_);
  }

  bool Receiving() const { return started_ && !wrong_status_ && io_error_ == 0; }
  int io_error() const { return io_error_; }

 private:
  size_t Write(const char* data, size_t length) {
    if (!started_ && !Start()) return 0;
    size_t done = 0;
    while (done < length) {
      ssize_t n = ::write(file_.get(), data + done, length - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        io_error_ = errno;
        return 0;
      }
      done += static_cast<size_t>(n);
    }
    written_ += length;
    display_.Received(written_, expected_);
    return length;
  }

  bool CreateTemp() {
    for (int attempt = 0;; ++attempt) {
      std::string path =
          transfer::PartFileName(target_, static_cast<unsigned long>(::getpid()), attempt);
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        file_.Reset(fd);
        temp_path_ = std::move(path);
        KeepModeOfTarget(fd);
        return true;
      }
      if (errno != EEXIST || attempt + 1 >= transfer::kPartFileAttempts) {
        io_error_ = errno;
        return false;
      }
    }
  }

  // The file that the download replaces keeps its permissions and, where we may set it, its
  // owner: a script or program fetched over an executable one must stay executable.
  void KeepModeOfTarget(int fd) const {
    struct stat old {};
    if (::stat(target_.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return;
    if (::fchmod(fd, old.st_mode & 0777) != 0) return;
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
      // Not ours to give away; the mode alone is kept.
    }
  }

  CURL* request_;
  std::string target_;
  DownloadDisplay display_;
  TransferWatch watch_;
  platform::UniqueFd file_;
  std::string temp_path_;
  uint64_t written_ = 0;
  uint64_t expected_ = 0;
  bool started_ = false;
  bool wrong_status_ = false;
  int io_error_ = 0;
};

// The status of the final answer, or why an https server was not trusted with the request.
struct Checked {
  long status = 0;
  std::string refusal;
};

Checked CheckStatus(MainWindow& window, const std::string& agent, const HttpOptions& options,
                    const std::string& url, const transfer::ServerTrust* trust) {
  HeaderList headers = NoCacheHeaders();
  CurlHandle request = OpenRequest(url, agent.c_str(), options, headers.get(), trust);
  if (!request) return {};
  StatusProbe probe{request.get()};
  TransferWatch watch(window, options.stall_limit_s);
  curl_easy_setopt(request.get(), CURLOPT_HEADERFUNCTION, StopAtHeadersEnd);
  curl_easy_setopt(request.get(), CURLOPT_HEADERDATA, &probe);
  curl_easy_setopt(request.get(), CURLOPT_WRITEFUNCTION, DiscardBody);
  curl_easy_setopt(request.get(), CURLOPT_XFERINFODATA, &watch);
  const CURLcode rc = curl_easy_perform(request.get());
  if (trust != nullptr) {
    if (std::string refusal = Refusal(rc); !refusal.empty()) return {0, std::move(refusal)};
  }
  if (probe.status == 0 && rc == CURLE_OK) probe.status = ResponseCode(request.get());
  // A 401 once passed here and its body was then installed as the file: only 200 is an answer.
  return {probe.status, {}};
}

}  // namespace

SystemHttpClient::SystemHttpClient(MainWindow& window, std::string app_title, HttpOptions options)
    : window_(window), app_title_(std::move(app_title)), options_(std::move(options)) {
  GlobalInit();
}

bool SystemHttpClient::HttpCheckUrl(const std::string& url) {
  const bool https = transfer::IsHttpsUrl(url);
  const transfer::ServerTrust trust =
      https ? transfer::LoadServerTrust(options_) : transfer::ServerTrust{};
  if (!trust.refusal.empty()) return false;
  const Checked checked = CheckStatus(window_, app_title_, options_, url, https ? &trust : nullptr);
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
  int io_error = 0;
  {
    HeaderList headers = NoCacheHeaders();
    CurlHandle request =
        OpenRequest(url, transfer::kTransferAgent, options_, headers.get(), trusted);
    BodySink sink(window_, options_.stall_limit_s, request.get(), local_path, display_name);
    long status = 0;
    CURLcode rc = CURLE_FAILED_INIT;
    std::string refusal;
    if (request) {
      curl_easy_setopt(request.get(), CURLOPT_WRITEFUNCTION, BodySink::OnBody);
      curl_easy_setopt(request.get(), CURLOPT_WRITEDATA, &sink);
      curl_easy_setopt(request.get(), CURLOPT_XFERINFOFUNCTION, BodySink::OnProgress);
      curl_easy_setopt(request.get(), CURLOPT_XFERINFODATA, &sink);
      rc = curl_easy_perform(request.get());
      status = ResponseCode(request.get());
      if (https) refusal = Refusal(rc);
    }
    if (rc == CURLE_OK && sink.Commit()) {
      ok = true;
    } else if (sink.io_error() != 0) {
      io_error = sink.io_error();
      sink.Discard();
    } else if (!refusal.empty()) {
      // Nothing came from a server we trust: what the target held stays.
      window_.ShowPoruka(transfer::kRefusedTitle, refusal);
    } else if (status == 0) {
      window_.ShowPoruka(transfer::kErrorTitle, transfer::kCannotConnect);
    } else {
      sink.ShowReached();
      window_.ShowPoruka(transfer::kMessageBoxTitle, transfer::kDownloadFailed);
      sink.Discard();
    }
  }

  transfer::EndDownload(window_, options_);
  if (io_error != 0) throw UpdateError(IoErrorText(io_error));
  return ok;
}

}  // namespace zepr
