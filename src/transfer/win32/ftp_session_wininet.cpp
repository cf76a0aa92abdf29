#include <windows.h>
#include <wininet.h>

#include <charconv>
#include <string>
#include <vector>

#include "core/encoding.h"
#include "core/errors.h"
#include "platform/win32/wide.h"
#include "transfer/ftp_session.h"
#include "transfer/transfer_shared.h"
#include "transfer/win32/wininet_handle.h"

namespace zepr {
namespace {

using transfer::InternetHandle;
using transfer::kDestinationExists;
using transfer::kLoginFailedTitle;
using transfer::kNoFileName;
using transfer::kNotConnected;
using transfer::PartFile;

constexpr DWORD kBlock = 256 * 1024;
// How long the goodbye waits for the server's answer before the connection is simply closed.
constexpr DWORD kQuitWaitMs = 2000;
constexpr DWORD kTransferFlags =
    FTP_TRANSFER_TYPE_BINARY | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;

// Names go out in the ANSI code page; the servers of the system have always received CP1250.
// Empty when the name holds a line break, which would end the command early.
bool WireName(const std::string& utf8, std::wstring& wide) {
  const std::string bytes = Utf8ToCp1250(utf8);
  if (transfer::HasLineBreakOrNul(bytes)) return false;
  wide = transfer::Cp1250ToWide(bytes);
  return true;
}

// The statistics block is emptied again however a transfer ends.
struct WorkEnd {
  MainWindow& window;
  bool begun = false;
  ~WorkEnd() {
    if (begun) window.IdFTP1WorkEnd();
  }
};

}  // namespace

struct FtpSession::Impl {
  Impl(MainWindow& window, const long& stall_limit_ms)
      : window_(window), stall_limit_ms_(stall_limit_ms) {}

  bool Connect(const FtpSettings& settings);
  void ChangeDir(const std::string& folder);
  int64_t Size(const std::string& name);
  void Retrieve(const std::string& name, const std::string& local_path);
  void Close();

  DWORD StallMs() const { return static_cast<DWORD>(stall_limit_ms_ > 0 ? stall_limit_ms_ : 1); }
  void FailWithLastError() { throw UpdateError(transfer::InternetFailureText(GetLastError())); }

  MainWindow& window_;
  const long& stall_limit_ms_;
  InternetHandle internet_;
  InternetHandle connection_;
  // The last file whose size was asked and that size, as the expected length of its transfer.
  std::string sized_name_;
  int64_t sized_ = -1;
};

FtpSession::FtpSession(MainWindow& window)
    : impl_(std::make_unique<Impl>(window, stall_limit_ms_)) {}

FtpSession::~FtpSession() { Close(); }

bool FtpSession::Connect(const FtpSettings& settings) { return impl_->Connect(settings); }
void FtpSession::ChangeDir(const std::string& folder) { impl_->ChangeDir(folder); }
int64_t FtpSession::Size(const std::string& name) { return impl_->Size(name); }
void FtpSession::Retrieve(const std::string& name, const std::string& local_path) {
  impl_->Retrieve(name, local_path);
}
bool FtpSession::IsConnected() const { return impl_->connection_ != nullptr; }
void FtpSession::Close() { impl_->Close(); }

bool FtpSession::Impl::Connect(const FtpSettings& settings) {
  Close();
  std::wstring user;
  std::wstring password;
  if (!WireName(settings.user, user) || !WireName(settings.password, password)) {
    window_.ShowPoruka(kLoginFailedTitle, transfer::kInvalidLoginCharacter);
    return false;
  }
  // FTP goes to the server directly, never through a proxy.
  internet_ = transfer::OpenInternet(transfer::kTransferAgent, INTERNET_OPEN_TYPE_DIRECT,
                                     static_cast<DWORD>(kConnectTimeoutMs), StallMs());
  if (internet_) {
    const auto port = static_cast<INTERNET_PORT>(settings.port > 0 ? settings.port : kDefaultPort);
    connection_.reset(InternetConnectW(internet_.get(), platform::Utf8ToWide(settings.host).c_str(),
                                       port, user.c_str(), password.c_str(), INTERNET_SERVICE_FTP,
                                       settings.passive ? INTERNET_FLAG_PASSIVE : 0, 0));
  }
  if (!connection_) {
    const std::string reason = transfer::InternetFailureText(GetLastError());
    internet_.reset();
    window_.ShowPoruka(kLoginFailedTitle, reason);
    return false;
  }
  // Binary from the start, so a size query is answered before the first retrieval.
  FtpCommandW(connection_.get(), FALSE, FTP_TRANSFER_TYPE_BINARY, L"TYPE I", 0, nullptr);
  // The login stands even when the folder is missing, which the run handles as an error.
  ChangeDir(settings.remote_folder);
  return true;
}

void FtpSession::Impl::ChangeDir(const std::string& folder) {
  if (!connection_) throw UpdateError(kNotConnected);
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty()) return;
  std::wstring wide;
  if (!WireName(path, wide)) throw UpdateError(transfer::kInvalidNameCharacter);
  if (!FtpSetCurrentDirectoryW(connection_.get(), wide.c_str())) FailWithLastError();
}

