#include "app/services.h"

#include "app/app_view.h"
#include "app/signed_files.h"
#include "config/settings.h"
#include "core/text.h"
#include "dbupdate/sql_script_runner.h"
#include "dbupdate/sql_session.h"
#include "dbupdate/working_database.h"
#include "install/file_version.h"
#include "install/install_script.h"
#include "install/unzip.h"
#include "platform/platform.h"
#include "transfer/ftp_session.h"

namespace zepr {
namespace {

class SystemShare : public ShareConnector {
 public:
  void ConnectShare(const std::string& folder) override { platform::ConnectShare(folder); }
};

class ArchiveInstallation : public Installation {
 public:
  ArchiveInstallation(RunParams& run, MainWindow& window, Processes& processes)
      : run_(run), window_(window), processes_(processes) {}
  UnzipResult Unzip(const std::string& archive, const std::string& folder) override {
    return zepr::Unzip(archive, folder, &window_);
  }
  InstallResult InstallDato(const std::vector<std::string>& names) override {
    return zepr::InstallDato(names, run_.ExeFolder, run_.AppExeName, processes_);
  }

 private:
  RunParams& run_;
  MainWindow& window_;
  Processes& processes_;
};

class ServerDatabase : public DatabaseWork {
 public:
  ServerDatabase(RunParams& run, MainWindow& window, Processes& processes)
      : run_(run),
        window_(window),
        session_(SqlSessionOptions{.driver = SqlDriverSetting(run.ExeFolder)}),
        working_(window, run, session_, processes, FileVersionString) {}
  void RunSqlScripts() override { zepr::RunSqlScripts(window_, run_, session_, FileVersionString); }
  bool VersionGateDemandsNewer() override { return working_.VersionGateDemandsNewer(); }
  bool OpenScriptInTool() override { return working_.OpenScriptInTool(); }
  void UpdateDatabaseGroup() override { working_.UpdateDatabaseGroup(); }

 private:
  RunParams& run_;
  MainWindow& window_;
  SqlSession session_;
  WorkingDatabase working_;
};

// The FTP source configured from the program's section of UPDATE.INI.
class SettingsFtp : public FtpClient {
 public:
  SettingsFtp(RunParams& run, MainWindow& window) : run_(run), window_(window), session_(window) {
    session_.SetResumeFolder(ResumeFolder(run.ExeFolder));
  }

  bool ConnectServer() override {
    if (!UcitajIni(run_.ExeFolder, run_.AppSection, rConfig_)) {
      window_.ShowPoruka("Greška!", "Ne postoje podaci za spajanje na FTP (2)");
      return false;
    }
    FtpSettings settings;
    settings.host = rConfig_.Server;
    settings.port = rConfig_.Port;
    settings.passive = rConfig_.Passive;
    settings.user = rConfig_.Username;
    settings.password = rConfig_.Password;
    settings.remote_folder =
        rConfig_.StartDir + AsciiUpper(rConfig_.Korisnik) + "/" + run_.AppSection + "/";
    return session_.Connect(settings);
  }
  bool IsConnected() override { return session_.IsConnected(); }
  std::string ListFileName() override { return rConfig_.Cfg; }
  int64_t Size(const std::string& name) override { return session_.Size(name); }
  void Retrieve(const std::string& name, const std::string& local,
                uint64_t size_limit = kAnyLength) override {
    session_.Retrieve(name, local, size_limit);
  }
  void Close() override { session_.Close(); }

 private:
  RunParams& run_;
  MainWindow& window_;
  FtpSession session_;
  TConfig rConfig_;
};

// What the [HTTP] settings ask of https downloads, and where unfinished downloads wait.
HttpOptions HttpsOptions(const std::string& exe_folder) {
  const HttpSettings settings = ReadHttpSettings(exe_folder);
  HttpOptions options;
  options.ca_file = settings.ca_file;
  options.pinned_keys = settings.pin;
  options.resume_folder = ResumeFolder(exe_folder);
  return options;
}

}  // namespace

struct SystemServices::Parts {
  Parts(RunParams& run, MainWindow& window)
      : processes(window.clock()),
        http(window, HttpsOptions(run.ExeFolder)),
        installation(run, window, processes),
        database(run, window, processes),
        ftp(run, window),
        signatures(run, window.clock()) {}
  SystemProcesses processes;
  SystemHttpClient http;
  ArchiveInstallation installation;
  ServerDatabase database;
  SettingsFtp ftp;
  SystemShare share;
  SignedFiles signatures;
};

SystemServices::SystemServices(RunParams& run, MainWindow& window)
    : parts_(std::make_unique<Parts>(run, window)) {}

SystemServices::~SystemServices() = default;

RunServices SystemServices::services() {
  return {parts_->processes, parts_->http,  parts_->installation, parts_->database,
          parts_->ftp,       parts_->share, parts_->signatures};
}

}  // namespace zepr
