#pragma once

// What both WinINet back ends need: handle ownership, the time limits, the error texts.
#include <windows.h>
#include <wininet.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/main_window.h"

namespace zepr::transfer {

struct InternetCloser {
  void operator()(HINTERNET handle) const { InternetCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetCloser>;

struct FileCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using FileHandle = std::unique_ptr<void, FileCloser>;

// An internet handle with the connect limit and, for every wait on the server, the stall
// limit; its children inherit both.
InternetHandle OpenInternet(std::string_view agent, DWORD access, DWORD connect_ms, DWORD stall_ms);
void SetConnectLimit(HINTERNET handle, DWORD connect_ms);
void SetStallLimit(HINTERNET handle, DWORD stall_ms);

// The server's last reply on this thread: the code of its last line, and its lines without
// their codes, joined with "\r". Code 0 when there is none.
struct ServerReply {
  int code = 0;
  std::string text;
};
ServerReply LastServerReply();

// What went wrong in a WinINet call that failed with code: the server's own words (its last
// reply, taken on the thread of the call) when it refused, else the system's text for the code.
std::string InternetFailureText(DWORD code, const ServerReply& reply);

// The text a user of the system has always seen for a local file that could not be written.
std::string FileErrorText(DWORD code);

// Runs blocking WinINet calls, one at a time, on a thread of its own while the calling thread
// keeps the window alive: a connect, a wait for a reply or a read may block for the whole
// connect or stall limit.
class BlockingCalls {
 public:
  BlockingCalls() = default;
  ~BlockingCalls();
  BlockingCalls(const BlockingCalls&) = delete;
  BlockingCalls& operator=(const BlockingCalls&) = delete;

  // Runs call on the worker; meanwhile idle runs every kRefreshMs and when the call wakes it.
  // What the call raises is raised here. With limit_ms above 0, a call still running after
  // that long is given up, for waits that WinINet's own limits do not end (Wine's FTP ignores
  // them): cancel runs (closing the handle waited on ends the wait where WinINet can), the
  // call is left to end on its own thread, and false comes back. Such a call must own, by
  // value or shared, everything it touches.
  bool Run(std::function<void()> call, const std::function<void()>& idle, DWORD limit_ms = 0,
           const std::function<void()>& cancel = {});
  // From a call run without a limit: idle runs now, e.g. for the first figures of a transfer.
  void Wake();

 private:
  struct State;
  void Stop();

  std::shared_ptr<State> state_;
};

// Runs call on a worker and refreshes the window at most every kRefreshMs until it ends.
void RunPumping(MainWindow& window, std::function<void()> call);

}  // namespace zepr::transfer
