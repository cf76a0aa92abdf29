#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "install/install_script.h"
#include "install/processes.h"
#include "install/unzip.h"
#include "transfer/http_download.h"

namespace zepr {

// What the update run needs of the other subsystems, as interfaces: main gives the real
// ones, the run's unit tests give fakes.

// Unpacking and installing archives.
class Installation {
 public:
  virtual ~Installation() = default;
  // Fails when the archive is missing or damaged, or when a file of it could not be written
  // (the result names it and says why); the status line says which, and nothing of it was
  // unpacked.
  virtual UnzipResult Unzip(const std::string& archive, const std::string& target_folder) = 0;
  // Installs the unpacked archives of the given names ("Update.zip", "UpdateSpec.zip"), all
  // or nothing: on failure every file of the application folder is as it was.
  virtual InstallResult InstallDato(const std::vector<std::string>& archive_names) = 0;
};

// The database work of the run.
class DatabaseWork {
 public:
  virtual ~DatabaseWork() = default;
  virtual void RunSqlScripts() = 0;
  // Type 2 after installing: true when the database demands a newer version than the one
  // just unpacked (the gate has shown its text and waited; the run hands over to type 6).
  virtual bool VersionGateDemandsNewer() = 0;
  // Type 4: opens the fetched script in the server's management tool; false when the
  // database could not be reached (the window then stays open).
  virtual bool OpenScriptInTool() = 0;
  // Type 7: one child updater per working database of the group.
  virtual void UpdateDatabaseGroup() = 0;
};

// The FTP source of type 1: one session, one login for every file.
class FtpClient {
 public:
  virtual ~FtpClient() = default;
  // Reads the settings, connects, logs in and changes to the customer's folder. Shows its
  // own dialogs; false when there is no connection. A failed folder change raises.
  virtual bool ConnectServer() = 0;
  virtual bool IsConnected() = 0;
  // The download list's file name (key CFG of the settings).
  virtual std::string ListFileName() = 0;
  virtual int64_t Size(const std::string& name) = 0;
  // Raises UpdateError on failure (also for a file longer than size_limit, which is not read
  // further); the local file must not exist yet.
  virtual void Retrieve(const std::string& name, const std::string& local_path,
                        uint64_t size_limit = kAnyLength) = 0;
  virtual void Close() = 0;
};

// Connecting the network share of type 2, letting the system ask for credentials.
class ShareConnector {
 public:
  virtual ~ShareConnector() = default;
  virtual void ConnectShare(const std::string& folder_without_separator) = 0;
};

// The signatures of the files a run uses. With no key configured nothing is fetched or
// checked, and every file is used as it arrives.
class Signatures {
 public:
  virtual ~Signatures() = default;
  // Some key is configured (or one that cannot be read): every file needs NAME.minisig.
  virtual bool Required() = 0;
  // Why a configured key cannot be read; "" when every one can.
  virtual std::string KeyError() = 0;
  // The file at path, published as name, against path + ".minisig": "" when it may be used,
  // else why not.
  virtual std::string Refusal(const std::string& path, const std::string& published_name) = 0;
  // After a completed install of the file accepted at path: an older signed one is refused
  // from now on.
  virtual void RecordInstalled(const std::string& path) = 0;
};

struct RunServices {
  Processes& programs;
  HttpClient& http;
  Installation& installation;
  DatabaseWork& database;
  FtpClient& ftp;
  ShareConnector& share;
  Signatures& signatures;
};

}  // namespace zepr
