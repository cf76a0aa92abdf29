#include "app/form_create.h"

#include "core/text.h"

namespace zepr {

std::string ComposeDownloadUrl(const std::string& host, const std::string& folder,
                               const std::string& section) {
  // A host written with its scheme keeps it; a bare one is http, as it always was.
  std::string address = host;
  std::string scheme = "http://";
  for (const char* written : {"https://", "http://"}) {
    const std::string prefix = written;
    if (AsciiUpper(host.substr(0, prefix.size())) == AsciiUpper(prefix)) {
      scheme = prefix;
      address = host.substr(prefix.size());
      break;
    }
  }
  return scheme + address + "/download/_UPDATE/update.php?file=" + folder + "/" + section + "/";
}

namespace {

std::string Param(const std::vector<std::string>& params, size_t position) {
  return position <= params.size() ? params[position - 1] : std::string();
}

// "0" and "1" stay, anything else becomes "0".
std::string Normalised(const std::string& value) {
  return (value == "0" || value == "1") ? value : "0";
}

std::string WithTrailingSeparator(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

// CheckBox3 of the installing types: unchecked, and offered as "show errors" when there is
// a database to update.
void PrepareErrorLogBox(const RunParams& run, MainWindow& window) {
  CheckBoxState box = window.CheckBox(3);
  box.checked = false;
  if (!run.ConnectionText.empty()) {
    box.visible = true;
    box.caption = "prikaz grešaka (L)";
  }
  window.SetCheckBox(3, box);
}

void PlaceBelowMaster(MainWindow& window) { window.PlaceAt(200, window.OuterHeight() + 10); }

void PrepareType(const std::vector<std::string>& p, RunParams& run, MainWindow& window) {
  const auto steps = StepList::kJvInstallLabel1;
  auto show_box = [&](int n) {
    CheckBoxState box = window.CheckBox(n);
    box.visible = true;
    window.SetCheckBox(n, box);
  };
  switch (run.UpdateType) {
    case 1:
      run.ConnectionText = Param(p, 6);
      window.SetStatisticsVisible(true);
      PrepareErrorLogBox(run, window);
      window.PlaceCentred();
      break;
    case 2:
      run.ShareFolder = WithTrailingSeparator(Param(p, 6));
      run.ConnectionText = Param(p, 7);
      run.AppArguments = Param(p, 8);
      window.SetLines(steps, {"Spajam se na server share", "Kopiram Update.zip datoteke",
                              "Raspakiravam", "Instaliram"});
      window.SetStatisticsVisible(false);
      window.PlaceCentred();
      break;
    case 3:
      run.ConnectionText = Param(p, 6);
      run.RaiseMinVersion = Param(p, 7);
      window.SetLines(steps, {"Spajam se na internet server", "Skidam Update.zip datoteke",
                              "Raspakiravam", "Instaliram"});
      window.SetStatisticsVisible(false);
      PrepareErrorLogBox(run, window);
      window.PlaceCentred();
      break;
    case 4:
      run.ShareFolder = WithTrailingSeparator(Param(p, 6));
      run.ConnectionText = Param(p, 7);
      run.ScriptFileName = Param(p, 8);
      run.ScriptMode = Param(p, 9);
      window.SetLines(steps, {"Skidam Update.zip datoteke na naš server", "Skidam SQL update",
                              "Pokrećem SQL update"});
      window.SetStatisticsVisible(false);
      window.SetCheckBox(1, {"update (U)", true, false});
      window.SetCheckBox(2, {"obrisati skriptu (B)", true, true});
      window.SetCheckBox(3, {"izvršiti skriptu (S)", true, true});
      window.PlaceCentred();
      break;
    case 5:
      run.ShareFolder = WithTrailingSeparator(Param(p, 6));
      window.SetLines(steps, {"Skidam UpdateSpec.zip datoteku na naš server"});
      window.SetStatisticsVisible(false);
      show_box(1);
      window.PlaceCentred();
      break;
    case 6: {
      const std::string folder = Param(p, 6);
      run.ShareFolder = folder == "x" ? std::string() : WithTrailingSeparator(folder);
      run.ConnectionText = Param(p, 7);
      run.RaiseMinVersion = Normalised(Param(p, 8));
      run.LastRun = Param(p, 9) == "0" ? "0" : "1";
      run.ReservedFlag = Param(p, 10) == "0" ? "0" : "1";
      if (folder == "x") {
        window.SetLines(steps, {"Izvršavam SQL update"});
      } else {
        window.SetLines(steps, {"Skidam Update.zip datoteke na naš server",
                                "Puštam update na ovo računalo", "Raspakiravam", "Instaliram"});
      }
      window.SetStatisticsVisible(false);
      if (!run.ConnectionText.empty()) PrepareErrorLogBox(run, window);
      if (folder == "x") {
        PlaceBelowMaster(window);
      } else {
        window.PlaceCentred();
      }
      break;
    }
    case 7:
      run.ShareFolder = WithTrailingSeparator(Param(p, 6));
      run.ConnectionText = Param(p, 7);
      run.RaiseMinVersion = Normalised(Param(p, 8));
      run.DatabaseGroup = Param(p, 9);
      run.ChildUpdateType = Param(p, 10).empty() ? "6" : Param(p, 10);
      window.SetLines(
          steps, {"Izvršavam update tip " + run.ChildUpdateType + " na radnim bazama iz popisa"});
      window.SetStatisticsVisible(false);
      window.PlaceAt(200, 10);
      break;
    case 8:
      run.ConnectionText = Param(p, 6);
      run.ChildRun = Param(p, 7).empty() ? "0" : Param(p, 7);
      run.RaiseMinVersion = Param(p, 8);
      window.SetLines(steps, {"Instaliram update", "Dekompresiram", "Instaliram"});
      window.SetStatisticsVisible(false);
      PrepareErrorLogBox(run, window);
      if (run.ChildRun == "1") {
        PlaceBelowMaster(window);
      } else {
        window.PlaceCentred();
      }
      break;
    default:
      break;
  }
}

}  // namespace

void FormCreate(const std::vector<std::string>& params, const std::string& download_host,
                RunParams& run, MainWindow& window) {
  run.params = params;
  window.SetCommandLine(params);
  run.AppTitle = Param(params, 1);
  window.SetHeader(" >Nadogradnja aplikacije " + run.AppTitle);
  run.AppSection = Param(params, 2);
  run.AppExeName = Param(params, 3);
  run.ClientFolder = Param(params, 4);
  run.UpdateType = StrToInt(Param(params, 5));
  window.SetLabel2("tip: " + std::to_string(run.UpdateType));

  if (run.UpdateType >= 3 && run.UpdateType <= 7 && !run.ClientFolder.empty() &&
      !run.AppSection.empty()) {
    run.SiteUrl = ComposeDownloadUrl(download_host, run.ClientFolder, run.AppSection);
    run.CommonSiteUrl = ComposeDownloadUrl(download_host, "_SVI", run.AppSection);
  }

  PrepareType(params, run, window);

  run.ConnectionList = DecodeConnectionText(run.ConnectionText);
  if (run.ConnectionText == "x") run.ConnectionText.clear();
}

}  // namespace zepr
