#include "app/update_run.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "config/ini_file.h"
#include "core/connection_text.h"
#include "core/errors.h"
#include "core/path_text.h"
#include "core/run_log.h"
#include "core/text.h"
#include "core/wait.h"
#include "install/install_journal.h"
#include "platform/files.h"
#include "trust/trust.h"

namespace zepr {
namespace fs = std::filesystem;

namespace {

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(PathFromUtf8(path), ec);
}

// A copy that overwrites; failures are not reported, the existence test that follows is.
void CopyOver(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::copy_file(PathFromUtf8(from), PathFromUtf8(to), fs::copy_options::overwrite_existing, ec);
}

void DeleteFile(const std::string& path) {
  std::error_code ec;
  fs::remove(PathFromUtf8(path), ec);
}

// A signature file is read no further than the longest valid one could go: a longer one is not
// copied, and counts as missing.
void CopySignatureFile(const std::string& from, const std::string& to) {
  std::error_code error;
  const platform::File in = platform::File::OpenForReading(from, error);
  std::string bytes;
  if (!in || in.ReadAll(bytes, trust::kMaxSignatureFileBytes + 1) ||
      bytes.size() > trust::kMaxSignatureFileBytes) {
    return;
  }
  platform::File out = platform::File::CreateNew(to, error);
  if (out && (out.WriteAt(bytes, 0) || out.Close())) platform::RemoveFile(to);
}

constexpr const char* kBadSiteUrl = "Krivi parametri za lokaciju na internetu!";
constexpr const char* kError = "Greška!";

// Where old files wait that could not be put back.
std::string KeptIn(const std::string& folder) {
  return folder.empty() ? "" : "\rSačuvane datoteke: " + folder;
}

}  // namespace

UpdateRun::UpdateRun(RunParams& run, MainWindow& window, RunServices services)
    : run_(run), window_(window), services_(services) {}

void UpdateRun::Timer1Timer() { Update(); }

void UpdateRun::Update() {
  if (run_.UpdateType >= 1 && run_.UpdateType <= 8 && KeysUnreadable()) return;
  switch (run_.UpdateType) {
    case 1:
      FtpRun();
      break;
    case 2:
      ShareRun();
      break;
    case 3:
      InternetRun();
      break;
    case 4:
      StageAndScript();
      break;
    case 5:
      StageSpecial();
      break;
    case 6:
      StageAndInstall();
      break;
    case 7:
      services_.database.UpdateDatabaseGroup();
      break;
    case 8:
      InstallPresent();
      break;
    default:
      // The window stays as it is until the operator closes it.
      break;
  }
}

void UpdateRun::Wait(int ms) { WaitPumpingMessages(window_, ms); }

// ---- shared steps ---------------------------------------------------------------------------

void UpdateRun::UndoInterruptedInstall(const std::function<RecoveryResult()>& recover) {
  window_.SetLabel1("Vraćam prijašnje datoteke prekinute instalacije");
  window_.ProcessMessages();
  const RecoveryResult result = recover();
  if (!result.found) return;
  if (result.complete) {
    window_.SetLabel1("Prekinuta instalacija je poništena, vraćene su prijašnje datoteke.");
    return;
  }
  run_.Fail(ExitStatus::kInstallFailed);
  const std::string text = "Prekinuta instalacija nije poništena do kraja.";
  window_.SetLabel1(text);
  window_.ShowPoruka(kError, text + KeptIn(result.kept_in) + "\rUzrok: " + result.reason);
}

bool UpdateRun::KeysUnreadable() {
  const std::string error = services_.signatures.KeyError();
  if (error.empty()) return false;
  run_.Fail(ExitStatus::kSignatureRefused);
  const std::string text = "Potpisi se ne mogu provjeriti.\rUzrok: " + error;
  window_.SetLabel1(text);
  window_.ShowPoruka(kError, text);
  window_.RequestEnd();
  return true;
}

void UpdateRun::FetchSignature(const std::string& url, const std::string& target,
                               const std::string& display_name) {
  if (!services_.signatures.Required()) return;
  // A signature left from an earlier file must not stand for this one.
  DeleteFile(target + ".minisig");
  services_.http.HttpDownloadFile(url + ".minisig", target + ".minisig", display_name + ".minisig",
                                  trust::kMaxSignatureFileBytes);
}

