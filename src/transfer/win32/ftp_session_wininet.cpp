#include <windows.h>
#include <wininet.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/encoding.h"
#include "core/errors.h"
#include "core/text.h"
#include "core/win32/wide.h"
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
  // As wide text that WinINet sends as those bytes in the ANSI code page.
  wide = CodePageToWide(bytes, 1250);
  return true;
}

// What one WinINet call left behind. WinINet keeps the error and the server's reply per
// thread, so both are taken on the worker right after the call.
struct CallResult {
  bool ok = false;
  DWORD error = 0;
  transfer::ServerReply reply;
  // What the call opened; closed with the result unless taken, e.g. by a call given up on.
  InternetHandle handle;
  DWORD read = 0;
};

// Replies are asked for only where they are read: a transfer's blocks need none.
enum class Reply { kAlways, kOnFailure };

}  // namespace

struct FtpSession::Impl {
  Impl(MainWindow& window, const long& stall_limit_ms, const std::string& resume_folder)
      : window_(window),
        stall_limit_ms_(stall_limit_ms),
        resume_folder_(resume_folder),
        throttle_(window.clock()) {}

  bool Connect(const FtpSettings& settings);
  void ChangeDir(const std::string& folder);
  int64_t Size(const std::string& name);
  void Retrieve(const std::string& name, const std::string& local_path, uint64_t size_limit);
  void Close();

  DWORD StallMs() const { return static_cast<DWORD>(stall_limit_ms_ > 0 ? stall_limit_ms_ : 1); }
  CallResult Call(std::function<bool(CallResult&)> call, Reply reply);
  void Idle();
  void Drop();
  CallResult CloseFile();
  // Logs in without a word to the window: "" when it worked, else why not.
  std::string Login(const FtpSettings& settings);
  // After the connection was dropped: logged in again and back in the folder it was in.
  bool Reconnect();
  CallResult Command(const std::wstring& command);
  // What SIZE and MDTM say of a file in the current folder now.
  transfer::FileVersion Version(const std::wstring& name);
  // One attempt of a retrieval: "" when the file is complete (or refused as too long), else why
  // not.
  std::string Attempt(const std::wstring& name, transfer::FtpRetrieval& retrieval,
                      const std::string& local_path);

  MainWindow& window_;
  const long& stall_limit_ms_;
  const std::string& resume_folder_;
  transfer::RefreshThrottle throttle_;
  transfer::BlockingCalls calls_;
  InternetHandle internet_;
  InternetHandle connection_;
  InternetHandle file_;  // the transfer under way
  // The statistics of the transfer under way, once its first block came.
  bool work_begun_ = false;
  uint64_t work_bytes_ = 0;
  // The last file whose size was asked, that size (the expected length of its transfer) and
  // its modification time.
  std::string sized_name_;
  int64_t sized_ = -1;
  std::string sized_modified_;
  // How the session was opened and the folders changed to since, to open it again.
  FtpSettings settings_;
  std::vector<std::wstring> folders_;
  std::string identity_;  // "ftp://user@host:port", naming the server's files for resuming
};

namespace {

std::string FailureText(const CallResult& result) {
  return transfer::InternetFailureText(result.error, result.reply);
}

}  // namespace

FtpSession::FtpSession(MainWindow& window)
    : impl_(std::make_unique<Impl>(window, stall_limit_ms_, resume_folder_)) {}

FtpSession::~FtpSession() { Close(); }

bool FtpSession::Connect(const FtpSettings& settings) { return impl_->Connect(settings); }
void FtpSession::ChangeDir(const std::string& folder) { impl_->ChangeDir(folder); }
int64_t FtpSession::Size(const std::string& name) { return impl_->Size(name); }
void FtpSession::Retrieve(const std::string& name, const std::string& local_path,
                          uint64_t size_limit) {
  impl_->Retrieve(name, local_path, size_limit);
}
bool FtpSession::IsConnected() const { return impl_->connection_ != nullptr; }
void FtpSession::Close() { impl_->Close(); }

