#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/run_ports.h"
#include "core/main_window.h"
#include "core/run_params.h"
#include "install/install_recovery.h"

namespace zepr {

// The single pass of work after the window is up: dispatches on the update type and carries
// out that type's sequence. It never calls the OS or the toolkit directly: everything goes
// through the window and the services it is given.
class UpdateRun {
 public:
  UpdateRun(RunParams& run, MainWindow& window, RunServices services);

  // Timer1's handler: the timer is one-shot, so the run starts once.
  void Timer1Timer();
  void Update();

  // Before the run, when an install that a kill or a power loss interrupted left its journal:
  // recover undoes it, and the window says how that went.
  void UndoInterruptedInstall(const std::function<RecoveryResult()>& recover);

  // The steps the sequences share.
  void PrepareUpdateFolder();
  // kDamaged: the main archive could not be read whole, nothing was installed; a damaged
  // special archive is only skipped. kFailed: an install was rolled back and reported.
  enum class Installed { kAll, kDamaged, kFailed };
  Installed InstallArchives(int dstep, int istep, std::optional<int> fstep);
  void ShowErrorLog();
  void ShowCompletion();
  void StartApplication(const std::string& arguments);
  // Starts a program without waiting; says so when it cannot be started.
  void StartAndReport(const std::vector<std::string>& argv);
  // Starts ZEPRUpdate.exe with the five fixed fields and the given ones, then requests the end.
  void RelaunchUpdater(const std::vector<std::string>& tail);
  // Shows the failure; in manual mode the address goes to eURL and the window stays open,
  // otherwise the end is requested.
  void ReportDownloadFailure(const std::string& message, const std::string& address);

  // Working paths.
  std::string UpdateFolder() const { return run_.ExeFolder + "Update/"; }
  std::string MainArchive() const { return UpdateFolder() + "Update.zip"; }
  std::string SpecArchive() const { return UpdateFolder() + "UpdateSpec.zip"; }
  std::string ErrorLog() const { return run_.ExeFolder + "GreškeSQLUpdate.txt"; }

 private:
  void FtpRun();           // type 1
  void ShareRun();         // type 2
  void InternetRun();      // type 3
  void StageAndScript();   // type 4
  void StageSpecial();     // type 5
  void StageAndInstall();  // type 6
  void InstallPresent();   // type 8
  void DownloadFiles();

  void BeginWithEmptyUpdateFolder();
  // A configured key that cannot be read fails the run before it touches anything.
  bool KeysUnreadable();
  // With keys configured: the signature NAME.minisig of a file that came from url or from,
  // beside the file's target. A missing one is refused when the file is checked.
  void FetchSignature(const std::string& url, const std::string& target,
                      const std::string& display_name);
  void CopySignature(const std::string& from, const std::string& to);
  // A file that arrived whole, before anything uses it: true when no key is configured or its
  // signature is accepted. A refused file is removed with its signature, so every later step
  // takes it for missing and the fall-backs of a missing or damaged file follow.
  bool SignatureAccepted(const std::string& path, const std::string& published_name);
  // The final dialog's text for the file at path that is missing: its refusal, as the status
  // line said it, when its signature was refused; else message.
  std::string RefusalOr(const std::string& path, const std::string& message) const;
  // Staged archives are checked where they were put, so that no workstation copies a refused
  // one; each workstation checks its own copy again before it installs.
  void CheckStaged(const std::string& main_archive, const std::string& spec_archive);
  // The three internet types first check their URL prefix.
  bool SiteUrlMissing();
  // The main archive from the client's prefix, else from the common one; then the special
  // archive from the client's prefix when the main one came. True when the main one came.
  bool DownloadArchives(const std::string& main_target, const std::string& spec_target);
  void Wait(int ms);
  // Installs the unpacked archives; a failure (already rolled back) is reported in a dialog.
  bool Install(const std::vector<std::string>& names, int step);
  // An archive that could not be written out whole (a full disk): the unpack step fails, a
  // dialog names the file and the reason, and nothing of the archive is installed.
  void ReportUnpackFailure(const UnzipResult& result, int step);
  void Step(int step) { window_.UpdateProg(StepList::kJvInstallLabel1, step, 1); }
  void Mark(int line, int image) {
    window_.SetLineState(StepList::kJvInstallLabel1, line, image, false);
  }

  RunParams& run_;
  MainWindow& window_;
  RunServices services_;
  // The refused files of this run by path, each with the status line that named it.
  std::map<std::string, std::string> refusals_;
};

}  // namespace zepr