void UpdateRun::CopySignature(const std::string& from, const std::string& to) {
  if (!services_.signatures.Required()) return;
  DeleteFile(to + ".minisig");
  CopySignatureFile(from + ".minisig", to + ".minisig");
}

bool UpdateRun::SignatureAccepted(const std::string& path, const std::string& published_name) {
  if (!services_.signatures.Required()) return true;
  window_.SetLabel1("Provjeravam potpis > " + published_name);
  window_.ProcessMessages();
  const std::string refusal = services_.signatures.Refusal(path, published_name);
  if (refusal.empty()) {
    refusals_.erase(path);
    runlog::Write("potpis prihvaćen: " + path);
    return true;
  }
  run_.Fail(ExitStatus::kSignatureRefused);
  DeleteFile(path);
  DeleteFile(path + ".minisig");
  const std::string text = "Potpis nije prihvaćen: " + published_name + "\rUzrok: " + refusal;
  refusals_[path] = text;
  window_.SetLabel1(text);
  // No dialog: nobody may be there to answer it. The pause lets an operator read the line.
  Wait(2000);
  return false;
}

std::string UpdateRun::RefusalOr(const std::string& path, const std::string& message) const {
  const auto refused = refusals_.find(path);
  return refused == refusals_.end() ? message : refused->second;
}

void UpdateRun::CheckStaged(const std::string& main_archive, const std::string& spec_archive) {
  if (Exists(main_archive)) SignatureAccepted(main_archive, "Update.zip");
  if (Exists(spec_archive)) SignatureAccepted(spec_archive, "UpdateSpec.zip");
}

void UpdateRun::PrepareUpdateFolder() {
  // Old files that an install could not put back stay, with the journal that places them.
  const std::string folder = run_.ExeFolder + "Update";
  std::vector<platform::FolderEntry> entries;
  const bool kept = !platform::ListFolder(folder, entries) &&
                    std::any_of(entries.begin(), entries.end(), [](const auto& entry) {
                      return entry.name == InstallJournal::kJournalName ||
                             entry.name == InstallJournal::kBackupName;
                    });
  if (kept) {
    for (const auto& entry : entries) {
      if (entry.name != InstallJournal::kJournalName && entry.name != InstallJournal::kBackupName) {
        platform::RemoveTree(folder + "/" + entry.name);
      }
    }
  } else {
    platform::RemoveTree(folder);
  }
  std::error_code ec;
  fs::create_directories(PathFromUtf8(UpdateFolder()), ec);
}

UpdateRun::Installed UpdateRun::InstallArchives(int dstep, int istep, std::optional<int> fstep) {
  window_.SetLabel1("Dekompresiram > UPDATE.zip");
  Step(dstep);
  window_.ProcessMessages();
  if (!SignatureAccepted(MainArchive(), "Update.zip")) {
    Mark(dstep, 2);
    return Installed::kDamaged;
  }
  const UnzipResult unpacked =
      services_.installation.Unzip(MainArchive(), UpdateFolder() + "Update/");
  if (unpacked.outcome == UnzipResult::Outcome::kWriteFailed) {
    ReportUnpackFailure(unpacked, dstep);
    return Installed::kFailed;
  }
  if (!unpacked) {
    // The status line names the archive; the caller takes the path of a missing one.
    run_.Fail(ExitStatus::kArchiveDamaged);
    Mark(dstep, 2);
    return Installed::kDamaged;
  }
  window_.ProcessMessages();
  Step(istep);
  window_.SetLabel1("Instaliram > UPDATE.zip");
  window_.ProcessMessages();
  if (!Install({"Update.zip"}, istep)) return Installed::kFailed;
  services_.signatures.RecordInstalled(MainArchive());
  window_.ProcessMessages();
  // A refused special archive is skipped like a damaged one.
  if (Exists(SpecArchive()) && SignatureAccepted(SpecArchive(), "UpdateSpec.zip")) {
    window_.SetLabel1("Dekompresiram > UpdateSpec.zip");
    window_.ProcessMessages();
    const UnzipResult special =
        services_.installation.Unzip(SpecArchive(), UpdateFolder() + "UpdateSpec/");
    if (special) {
      window_.ProcessMessages();
      window_.SetLabel1("Instaliram > UpdateSpec.zip");
      window_.ProcessMessages();
      if (!Install({"UpdateSpec.zip"}, istep)) return Installed::kFailed;
      services_.signatures.RecordInstalled(SpecArchive());
    } else if (special.outcome == UnzipResult::Outcome::kWriteFailed) {
      ReportUnpackFailure(special, dstep);
      return Installed::kFailed;
    } else {
      run_.Fail(ExitStatus::kArchiveDamaged);
    }
    window_.ProcessMessages();
  }
  if (fstep) Step(*fstep);
  return Installed::kAll;
}