// Runs one WinINet call of the session on the worker while the window is kept alive. WinINet
// under Wine ignores the stall limit for FTP, so a call that outlasts it is given up here: it
// fails as timed out, and the connection goes with it, since a reply or transfer left half
// done leaves nothing the session could go on with. The call must capture by value.
CallResult FtpSession::Impl::Call(std::function<bool(CallResult&)> call, Reply reply) {
  auto result = std::make_shared<CallResult>();
  const bool ended = calls_.Run(
      [result, reply, call = std::move(call)] {
        SetLastError(0);
        result->ok = call(*result);
        if (!result->ok) result->error = GetLastError();
        if (reply == Reply::kAlways || !result->ok) result->reply = transfer::LastServerReply();
      },
      [this] { Idle(); }, StallMs(), [this] { Drop(); });
  if (!ended) {
    CallResult timed_out;
    timed_out.error = ERROR_INTERNET_TIMEOUT;
    return timed_out;
  }
  return std::move(*result);
}

// While the network is waited for; during a transfer that is the statistics handler, which
// processes the window's messages itself.
void FtpSession::Impl::Idle() {
  if (!throttle_.Due()) return;
  if (work_begun_) {
    window_.IdFTP1Work(static_cast<int64_t>(work_bytes_));
  } else {
    window_.ProcessMessages();
  }
}

// Closing the handles ends what WinINet still waits for where it can; a call it cannot end
// (Wine's data reads) finishes on its own thread.
void FtpSession::Impl::Drop() {
  sized_name_.clear();
  internet_.reset();
  connection_.reset();
  file_.reset();
}

// Closing the file reads the server's final word on the transfer.
CallResult FtpSession::Impl::CloseFile() {
  const HINTERNET file = file_.release();
  if (file == nullptr) return {.ok = true};
  return Call(
      [file](CallResult&) {
        InternetCloseHandle(file);
        return true;
      },
      Reply::kAlways);
}

std::string FtpSession::Impl::Login(const FtpSettings& settings) {
  std::wstring user;
  std::wstring password;
  if (!WireName(settings.user, user) || !WireName(settings.password, password)) {
    return transfer::kInvalidLoginCharacter;
  }
  // FTP goes to the server directly, never through a proxy.
  internet_ = transfer::OpenInternet(transfer::kTransferAgent, INTERNET_OPEN_TYPE_DIRECT,
                                     static_cast<DWORD>(kConnectTimeoutMs), StallMs());
  if (!internet_) return transfer::InternetFailureText(GetLastError(), {});
  const HINTERNET internet = internet_.get();
  const std::wstring host = platform::Utf8ToWide(settings.host);
  const auto port = static_cast<INTERNET_PORT>(settings.port > 0 ? settings.port : kDefaultPort);
  const DWORD flags = settings.passive ? INTERNET_FLAG_PASSIVE : 0;
  CallResult login = Call(
      [internet, host, port, user, password, flags](CallResult& r) {
        r.handle.reset(InternetConnectW(internet, host.c_str(), port, user.c_str(),
                                        password.c_str(), INTERNET_SERVICE_FTP, flags, 0));
        return r.handle != nullptr;
      },
      Reply::kOnFailure);
  if (login.ok) {
    connection_ = std::move(login.handle);
    // Binary from the start, so a size query is answered before the first retrieval.
    const HINTERNET connection = connection_.get();
    login = Call(
        [connection](CallResult&) {
          FtpCommandW(connection, FALSE, FTP_TRANSFER_TYPE_BINARY, L"TYPE I", 0, nullptr);
          return true;
        },
        Reply::kOnFailure);
  }
  if (!connection_) {
    internet_.reset();
    return FailureText(login);
  }
  return {};
}

bool FtpSession::Impl::Connect(const FtpSettings& settings) {
  Close();
  if (const std::string refused = Login(settings); !refused.empty()) {
    window_.ShowPoruka(kLoginFailedTitle, refused);
    return false;
  }
  settings_ = settings;
  folders_.clear();
  identity_ = "ftp://" + settings.user + "@" + settings.host + ":" +
              std::to_string(settings.port > 0 ? settings.port : kDefaultPort);
  // The login stands even when the folder is missing, which the run handles as an error.
  ChangeDir(settings.remote_folder);
  return true;
}

