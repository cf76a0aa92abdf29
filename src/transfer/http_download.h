#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "core/main_window.h"

namespace zepr {

// No limit to the length of a file fetched.
inline constexpr uint64_t kAnyLength = std::numeric_limits<uint64_t>::max();

// Fetches one URL of the download endpoint into one local file. The run sees only this, so
// it can be tested with a fake.
class HttpClient {
 public:
  virtual ~HttpClient() = default;
  // True when status 200 (or 206 for the rest of a file begun earlier) came with the whole
  // body and the file is in place under local_path. Any other answer to the request returns
  // false without a word; a transfer cut or stalled is asked for again a few times first.
  // display_name is only shown, never used as a path. A local file that cannot be written
  // raises UpdateError. A file longer than size_limit is refused as quietly, as soon as its
  // length is announced or its body passes the limit, and nothing of it is kept.
  virtual bool HttpDownloadFile(const std::string& url, const std::string& local_path,
                                const std::string& display_name,
                                uint64_t size_limit = kAnyLength) = 0;
};

struct HttpOptions {
  long connect_timeout_ms = 60'000;
  // A transfer that delivers no byte for this long fails, so a dead server cannot hang an
  // unattended run.
  long stall_limit_s = 120;
  // The pause that leaves the final figures readable; benchmarks switch it off.
  bool pause_after_download = true;
  // Where a download that could not be finished keeps its bytes for the next run to continue;
  // "" keeps them only for the attempts of this run.
  std::string resume_folder;
  // For https URLs only; a plain http download never looks at them. Certificates and host
  // names are verified whatever they say.
  // A PEM file of a private certificate authority, trusted besides the system's; "" for none.
  std::string ca_file;
  // "sha256//BASE64[;sha256//BASE64]": the server's public key must be one of these (SHA-256 of
  // its DER SubjectPublicKeyInfo); "" for any key that the certificates vouch for.
  std::string pinned_keys;
};

// HTTP and HTTPS on the system's transfer library (chosen by the build: libcurl, WinINet), with
// the status text and progress bar on the main window. The system's proxy settings apply. An
// https URL never leads to http: a redirect there is refused, like a server that is not trusted
// (the reason is shown as the cause of the error).
class SystemHttpClient : public HttpClient {
 public:
  SystemHttpClient(MainWindow& window, HttpOptions options = {});

  bool HttpDownloadFile(const std::string& url, const std::string& local_path,
                        const std::string& display_name, uint64_t size_limit = kAnyLength) override;

 private:
  MainWindow& window_;
  HttpOptions options_;
};

// The folder beside the executable where downloads that could not be finished wait for the
// next run (exe_folder ends in a separator): out of reach of the emptying of Update/.
std::string ResumeFolder(const std::string& exe_folder);

// "skidam datoteku NAME: Wk/Ek..." with bytes shown as kilobytes (1000), halves to even.
std::string DownloadStatusText(const std::string& display_name, uint64_t written,
                               uint64_t expected);
// Position 0..100 of the progress bar; 0 while the length is unknown.
int64_t DownloadPercent(uint64_t written, uint64_t expected);

}  // namespace zepr