bool UpdateRun::Install(const std::vector<std::string>& names, int step) {
  const InstallResult result = services_.installation.InstallDato(names);
  if (result.ok) return true;
  run_.Fail(ExitStatus::kInstallFailed);
  Mark(step, 2);
  const std::string outcome =
      result.kept_in.empty() ? "Instalacija nije uspjela, vraćene su prijašnje datoteke."
                             : "Instalacija nije uspjela, prijašnje datoteke nisu sve vraćene.";
  window_.ShowPoruka(kError, outcome + KeptIn(result.kept_in) + "\rDatoteka: " + result.file +
                                 "\rUzrok: " + result.reason);
  return false;
}

void UpdateRun::ReportUnpackFailure(const UnzipResult& result, int step) {
  run_.Fail(ExitStatus::kInstallFailed);
  Mark(step, 2);
  window_.ShowPoruka(kError, "Dekompresiranje nije uspjelo, ništa nije instalirano.\rDatoteka: " +
                                 result.file + "\rUzrok: " + result.reason);
}

void UpdateRun::ShowErrorLog() {
  if (window_.Checked(3) && Exists(ErrorLog())) window_.OpenErrorLog(ErrorLog());
}

void UpdateRun::ShowCompletion() { window_.ShowCompletion(); }

void UpdateRun::StartApplication(const std::string& arguments) {
  if (run_.AppExeName.empty()) return;
  const std::string exe = run_.AppExeName + ".exe";
  if (services_.programs.IsProgramRunning(exe) ||
      services_.programs.IsProgramRunning(exe + " *32")) {
    return;
  }
  // A comma stands for a blank; the application reads the line as a Windows program does, so
  // quotes keep a value with blanks together.
  std::vector<std::string> argv{run_.ExeFolder + exe};
  for (auto& arg : SplitCommandLine(ReplaceAll(arguments, ",", " "))) argv.push_back(arg);
  StartAndReport(argv);
}

void UpdateRun::StartAndReport(const std::vector<std::string>& argv) {
  const platform::StartResult started = services_.programs.StartProgram(argv, false, false);
  std::string command;
  for (const auto& arg : argv) command += " \"" + ConnectionTextForLog(arg) + "\"";
  runlog::Write("pokrećem" + command + (started ? "" : ": " + started.error));
  if (started) return;
  run_.Fail(ExitStatus::kProgramNotStarted);
  window_.SetLabel1("Ne mogu pokrenuti program: " + argv.at(0) + "\rUzrok: " + started.error);
  // No dialog: nobody may be there to answer it. The pause lets an operator read the line.
  Wait(3000);
}

void UpdateRun::RelaunchUpdater(const std::vector<std::string>& tail) {
  std::vector<std::string> argv{run_.ExeFolder + "ZEPRUpdate.exe", run_.AppTitle, run_.AppSection,
                                run_.AppExeName, run_.ClientFolder};
  argv.insert(argv.end(), tail.begin(), tail.end());
  StartAndReport(argv);
  window_.RequestEnd();
}

void UpdateRun::ReportDownloadFailure(const std::string& message, const std::string& address) {
  run_.Fail(ExitStatus::kDownloadFailed);
  window_.ShowPoruka(kError, message);
  if (run_.UpdateType >= 4 && run_.UpdateType <= 6) Mark(0, 2);
  if (window_.ManualMode()) {
    window_.ShowFailedUrl(address);
    return;
  }
  window_.RequestEnd();
}

bool UpdateRun::SiteUrlMissing() {
  if (!run_.SiteUrl.empty()) return false;
  run_.Fail(ExitStatus::kFailed);
  window_.ShowPoruka(kError, kBadSiteUrl);
  return true;
}