bool FtpSession::Impl::Reconnect() {
  Close();
  if (!Login(settings_).empty()) return false;
  for (const auto& folder : folders_) {
    const HINTERNET connection = connection_.get();
    const CallResult changed = Call(
        [connection, folder](CallResult&) {
          return FtpSetCurrentDirectoryW(connection, folder.c_str()) != FALSE;
        },
        Reply::kOnFailure);
    if (!changed.ok) return false;
  }
  return connection_ != nullptr;
}

CallResult FtpSession::Impl::Command(const std::wstring& command) {
  if (!connection_) return {};
  const HINTERNET connection = connection_.get();
  return Call(
      [connection, command](CallResult&) {
        return FtpCommandW(connection, FALSE, FTP_TRANSFER_TYPE_BINARY, command.c_str(), 0,
                           nullptr) != FALSE;
      },
      Reply::kAlways);
}

transfer::FileVersion FtpSession::Impl::Version(const std::wstring& name) {
  transfer::FileVersion version;
  // WinINet has no call of its own for SIZE that leaves the data connection alone.
  const CallResult size = Command(L"SIZE " + name);
  if (!size.ok || size.reply.code != 213) return version;
  const auto total = ParseDecimal<int64_t>(size.reply.text);
  if (!total) return version;
  version.total = *total;
  const CallResult modified = Command(L"MDTM " + name);
  if (modified.ok && modified.reply.code == 213) version.modified = modified.reply.text;
  return version;
}

void FtpSession::Impl::ChangeDir(const std::string& folder) {
  if (!connection_) throw UpdateError(kNotConnected);
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty()) return;
  std::wstring wide;
  if (!WireName(path, wide)) throw UpdateError(transfer::kInvalidNameCharacter);
  const HINTERNET connection = connection_.get();
  const CallResult changed =
      Call([connection, wide](
               CallResult&) { return FtpSetCurrentDirectoryW(connection, wide.c_str()) != FALSE; },
           Reply::kOnFailure);
  if (!changed.ok) throw UpdateError(FailureText(changed));
  folders_.push_back(wide);
}

int64_t FtpSession::Impl::Size(const std::string& name) {
  sized_name_.clear();
  std::wstring wide;
  if (!connection_ || name.empty() || name.back() == '/' || !WireName(name, wide)) return -1;
  const transfer::FileVersion version = Version(wide);
  if (version.total < 0) return -1;
  sized_name_ = name;
  sized_ = version.total;
  sized_modified_ = version.modified;
  return sized_;
}

void FtpSession::Impl::Retrieve(const std::string& name, const std::string& local_path,
                                uint64_t size_limit) {
  const std::wstring local = platform::Utf8ToWide(local_path);
  if (GetFileAttributesW(local.c_str()) != INVALID_FILE_ATTRIBUTES) {
    throw UpdateError(kDestinationExists);
  }
  if (!connection_) throw UpdateError(kNotConnected);
  if (name.empty() || name.back() == '/') throw UpdateError(kNoFileName);
  std::wstring wide;
  if (!WireName(name, wide)) throw UpdateError(transfer::kInvalidNameCharacter);
  transfer::FileVersion version;
  if (name == sized_name_) version = {"", sized_modified_, sized_};
  sized_name_.clear();
  std::string key = identity_;
  for (const auto& folder : folders_) key += "/" + platform::WideToUtf8(folder);
  transfer::FtpRetrieval retrieval(window_, resume_folder_, key + "/" + name, local_path, name,
                                   GetCurrentProcessId(), version, size_limit);
  if (retrieval.too_long()) throw UpdateError(retrieval.RefuseTooLong());
  if (retrieval.file_error()) {
    throw UpdateError("Cannot create file \"" + local_path + "\". " +
                      transfer::FileErrorText(static_cast<DWORD>(retrieval.file_error().value())));
  }
  while (true) {
    const std::string failure = Attempt(wide, retrieval, local_path);
    if (retrieval.too_long()) throw UpdateError(retrieval.RefuseTooLong());
    if (failure.empty()) break;
    if (!retrieval.AnotherAttempt(failure)) throw UpdateError(failure);
    // A connection left half done by the transfer was dropped; the session goes on anew.
    if (!connection_ && !Reconnect()) throw UpdateError(failure);
    // The rest only of the very file begun: the server must still show its size and time.
    retrieval.Recheck(Version(wide));
  }
  if (GetFileAttributesW(local.c_str()) != INVALID_FILE_ATTRIBUTES) {
    throw UpdateError(kDestinationExists);
  }
  if (!retrieval.Commit()) {
    throw UpdateError(transfer::FileErrorText(static_cast<DWORD>(retrieval.file_error().value())));
  }
  // IdFTP1AfterGet
  window_.SetProgress(0);
}

