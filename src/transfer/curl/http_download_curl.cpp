#include <curl/curl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "transfer/http_download.h"
#include "transfer/transfer_shared.h"

namespace zepr {
namespace {

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

// OpenSSL's verify results (x509_vfy.h), which libcurl hands on.
constexpr long kCertificateNotYetValid = 9;
constexpr long kCertificateExpired = 10;
constexpr long kHostnameMismatch = 62;
constexpr long kAddressMismatch = 64;

// Why the server's certificate failed.
std::string VerificationRefusal(CURL* request) {
  long result = 0;
  curl_easy_getinfo(request, CURLINFO_SSL_VERIFYRESULT, &result);
  switch (result) {
    case kCertificateNotYetValid:
    case kCertificateExpired:
      return transfer::kExpiredCertificate;
    case kHostnameMismatch:
    case kAddressMismatch:
    // The chain passed (0), or was not judged yet (1, libcurl's value until it is): what
    // failed is libcurl's own check of the name, which comes first.
    case 0:
    case 1:
      return transfer::kMisnamedCertificate;
    default:
      return transfer::kUntrustedServer;
  }
}

// Why an https request ended without an answer we may use; "" for the other failures.
// error_text: libcurl's words for the failure.
std::string Refusal(CURL* request, CURLcode rc, const transfer::ServerTrust& trust,
                    std::string_view error_text) {
  switch (rc) {
    case CURLE_PEER_FAILED_VERIFICATION:
      return VerificationRefusal(request);
    case CURLE_SSL_CACERT_BADFILE:
      // The file was read before; what OpenSSL refused of it was no certificate after all.
      return trust.ca_file.empty() ? transfer::kUntrustedServer
                                   : transfer::CaWithoutCertificateText(trust.ca_file);
    case CURLE_SSL_CONNECT_ERROR:
      // OpenSSL's words for a first answer that is no TLS record, such as an http server's;
      // a handshake cut or refused otherwise stays a connection that failed.
      return error_text.find("wrong version number") != std::string_view::npos ? transfer::kNotHttps
                                                                               : std::string();
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

// curl_easy_perform, with libcurl's words for a failure.
CURLcode Perform(CURL* request, std::string& error_text) {
  char buffer[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(request, CURLOPT_ERRORBUFFER, buffer);
  const CURLcode rc = curl_easy_perform(request);
  curl_easy_setopt(request, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
  error_text = buffer;
  return rc;
}

// One attempt of a download: the head of the final answer goes to the transfer before any byte
// of its body, and the body block by block.
class Attempt {
 public:
  Attempt(MainWindow& window, long stall_limit_s, CURL* request, transfer::HttpTransfer& transfer)
      : request_(request), transfer_(transfer), watch_(window, stall_limit_s) {}

  static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    return static_cast<Attempt*>(user)->Header(std::string_view(data, size * count));
  }
  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto& attempt = *static_cast<Attempt*>(user);
    const size_t length = size * count;
    return attempt.taken_ && attempt.transfer_.Body(data, length) ? length : 0;
  }
  static int OnProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
    auto& attempt = *static_cast<Attempt*>(user);
    attempt.transfer_.Pump();
    return attempt.watch_.Stalled(received) ? 1 : 0;
  }

  bool head_seen() const { return head_seen_; }

 private:
  size_t Header(std::string_view line) {
    const size_t length = line.size();
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.substr(0, 5) == "HTTP/") {
      head_ = {};
      return length;
    }
    if (!line.empty()) {
      const size_t colon = line.find(':');
      if (colon == std::string_view::npos) return length;
      std::string name(line.substr(0, colon));
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
        value.remove_prefix(1);
      }
      if (name == "etag") head_.etag = value;
      if (name == "last-modified") head_.last_modified = value;
      if (name == "content-range") head_.content_range = value;
      return length;
    }
    const long code = ResponseCode(request_);
    // Informational answers and redirects are followed by the answer that counts.
    if (code < 200 || (code >= 300 && code < 400)) return length;
    head_seen_ = true;
    head_.status = code;
    curl_off_t content_length = -1;
    if (curl_easy_getinfo(request_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &content_length) ==
        CURLE_OK) {
      head_.content_length = content_length;
    }
    taken_ = transfer_.Head(head_);
    return taken_ ? length : 0;
  }

  CURL* request_;
  transfer::HttpTransfer& transfer_;
  TransferWatch watch_;
  transfer::HttpHead head_;
  bool head_seen_ = false;
  bool taken_ = false;
};

}  // namespace

SystemHttpClient::SystemHttpClient(MainWindow& window, HttpOptions options)
    : window_(window), options_(std::move(options)) {
  GlobalInit();
}

bool SystemHttpClient::HttpDownloadFile(const std::string& url, const std::string& local_path,
                                        const std::string& display_name, uint64_t size_limit) {
  const bool https = transfer::IsHttpsUrl(url);
  const transfer::ServerTrust trust =
      https ? transfer::LoadServerTrust(options_) : transfer::ServerTrust{};
  const transfer::ServerTrust* trusted = https ? &trust : nullptr;
  if (!trust.refusal.empty()) {
    window_.ShowPoruka(transfer::kRefusedTitle, trust.refusal);
    return false;
  }
  using Ended = transfer::HttpTransfer::Ended;
  transfer::HttpTransfer transfer(window_, options_, url, local_path, display_name,
                                  static_cast<unsigned long>(::getpid()), size_limit);
  return transfer.Run(
      [&](const std::vector<std::string>& lines) {
        HeaderList headers = NoCacheHeaders();
        for (const auto& line : lines) {
          if (headers) curl_slist_append(headers.get(), line.c_str());
        }
        CurlHandle request =
            OpenRequest(url, transfer::kTransferAgent, options_, headers.get(), trusted);
        if (!request) return Ended::kNoAnswer;
        Attempt attempt(window_, options_.stall_limit_s, request.get(), transfer);
        curl_easy_setopt(request.get(), CURLOPT_HEADERFUNCTION, Attempt::OnHeader);
        curl_easy_setopt(request.get(), CURLOPT_HEADERDATA, &attempt);
        curl_easy_setopt(request.get(), CURLOPT_WRITEFUNCTION, Attempt::OnBody);
        curl_easy_setopt(request.get(), CURLOPT_WRITEDATA, &attempt);
        curl_easy_setopt(request.get(), CURLOPT_XFERINFOFUNCTION, Attempt::OnProgress);
        curl_easy_setopt(request.get(), CURLOPT_XFERINFODATA, &attempt);
        std::string error_text;
        const CURLcode rc = Perform(request.get(), error_text);
        if (https) {
          if (std::string refusal = Refusal(request.get(), rc, trust, error_text);
              !refusal.empty()) {
            transfer.Refuse(std::move(refusal));
            return Ended::kRefused;
          }
        }
        if (rc == CURLE_OK) return Ended::kFinished;
        return attempt.head_seen() ? Ended::kBroken : Ended::kNoAnswer;
      },
      [](const std::error_code& error) { return IoErrorText(error.value()); });
}

}  // namespace zepr