bool UpdateRun::DownloadArchives(const std::string& main_target, const std::string& spec_target) {
  auto& http = services_.http;
  window_.SetLabel1("Skidam > Update.zip");
  std::string main_site = run_.SiteUrl;
  bool main_ok = http.HttpDownloadFile(main_site + "UPDATE.ZIP", main_target, "Update.zip");
  if (!main_ok) {
    main_site = run_.CommonSiteUrl;
    main_ok = http.HttpDownloadFile(main_site + "UPDATE.ZIP", main_target, "Update.zip (_SVI)");
  }
  // The signature comes from where the archive came from.
  if (main_ok) FetchSignature(main_site + "UPDATE.ZIP", main_target, "Update.zip");
  window_.ProcessMessages();
  window_.SetLabel1("Skidam > UpdateSpec.zip");
  if (main_ok &&
      http.HttpDownloadFile(run_.SiteUrl + "UpdateSpec.ZIP", spec_target, "UpdateSpec.zip")) {
    FetchSignature(run_.SiteUrl + "UpdateSpec.ZIP", spec_target, "UpdateSpec.zip");
  }
  window_.ProcessMessages();
  return main_ok;
}

// ---- installation runs -------------------------------------------------------------------------

// The first two steps of the share and internet runs: connect, then an empty working folder.
void UpdateRun::BeginWithEmptyUpdateFolder() {
  Step(0);
  window_.ProcessMessages();
  window_.ProcessMessages();
  PrepareUpdateFolder();
  window_.ProcessMessages();
  Step(1);
}

void UpdateRun::ShareRun() {
  BeginWithEmptyUpdateFolder();
  auto copy_pass = [&] {
    window_.SetLabel1("Kopiram > Update.zip");
    CopyOver(run_.ShareFolder + "Update.zip", MainArchive());
    CopySignature(run_.ShareFolder + "Update.zip", MainArchive());
    window_.ProcessMessages();
    window_.SetLabel1("Kopiram > UpdateSpec.zip");
    CopyOver(run_.ShareFolder + "UpdateSpec.zip", SpecArchive());
    CopySignature(run_.ShareFolder + "UpdateSpec.zip", SpecArchive());
    window_.ProcessMessages();
  };
  copy_pass();
  if (!Exists(MainArchive())) {
    std::string share = run_.ShareFolder;
    if (!share.empty() && share.back() == '/') share.pop_back();
    services_.share.ConnectShare(share);
    copy_pass();
  }
  // A damaged archive takes the path of a missing one: the internet may have a whole one.
  const auto installed = Exists(MainArchive()) ? InstallArchives(2, 3, 4) : Installed::kDamaged;
  if (installed == Installed::kAll) {
    window_.ProcessMessages();
    ShowCompletion();
    if (!run_.ConnectionText.empty() && services_.database.VersionGateDemandsNewer()) {
      RelaunchUpdater({"6", run_.ShareFolder});
      return;
    }
    StartApplication(run_.AppArguments);
    window_.RequestEnd();
    return;
  }
  if (installed == Installed::kFailed) {
    window_.RequestEnd();
    return;
  }
  run_.Fail(ExitStatus::kDownloadFailed);
  window_.SetLabel1("Neuspješno kopiranje sa share foldera: \r" + run_.ShareFolder);
  Wait(4000);
  if (run_.ClientFolder != "_SVI") RelaunchUpdater({"3"});
  window_.RequestEnd();
}

void UpdateRun::InternetRun() {
  if (SiteUrlMissing()) return;
  BeginWithEmptyUpdateFolder();
  DownloadArchives(MainArchive(), SpecArchive());
  const auto installed = Exists(MainArchive()) ? InstallArchives(2, 3, 4) : Installed::kDamaged;
  if (installed == Installed::kAll) {
    window_.ProcessMessages();
    services_.database.RunSqlScripts();
    ShowErrorLog();
    ShowCompletion();
    StartApplication("");
    window_.RequestEnd();
    return;
  }
  if (installed == Installed::kFailed) {
    window_.RequestEnd();
    return;
  }
  const std::string address = MaskedUrl(run_.SiteUrl + "UPDATE.ZIP");
  ReportDownloadFailure(
      RefusalOr(MainArchive(), "Neuspješno skidanje ZIP datoteka sa internet lokacije: " + address),
      address);
}