std::string FtpSession::Impl::Attempt(const std::wstring& wide, transfer::FtpRetrieval& retrieval,
                                      const std::string& local_path) {
  // However the transfer ends, its file is closed and the statistics block emptied.
  struct TransferEnd {
    Impl& impl;
    ~TransferEnd() {
      try {
        impl.CloseFile();
      } catch (...) {
        // Already on the way out with the transfer's own error.
      }
      if (impl.work_begun_) impl.window_.IdFTP1WorkEnd();
      impl.work_begun_ = false;
    }
  } transfer_end{*this};
  uint64_t offset = retrieval.held();
  if (offset > 0) {
    // The server starts the next retrieval there; one that cannot gets the whole file asked.
    const CallResult rest = Command(L"REST " + std::to_wstring(offset));
    if (!rest.ok || rest.reply.code != 350) {
      retrieval.Recheck({});
      offset = 0;
    }
  }
  work_bytes_ = offset;
  const HINTERNET connection = connection_.get();
  CallResult opened = Call(
      [connection, wide](CallResult& r) {
        r.handle.reset(FtpOpenFileW(connection, wide.c_str(), GENERIC_READ, kTransferFlags, 0));
        return r.handle != nullptr;
      },
      Reply::kAlways);
  if (!opened.ok) return FailureText(opened);
  file_ = std::move(opened.handle);
  int64_t expected = retrieval.total();
  if (expected < 0) {
    const int64_t announced = transfer::AnnouncedSize(opened.reply.text);
    if (announced >= 0) expected = static_cast<int64_t>(offset) + announced;
  }
  // A file announced longer than its limit is not read at all; Retrieve raises the refusal.
  if (!retrieval.Announced(expected)) return {};
  // Shared with the worker, which a stalled read may outlive this transfer on.
  const auto block = std::make_shared<std::vector<char>>(kBlock);
  while (true) {
    const HINTERNET file = file_.get();
    const CallResult got = Call(
        [file, block](CallResult& r) {
          return InternetReadFile(file, block->data(), kBlock, &r.read) != FALSE;
        },
        Reply::kOnFailure);
    if (!got.ok) {
      if (work_begun_) window_.IdFTP1Work(static_cast<int64_t>(work_bytes_));
      return FailureText(got);
    }
    if (got.read == 0) break;
    if (!retrieval.Body(block->data(), got.read)) {
      if (retrieval.too_long()) return {};
      throw UpdateError(
          "Cannot write file \"" + local_path + "\". " +
          transfer::FileErrorText(static_cast<DWORD>(retrieval.file_error().value())));
    }
    work_bytes_ += got.read;
    if (!work_begun_) {
      work_begun_ = true;
      window_.IdFTP1WorkBegin(expected > 0 ? expected : 0);
    }
    if (throttle_.Due()) window_.IdFTP1Work(static_cast<int64_t>(work_bytes_));
  }
  const CallResult closed = CloseFile();
  if (!closed.ok) return FailureText(closed);
  const transfer::ServerReply& final_reply = closed.reply;
  if (!work_begun_) {
    work_begun_ = true;
    window_.IdFTP1WorkBegin(0);
  }
  const uint64_t bytes = retrieval.held();
  window_.IdFTP1Work(static_cast<int64_t>(work_bytes_));
  if (final_reply.code >= 400) return final_reply.text;
  if (expected >= 0 && static_cast<int64_t>(bytes) != expected) {
    return "Transfer closed with " + std::to_string(bytes) + " of " + std::to_string(expected) +
           " bytes received.";
  }
  return {};
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
