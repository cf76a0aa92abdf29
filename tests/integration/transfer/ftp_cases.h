// The FTP retrieval cases every back end runs: libcurl (ftp_session_test) and WinINet under
// Wine (win32/wininet_transfer_test, its server started by windows_transfer_test). A back
// end's own cases stay in its test, beside these.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transfer/http_download.h"

namespace zepr::testing {

// The login of settings changed one way each; nobody listens on closed_port.
struct FailedLoginCase {
  std::string what;
  std::string user;
  std::string password;
  bool closed_port;
  std::string reason;  // a part of the dialog's text
};
// refused: the back end's own words for a connection nobody took.
std::vector<FailedLoginCase> FailedLoginCases(const std::string& user, const std::string& password,
                                              const std::string& refused);

// Update.zip and Cut.zip of 1'000'000 bytes are served, and the server breaks off Cut.zip
// after 200000; Existing.zip is already in the local folder.
inline const std::vector<std::string> kFailedRetrievalServer = {"--cut", "Cut.zip:200000"};
struct FailedRetrievalCase {
  std::string name;
  std::string local;
  std::string error;  // a part of the error raised
  uint64_t limit = kAnyLength;
};
// cut_error: the back end's own words for a transfer the server broke off.
std::vector<FailedRetrievalCase> FailedRetrievalCases(const std::string& cut_error);

// Each case retrieves its own file of 1'000'000 bytes, under the faults of ftp_server.py that
// server names; Nova.zip (1'100'000 bytes) is what a replaced file becomes.
struct CutRetrievalCase {
  std::string what;
  std::string name;
  std::vector<std::string> server;
  bool delivered;
  bool replaced;  // Nova.zip arrives
  std::vector<std::string> rests;
  uint64_t waited_ms;  // of pauses between the attempts
};
const std::vector<CutRetrievalCase>& CutRetrievalCases();

}  // namespace zepr::testing
