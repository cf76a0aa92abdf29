#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/main_window.h"
#include "transfer/http_download.h"

namespace zepr {

// Where and how to log in. Texts are UTF-8; user, password, folder and file names go to the
// server as CP1250 bytes, as the servers of the system have always received them.
struct FtpSettings {
  std::string host;
  int port = 0;  // 21 unless above 0
  bool passive = false;
  std::string user;
  std::string password;
  // Changed to right after the login when not empty; relative to the login folder unless it
  // starts with "/".
  std::string remote_folder;
};

// One FTP session of a run on one connection of the system's transfer library (chosen by the
// build): one login serves the download list and every archive. The window is kept alive
// while the network is waited for, and transfers drive its statistics.
class FtpSession {
 public:
  static constexpr int kDefaultPort = 21;
  static constexpr long kConnectTimeoutMs = 120'000;

  explicit FtpSession(MainWindow& window);
  ~FtpSession();
  FtpSession(const FtpSession&) = delete;
  FtpSession& operator=(const FtpSession&) = delete;

  // Connects, logs in and changes to settings.remote_folder. A failed connection or login
  // shows "Greška! Uzrok greške:" with the server's reply or the connection error and
  // returns false; a failed folder change raises UpdateError with the server's reply.
  bool Connect(const FtpSettings& settings);
  // Raises UpdateError with the server's reply when the folder cannot be entered.
  void ChangeDir(const std::string& folder);
  // Size of a file in the current folder; -1 when the server does not tell.
  int64_t Size(const std::string& name);
  // Binary retrieval into local_path, which must not exist yet. The file appears only when
  // complete. RETR goes out without a size query first, so servers that refuse SIZE still
  // serve files. A transfer cut or stalled after some bytes is continued (REST) a few times
  // while the file's size and modification time, asked for by Size before, stay the same.
  // Raises UpdateError with the server's reply (or the transfer error) on failure, and at once,
  // without another attempt, for a file longer than size_limit (announced so, or when the data
  // passes it).
  void Retrieve(const std::string& name, const std::string& local_path,
                uint64_t size_limit = kAnyLength);
  // Logged in and not closed. A control connection that the server dropped is opened and
  // logged in again by the next operation.
  bool IsConnected() const;
  // Says goodbye to the server and closes the connection, waiting only a moment for the
  // server's answer.
  void Close();

  // A wait that sees no byte for this long fails (replies, data, the server's connection in
  // active mode), so a dead server cannot hang an unattended run.
  void SetStallLimitMs(long ms) { stall_limit_ms_ = ms; }
  long StallLimitMs() const { return stall_limit_ms_; }
  // Where a retrieval that could not be finished keeps its bytes for the next run; "" keeps
  // them only for the attempts of this one.
  void SetResumeFolder(std::string folder) { resume_folder_ = std::move(folder); }

 private:
  // The back end's connection and state.
  struct Impl;

  long stall_limit_ms_ = 120'000;
  std::string resume_folder_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zepr