void UpdateRun::InstallPresent() {
  window_.ProcessMessages();
  const auto installed =
      Exists(MainArchive()) ? InstallArchives(1, 2, std::nullopt) : Installed::kDamaged;
  if (installed == Installed::kAll) {
    window_.ProcessMessages();
    services_.database.RunSqlScripts();
    ShowErrorLog();
    ShowCompletion();
    if (run_.ChildRun == "0") StartApplication("");
    window_.RequestEnd();
    return;
  }
  if (installed == Installed::kFailed) {
    window_.RequestEnd();
    return;
  }
  run_.Fail(ExitStatus::kDownloadFailed);
  window_.ShowPoruka(
      kError, RefusalOr(MainArchive(),
                        "Neuspješno raspakiravanje ZIP datoteka sa foldera \"Update\\\"\rPored "
                        "aplikacije u folderu \"Update\" mora postojati datoteka \"UPDATE.ZIP\" sa "
                        "update-om"));
  window_.RequestEnd();
}

// ---- staging runs ------------------------------------------------------------------------------

void UpdateRun::StageAndScript() {
  if (SiteUrlMissing()) return;
  window_.ProcessMessages();
  if (run_.ScriptMode == "SU") {
    window_.SetChecked(3, false);
    window_.SetChecked(1, true);
  } else if (run_.ScriptMode == "U") {
    window_.SetChecked(1, true);
  }
  Mark(0, 0);
  window_.ProcessMessages();
  DeleteFile(run_.ShareFolder + "Update.zip");
  DeleteFile(run_.ShareFolder + "UpdateSpec.zip");
  DownloadArchives(run_.ShareFolder + "Update.zip", run_.ShareFolder + "UpdateSpec.zip");
  CheckStaged(run_.ShareFolder + "Update.zip", run_.ShareFolder + "UpdateSpec.zip");
  if (!Exists(run_.ShareFolder + "Update.zip")) {
    const std::string address = MaskedUrl(run_.SiteUrl + "UPDATE.ZIP");
    ReportDownloadFailure(
        RefusalOr(run_.ShareFolder + "Update.zip",
                  "Neuspješno skidanje datoteka sa internet lokacije: " + address),
        address);
    return;
  }
  Mark(0, 1);
  Mark(1, 0);
  const std::string script = run_.ExeFolder + run_.ScriptFileName;
  std::string source = run_.SiteUrl;
  bool fetched =
      services_.http.HttpDownloadFile(source + run_.ScriptFileName, script, run_.ScriptFileName);
  if (!fetched) {
    source = run_.CommonSiteUrl;
    fetched = services_.http.HttpDownloadFile(source + run_.ScriptFileName, script,
                                              run_.ScriptFileName + " (_SVI)");
  }
  if (fetched) FetchSignature(source + run_.ScriptFileName, script, run_.ScriptFileName);
  if (!fetched || !SignatureAccepted(script, run_.ScriptFileName)) {
    run_.Fail(ExitStatus::kDownloadFailed);
    Mark(1, 2);
    return;
  }
  Mark(1, 1);
  window_.SetLabel1("Skinuo sam datoteku \r" + MaskedUrl(source + run_.ScriptFileName));
  Mark(2, 0);
  if (window_.Checked(3)) {
    if (!services_.database.OpenScriptInTool()) {
      run_.Fail(ExitStatus::kDatabaseUnreachable);
      return;
    }
    services_.signatures.RecordInstalled(script);
  }
  Mark(2, 1);
  if (window_.Checked(2)) {
    DeleteFile(script);
    DeleteFile(script + ".minisig");
  }
  Step(3);
  window_.ProcessMessages();
  ShowCompletion();
  Wait(2000);
  if (window_.Checked(1)) RelaunchUpdater({"2", run_.ShareFolder});
  window_.RequestEnd();
}

