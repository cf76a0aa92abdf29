#include "app/services.h"

#include "platform/platform.h"

namespace zepr {
namespace {

class SystemShare : public ShareConnector {
 public:
  void ConnectShare(const std::string& folder) override { platform::ConnectShare(folder); }
};

// Stand-ins until the subsystems are wired in.
class PendingInstallation : public Installation {
 public:
  void Unzip(const std::string&, const std::string&) override {}
  void InstallDato(const std::vector<std::string>&) override {}
};

class PendingDatabase : public DatabaseWork {
 public:
  void RunSqlScripts() override {}
  bool VersionGateDemandsNewer() override { return false; }
  bool OpenScriptInTool() override { return true; }
  void UpdateDatabaseGroup() override {}
};

class PendingFtp : public FtpClient {
 public:
  bool ConnectServer() override { return false; }
  bool IsConnected() override { return false; }
  std::string ListFileName() override { return {}; }
  int64_t Size(const std::string&) override { return -1; }
  void Retrieve(const std::string&, const std::string&) override {}
  void Close() override {}
};

}  // namespace

struct SystemServices::Parts {
  Parts(RunParams& run, MainWindow& window)
      : processes(window.clock()), http(window, run.AppTitle) {}
  SystemProcesses processes;
  CurlHttpClient http;
  SystemShare share;
  PendingInstallation installation;
  PendingDatabase database;
  PendingFtp ftp;
};

SystemServices::SystemServices(RunParams& run, MainWindow& window)
    : parts_(std::make_unique<Parts>(run, window)) {}

SystemServices::~SystemServices() = default;

}  // namespace zepr

namespace zepr {

RunServices SystemServices::services() {
  return {parts_->processes, parts_->http, parts_->installation,
          parts_->database,  parts_->ftp,  parts_->share};
}

}  // namespace zepr
