#pragma once

// What both WinINet back ends need: handle ownership, the time limits, the error texts.
#include <windows.h>
#include <wininet.h>

#include <memory>
#include <string>
#include <string_view>

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

// What went wrong in a WinINet call that failed with code: the server's own words when it
// refused, else the system's text for the code.
std::string InternetFailureText(DWORD code);

// The text a user of the system has always seen for a local file that could not be written.
std::string FileErrorText(DWORD code);

// CP1250 bytes as the wide text that WinINet sends as those bytes in the ANSI code page.
std::wstring Cp1250ToWide(std::string_view bytes);

// A new, empty file beside target that nobody else uses, removed again unless committed.
class PartFile {
 public:
  // Fails with the system's error code in error(); the file then does not exist.
  explicit PartFile(const std::string& target);
  ~PartFile();
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  bool ok() const { return file_ != nullptr; }
  DWORD error() const { return error_; }
  // Appends all bytes; false with error() set when the disk refuses.
  bool Write(const char* data, DWORD size);
  // Puts the complete file at target. replace: a file already there is replaced and its
  // attributes (read-only, hidden, system) carry over to the new one; otherwise a file that
  // appeared meanwhile is not ours to replace and ERROR_FILE_EXISTS comes back.
  DWORD Commit(const std::string& target, bool replace);

 private:
  FileHandle file_;
  std::wstring path_;
  DWORD error_ = 0;
};

}  // namespace zepr::transfer
