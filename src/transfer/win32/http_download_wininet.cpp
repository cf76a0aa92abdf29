#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "core/text.h"
#include "platform/win32/wide.h"
#include "transfer/http_download.h"
#include "transfer/transfer_shared.h"
#include "transfer/win32/server_certificate.h"
#include "transfer/win32/wininet_handle.h"

namespace zepr {
namespace {

using transfer::InternetHandle;

constexpr DWORD kBlock = 256 * 1024;
// Nothing is taken from or put into the user's cache, and no cookie is kept.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES;

// The no-cache headers and the given lines, each ended by CR LF.
std::wstring RequestHeaders(const std::vector<std::string>& lines) {
  std::string headers =
      std::string(transfer::kCacheControlHeader) + "\r\n" + transfer::kPragmaHeader + "\r\n";
  for (const auto& line : lines) headers += line + "\r\n";
  return platform::Utf8ToWide(headers);
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
             const transfer::ServerTrust* trust, const std::vector<std::string>& lines = {}) {
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
  const std::wstring headers = RequestHeaders(lines);
  auto send = [&] {
    return HttpSendRequestW(r.request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                            nullptr, 0) != FALSE;
  };
  r.answered = send();
  if (trust == nullptr) return r;
  // Each fault that we check ourselves is overlooked once at most, so this ends.
  transfer::Overlooked overlooked;
  DWORD error = r.answered ? 0 : GetLastError();
  while (!r.answered && transfer::Overlook(r.request.get(), error, *trust, overlooked)) {
    r.answered = send();
    if (!r.answered) error = GetLastError();
  }
  r.refusal = r.answered ? transfer::CheckServer(r.request.get(), *trust, overlooked)
                         : transfer::CertificateRefusal(error);
  return r;
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
  return ParseDecimal<int64_t>(platform::WideToUtf8(buffer)).value_or(-1);
}

// A header of the answer as the server wrote it; "" when there is none.
std::string HeaderText(HINTERNET request, DWORD info) {
  std::vector<wchar_t> buffer(256, L'\0');
  DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  if (!HttpQueryInfoW(request, info, buffer.data(), &size, nullptr)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
    buffer.assign(size / sizeof(wchar_t) + 1, L'\0');
    if (!HttpQueryInfoW(request, info, buffer.data(), &size, nullptr)) return {};
  }
  return platform::WideToUtf8(std::wstring(buffer.data()));
}

using Ended = transfer::HttpTransfer::Ended;

// One request of a download, on the worker: the head of the answer goes to the transfer
// before any byte of its body, then the body block by block.
Ended RunAttempt(const std::string& url, const HttpOptions& options,
                 const transfer::ServerTrust* trust, const std::vector<std::string>& lines,
                 transfer::HttpTransfer& transfer, transfer::BlockingCalls& calls) {
  const Request r = Send(url, transfer::kTransferAgent, options, trust, lines);
  if (!r.refusal.empty()) {
    transfer.Refuse(r.refusal);
    return Ended::kRefused;
  }
  const HINTERNET request = r.request.get();
  if (!r.answered || StatusCode(request) == 0) return Ended::kNoAnswer;
  transfer::HttpHead head;
  head.status = static_cast<long>(StatusCode(request));
  head.content_length = ContentLength(request);
  head.etag = HeaderText(request, HTTP_QUERY_ETAG);
  head.last_modified = HeaderText(request, HTTP_QUERY_LAST_MODIFIED);
  head.content_range = HeaderText(request, HTTP_QUERY_CONTENT_RANGE);
  if (!transfer.Head(head)) return Ended::kBroken;
  std::vector<char> buffer(kBlock);
  bool first = true;
  while (true) {
    // Wine's read returns only with a full block or the end of the body; a read that the
    // stall limit ends loses what it gathered, which the next attempt asks for again.
    DWORD read = 0;
    if (!InternetReadFile(request, buffer.data(), kBlock, &read)) return Ended::kBroken;
    if (read == 0) return Ended::kFinished;
    if (!transfer.Body(buffer.data(), read)) return Ended::kBroken;
    // The first figures appear with the first block.
    if (first) calls.Wake();
    first = false;
  }
}

}  // namespace

SystemHttpClient::SystemHttpClient(MainWindow& window, HttpOptions options)
    : window_(window), options_(std::move(options)) {}

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
  transfer::HttpTransfer transfer(window_, options_, url, local_path, display_name,
                                  GetCurrentProcessId(), size_limit);
  return transfer.Run(
      [&](const std::vector<std::string>& lines) {
        Ended ended = Ended::kNoAnswer;
        transfer::BlockingCalls calls;
        calls.Run([&] { ended = RunAttempt(url, options_, trusted, lines, transfer, calls); },
                  [&] { transfer.Pump(); });
        return ended;
      },
      [](const std::error_code& error) {
        return transfer::FileErrorText(static_cast<DWORD>(error.value()));
      });
}

}  // namespace zepr