void UpdateRun::StageSpecial() {
  if (SiteUrlMissing()) return;
  window_.ProcessMessages();
  Mark(0, 0);
  window_.ProcessMessages();
  const std::string target = run_.ShareFolder + "UpdateSpec.zip";
  DeleteFile(target);
  window_.SetLabel1("Skidam > UpdateSpec.zip");
  window_.ProcessMessages();
  if (services_.http.HttpDownloadFile(run_.SiteUrl + "UpdateSpec.ZIP", target, "UpdateSpec.zip")) {
    FetchSignature(run_.SiteUrl + "UpdateSpec.ZIP", target, "UpdateSpec.zip");
  }
  window_.ProcessMessages();
  if (Exists(target)) SignatureAccepted(target, "UpdateSpec.zip");
  if (Exists(target)) {
    Mark(0, 1);
    window_.ProcessMessages();
    ShowCompletion();
    Wait(2000);
    if (window_.Checked(1)) RelaunchUpdater({"2", run_.ShareFolder});
    window_.RequestEnd();
    return;
  }
  const std::string address = MaskedUrl(run_.SiteUrl + "UpdateSpec.ZIP");
  ReportDownloadFailure(
      RefusalOr(target, "Neuspješno skidanje datoteka sa internet lokacije: " + address), address);
}

void UpdateRun::StageAndInstall() {
  if (SiteUrlMissing()) return;
  window_.ProcessMessages();
  Mark(0, 0);
  window_.ProcessMessages();
  const std::string share_main = run_.ShareFolder + "Update.zip";
  const std::string share_spec = run_.ShareFolder + "UpdateSpec.zip";
  if (!run_.ShareFolder.empty()) {
    DeleteFile(share_main);
    DeleteFile(share_spec);
    DownloadArchives(share_main, share_spec);
    CheckStaged(share_main, share_spec);
    Mark(0, 1);
  } else {
    window_.SetLabel1("Preskačem skidanje > Update.zip");
    window_.ProcessMessages();
    window_.SetLabel1("Preskačem skidanje > UpdateSpec.zip");
    window_.ProcessMessages();
  }

  if (run_.ShareFolder.empty()) {
    window_.SetLabel1("Preskačem dekompresiranje > UPDATE.zip");
    window_.ProcessMessages();
    window_.SetLabel1("Preskačem instaliranje > UPDATE.zip");
    window_.ProcessMessages();
    services_.database.RunSqlScripts();
    ShowErrorLog();
    window_.ProcessMessages();
    ShowCompletion();
    Wait(200);
    window_.RequestEnd();
    return;
  }

  if (!Exists(share_main)) {
    const std::string address = MaskedUrl(run_.SiteUrl + "UPDATE.ZIP");
    ReportDownloadFailure(
        RefusalOr(share_main, "Neuspješno skidanje datoteka sa internet lokacije: " + address),
        address);
    return;
  }
  Mark(1, 0);
  PrepareUpdateFolder();
  CopyOver(share_main, MainArchive());
  CopySignature(share_main, MainArchive());
  if (Exists(share_spec)) {
    CopyOver(share_spec, SpecArchive());
    CopySignature(share_spec, SpecArchive());
  }
  Mark(1, 1);
  const auto installed = Exists(MainArchive()) ? InstallArchives(2, 3, 4) : Installed::kDamaged;
  if (installed == Installed::kFailed) {
    window_.RequestEnd();
    return;
  }
  if (installed == Installed::kDamaged) {
    run_.Fail(ExitStatus::kDownloadFailed);
    window_.ShowPoruka(
        kError, RefusalOr(MainArchive(),
                          "Neuspješno skidanje ZIP datoteka sa servera: " + run_.ShareFolder));
    window_.RequestEnd();
    return;
  }
  window_.ProcessMessages();
  services_.database.RunSqlScripts();
  ShowErrorLog();
  window_.ProcessMessages();
  ShowCompletion();
  Wait(2000);
  if (!run_.AppExeName.empty() && run_.LastRun == "1") {
    StartAndReport({run_.ExeFolder + run_.AppExeName + ".exe"});
  }
  window_.RequestEnd();
}

// ---- FTP run
// -------------------------------------------------------------------------------------