int64_t FtpSession::Impl::Size(const std::string& name) {
  sized_name_.clear();
  std::wstring wide;
  if (!connection_ || name.empty() || name.back() == '/' || !WireName(name, wide)) return -1;
  // WinINet has no call of its own for SIZE that leaves the data connection alone.
  const std::wstring command = L"SIZE " + wide;
  if (!FtpCommandW(connection_.get(), FALSE, FTP_TRANSFER_TYPE_BINARY, command.c_str(), 0,
                   nullptr)) {
    return -1;
  }
  const transfer::ServerReply reply = transfer::LastServerReply();
  if (reply.code != 213) return -1;
  int64_t size = -1;
  const char* end = reply.text.data() + reply.text.size();
  const auto [stop, ec] = std::from_chars(reply.text.data(), end, size);
  if (ec != std::errc() || stop != end || size < 0) return -1;
  sized_name_ = name;
  sized_ = size;
  return sized_;
}

void FtpSession::Impl::Retrieve(const std::string& name, const std::string& local_path) {
  const std::wstring local = platform::Utf8ToWide(local_path);
  if (GetFileAttributesW(local.c_str()) != INVALID_FILE_ATTRIBUTES) {
    throw UpdateError(kDestinationExists);
  }
  if (!connection_) throw UpdateError(kNotConnected);
  if (name.empty() || name.back() == '/') throw UpdateError(kNoFileName);
  std::wstring wide;
  if (!WireName(name, wide)) throw UpdateError(transfer::kInvalidNameCharacter);
  int64_t expected = name == sized_name_ ? sized_ : -1;
  sized_name_.clear();

  PartFile part(local_path);
  if (!part.ok()) {
    throw UpdateError("Cannot create file \"" + local_path + "\". " +
                      transfer::FileErrorText(part.error()));
  }
  WorkEnd work_end{window_};
  uint64_t bytes = 0;
  {
    const InternetHandle file(
        FtpOpenFileW(connection_.get(), wide.c_str(), GENERIC_READ, kTransferFlags, 0));
    if (!file) FailWithLastError();
    if (expected < 0) expected = transfer::AnnouncedSize(transfer::LastServerReply().text);
    transfer::RefreshThrottle throttle(window_.clock());
    std::vector<char> buffer(kBlock);
    while (true) {
      DWORD read = 0;
      if (!InternetReadFile(file.get(), buffer.data(), kBlock, &read)) {
        const std::string reason = transfer::InternetFailureText(GetLastError());
        if (work_end.begun) window_.IdFTP1Work(static_cast<int64_t>(bytes));
        throw UpdateError(reason);
      }
      if (read == 0) break;
      if (!part.Write(buffer.data(), read)) {
        throw UpdateError("Cannot write file \"" + local_path + "\". " +
                          transfer::FileErrorText(part.error()));
      }
      bytes += read;
      if (!work_end.begun) {
        work_end.begun = true;
        window_.IdFTP1WorkBegin(expected > 0 ? expected : 0);
      }
      if (throttle.Due()) window_.IdFTP1Work(static_cast<int64_t>(bytes));
    }
  }
  // Closing the file read the server's final word on the transfer.
  const transfer::ServerReply final_reply = transfer::LastServerReply();
  if (!work_end.begun) {
    work_end.begun = true;
    window_.IdFTP1WorkBegin(0);
  }
  window_.IdFTP1Work(static_cast<int64_t>(bytes));
  if (final_reply.code >= 400) throw UpdateError(final_reply.text);
  if (expected >= 0 && static_cast<int64_t>(bytes) != expected) {
    throw UpdateError("Transfer closed with " + std::to_string(bytes) + " of " +
                      std::to_string(expected) + " bytes received.");
  }
  if (const DWORD error = part.Commit(local_path, false); error != 0) {
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
      throw UpdateError(kDestinationExists);
    }
    throw UpdateError(transfer::FileErrorText(error));
  }
  // IdFTP1AfterGet
  window_.SetProgress(0);
}

void FtpSession::Impl::Close() {
  sized_name_.clear();
  if (connection_) {
    // The goodbye must not wait long for a server that never answers it.
    transfer::SetStallLimit(connection_.get(), kQuitWaitMs);
    connection_.reset();
  }
  internet_.reset();
}

}  // namespace zepr
