#include "transfer/win32/wininet_handle.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/win32/wide.h"
#include "transfer/transfer_shared.h"

namespace zepr::transfer {
namespace {

// Attributes that a replaced file hands on to the file that replaces it.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

void SetDword(HINTERNET handle, DWORD option, DWORD value) {
  InternetSetOptionW(handle, option, &value, sizeof value);
}

// Replies have lines of up to 16 384 characters.
constexpr DWORD kReplyBuffer = 64 * 1024;

bool IsCoded(std::wstring_view line) {
  return line.size() >= 3 && iswdigit(line[0]) && iswdigit(line[1]) && iswdigit(line[2]) &&
         (line.size() == 3 || line[3] == L' ' || line[3] == L'-');
}

}  // namespace

InternetHandle OpenInternet(std::string_view agent, DWORD access, DWORD connect_ms,
                            DWORD stall_ms) {
  InternetHandle internet(
      InternetOpenW(platform::Utf8ToWide(agent).c_str(), access, nullptr, nullptr, 0));
  if (!internet) return internet;
  SetConnectLimit(internet.get(), connect_ms);
  SetStallLimit(internet.get(), stall_ms);
  return internet;
}

void SetConnectLimit(HINTERNET handle, DWORD connect_ms) {
  SetDword(handle, INTERNET_OPTION_CONNECT_TIMEOUT, connect_ms);
}

void SetStallLimit(HINTERNET handle, DWORD stall_ms) {
  SetDword(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, stall_ms);
  SetDword(handle, INTERNET_OPTION_SEND_TIMEOUT, stall_ms);
  SetDword(handle, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, stall_ms);
  SetDword(handle, INTERNET_OPTION_DATA_SEND_TIMEOUT, stall_ms);
}

ServerReply LastServerReply() {
  // Asked with a generous buffer at once: Wine does not answer the question for the size.
  std::vector<wchar_t> buffer(kReplyBuffer, L'\0');
  DWORD error = 0;
  DWORD length = kReplyBuffer - 1;
  if (!InternetGetLastResponseInfoW(&error, buffer.data(), &length)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
    buffer.assign(length + 1, L'\0');
    if (!InternetGetLastResponseInfoW(&error, buffer.data(), &length)) return {};
  }
  length = std::min<DWORD>(length, static_cast<DWORD>(buffer.size() - 1));
  std::wstring_view all(buffer.data(), length);
  all = all.substr(0, all.find(L'\0'));
  ServerReply reply;
  std::wstring text;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find(L'\n', start);
    if (end == std::wstring_view::npos) end = all.size();
    std::wstring_view line = all.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == L'\r') line.remove_suffix(1);
    if (line.empty()) continue;
    if (IsCoded(line)) {
      reply.code = (line[0] - L'0') * 100 + (line[1] - L'0') * 10 + (line[2] - L'0');
      line.remove_prefix(line.size() > 3 ? 4 : 3);
    }
    if (!text.empty()) text += L'\r';
    text += line;
  }
  reply.text = platform::WideToUtf8(text);
  return reply;
}

std::string InternetFailureText(DWORD code, const ServerReply& reply) {
  if (code == ERROR_INTERNET_EXTENDED_ERROR || code == ERROR_INTERNET_LOGIN_FAILURE) {
    if (reply.code >= 400 && !reply.text.empty()) return reply.text;
  }
  // The system's words where it has them; Wine's WinINet has none.
  switch (code) {
    case ERROR_INTERNET_TIMEOUT:
      return "The operation timed out.";
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      return "The server name could not be resolved.";
    case ERROR_INTERNET_LOGIN_FAILURE:
      return "The login request was denied.";
    case ERROR_INTERNET_CANNOT_CONNECT:
      return "Cannot connect to the server.";
    case ERROR_INTERNET_CONNECTION_ABORTED:
      return "The connection with the server was ended abnormally.";
    case ERROR_INTERNET_CONNECTION_RESET:
      return "The connection with the server was reset.";
    default:
      return platform::SystemErrorText(code, GetModuleHandleW(L"wininet.dll"));
  }
}

std::string FileErrorText(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY:
      return FileFailureText(FileFailure::kInvalidName, static_cast<long>(code));
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return FileFailureText(FileFailure::kAccessDenied, static_cast<long>(code));
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return FileFailureText(FileFailure::kDiskFull, static_cast<long>(code));
    case ERROR_TOO_MANY_OPEN_FILES:
      return FileFailureText(FileFailure::kTooManyFiles, static_cast<long>(code));
    default:
      return FileFailureText(FileFailure::kOther, static_cast<long>(code));
  }
}

// What the window's thread and the worker share. An abandoned worker keeps its own, so the
// call it is left with never touches what the caller has moved on to.
struct BlockingCalls::State {
  std::mutex mutex;
  std::condition_variable to_worker;
  std::condition_variable to_caller;
  std::function<void()> call;
  bool posted = false;
  bool done = false;
  bool woken = false;
  bool quit = false;
  std::exception_ptr error;
  std::thread thread;

  void Serve() {
    while (true) {
      std::function<void()> next;
      {
        std::unique_lock lock(mutex);
        to_worker.wait(lock, [this] { return posted || quit; });
        if (!posted) return;
        posted = false;
        next = std::move(call);
      }
      std::exception_ptr raised;
      try {
        next();
      } catch (...) {
        raised = std::current_exception();
      }
      // What the call owned goes now, not with the next call.
      next = nullptr;
      {
        std::lock_guard lock(mutex);
        error = raised;
        done = true;
      }
      to_caller.notify_one();
    }
  }
};

BlockingCalls::~BlockingCalls() { Stop(); }

void BlockingCalls::Stop() {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->quit = true;
  }
  state_->to_worker.notify_one();
  state_->thread.join();
  state_.reset();
}

bool BlockingCalls::Run(std::function<void()> call, const std::function<void()>& idle,
                        DWORD limit_ms, const std::function<void()>& cancel) {
  if (!state_) {
    state_ = std::make_shared<State>();
    state_->thread = std::thread([state = state_] { state->Serve(); });
  }
  State& state = *state_;
  {
    std::lock_guard lock(state.mutex);
    state.call = std::move(call);
    state.posted = true;
    state.done = false;
    state.woken = false;
  }
  state.to_worker.notify_one();
  const ULONGLONG start = GetTickCount64();
  std::exception_ptr error;
  while (true) {
    {
      std::unique_lock lock(state.mutex);
      state.to_caller.wait_for(lock, std::chrono::milliseconds(kRefreshMs),
                               [&state] { return state.done || state.woken; });
      if (state.done) {
        error = std::exchange(state.error, nullptr);
        break;
      }
      state.woken = false;
    }
    if (limit_ms > 0 && GetTickCount64() - start >= limit_ms) {
      // The thread ends by itself once the call returns; the next call gets a new one.
      {
        std::lock_guard lock(state.mutex);
        state.quit = true;
      }
      state.thread.detach();
      state_.reset();
      if (cancel) cancel();
      return false;
    }
    idle();
  }
  if (error) std::rethrow_exception(error);
  return true;
}

void BlockingCalls::Wake() {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->woken = true;
  }
  state_->to_caller.notify_one();
}

void RunPumping(MainWindow& window, std::function<void()> call) {
  RefreshThrottle throttle(window.clock());
  BlockingCalls calls;
  calls.Run(std::move(call), [&] {
    if (throttle.Due()) window.ProcessMessages();
  });
}

}  // namespace zepr::transfer