void UpdateRun::FtpRun() {
  Step(0);
  window_.ProcessMessages();
  auto& ftp = services_.ftp;
  std::string failure = "Ne mogu se spojiti sa ftp serverom!";
  try {
    if (ftp.ConnectServer()) {
      Step(1);
      if (ftp.IsConnected()) {
        window_.ProcessMessages();
        // Without a list name the list path would be the working folder itself.
        if (ftp.ListFileName().empty()) throw UpdateError("No file name given.");
        std::error_code ec;
        if (!fs::is_directory(PathFromUtf8(UpdateFolder()), ec)) PrepareUpdateFolder();
        const std::string list = UpdateFolder() + ftp.ListFileName();
        DeleteFile(list);
        ftp.Retrieve(ftp.ListFileName(), list);
        if (Exists(list)) {
          Step(2);
          window_.ProcessMessages();
          DownloadFiles();
          ShowErrorLog();
          Step(3);
          window_.ProcessMessages();
        }
      }
      Step(0);
      window_.SetLabel1("");
      ftp.Close();
      return;
    }
  } catch (const std::exception& e) {
    failure += "\rUzrok: " + std::string(e.what());
    ftp.Close();
  }
  run_.Fail(ExitStatus::kDownloadFailed);
  window_.SetLabel1(failure);
  Wait(2000);
  if (run_.ClientFolder != "_SVI") RelaunchUpdater({"3"});
  window_.RequestEnd();
}

void UpdateRun::DownloadFiles() {
  auto& ftp = services_.ftp;
  const auto names = IniSekcijaLista("UPDATE", UpdateFolder() + ftp.ListFileName());
  const std::string total = std::to_string(names.size());
  // What is installed: the archives that arrived whole. A name that would leave the working
  // folder is passed over like an empty one, here as in the download.
  std::vector<std::string> installable;
  if (ftp.IsConnected()) {
    for (size_t i = 1; i <= names.size(); ++i) {
      const std::string& name = names[i - 1];
      const std::string counter = "(" + total + "/" + std::to_string(i) + ") = " + name;
      window_.SetLabel1("Download > " + counter);
      const std::string local = UpdateFolder() + ReplaceAll(name, "\\", "/");
      std::error_code ec;
      if (!NameLeavesFolder(name) && fs::is_regular_file(PathFromUtf8(local), ec))
        DeleteFile(local);
      // A name that would leave the working folder is passed over like an empty one.
      if (name.empty() || NameLeavesFolder(name)) continue;
      window_.SetProgressMax(ftp.Size(name));
      ftp.Retrieve(name, local);
      if (!Exists(local)) continue;
      if (services_.signatures.Required()) {
        DeleteFile(local + ".minisig");
        try {
          ftp.Retrieve(name + ".minisig", local + ".minisig", trust::kMaxSignatureFileBytes);
        } catch (const UpdateError&) {
          // A missing signature is refused with its reason below.
        }
      }
      if (!SignatureAccepted(local, name.substr(name.find_last_of("/\\") + 1))) continue;
      window_.SetLabel1("Dekompresiram > " + counter);
      window_.ProcessMessages();
      const std::string folder = UpdateFolder() + ReplaceAll(UnpackFolderName(name), "\\", "/");
      fs::create_directories(PathFromUtf8(folder), ec);
      const UnzipResult unpacked = services_.installation.Unzip(local, folder);
      if (unpacked) {
        installable.push_back(name);
      } else if (unpacked.outcome == UnzipResult::Outcome::kWriteFailed) {
        // Nothing is installed, not even the archives that unpacked before.
        ReportUnpackFailure(unpacked, 2);
        window_.RequestEnd();
        return;
      } else {
        run_.Fail(ExitStatus::kArchiveDamaged);
      }
    }
  }
  if (names.empty()) return;
  // Nothing whole arrived: the application stays as it is, and running.
  if (installable.empty()) {
    window_.RequestEnd();
    return;
  }
  if (!Install(installable, 2)) {
    window_.RequestEnd();
    return;
  }
  for (const auto& name : installable) {
    services_.signatures.RecordInstalled(UpdateFolder() + ReplaceAll(name, "\\", "/"));
  }
  Step(4);
  window_.ProcessMessages();
  window_.clock().Sleep(1500);
  services_.database.RunSqlScripts();
  ShowCompletion();
  Wait(2000);
  if (!run_.AppExeName.empty()) StartAndReport({run_.ExeFolder + run_.AppExeName + ".exe"});
  window_.RequestEnd();
}

}  // namespace zepr
