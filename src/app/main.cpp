#include <iostream>
#include <string>
#include <vector>

#include "app/app_view.h"
#include "app/desktop_view.h"
#include "app/form_create.h"
#include "app/headless_view.h"
#include "app/services.h"
#include "app/update_run.h"
#include "config/ini_file.h"
#include "core/clock.h"
#include "core/errors.h"
#include "core/run_params.h"
#include "install/install_script.h"
#include "platform/platform.h"

#ifndef ZEPR_DOWNLOAD_HOST
#define ZEPR_DOWNLOAD_HOST "127.0.0.1:8080"
#endif

namespace zepr {
namespace {

// The download host: [HTTP] HOST of UPDATE.INI beside the executable, else the build's default.
std::string DownloadHost(const std::string& exe_folder) {
  const std::string host = ReadIniValue(exe_folder, "UPDATE.INI", "HTTP", "HOST", "");
  return host.empty() ? ZEPR_DOWNLOAD_HOST : host;
}

int Main(int argc, char** argv) {
  const std::vector<std::string> args = platform::CommandLineArguments(argc, argv);
  const std::vector<std::string> params(args.begin() + (args.empty() ? 0 : 1), args.end());
  // Without parameter 1 the program ends silently, before any window exists.
  if (params.empty() || params[0].empty()) return 0;

  // Output to a reader that went away is dropped; the run goes on to its end.
  platform::PrepareStandardStreams();

  SystemClock clock;
  std::unique_ptr<AppView> view;
  if (platform::DisplayAvailable()) view = MakeDesktopView(clock);
  if (!view) view = std::make_unique<HeadlessView>(clock, std::cout);
  const platform::LocaleSeparators separators = platform::UserNumericSeparators();
  view->SetNumberSeparators({separators.thousands, separators.decimal});

  RunParams run;
  run.ExeFolder = platform::ExecutableFolder();
  SystemServices services(run, *view);
  UpdateRun update(run, *view, services.services());
  bool prepared = true;
  try {
    FormCreate(params, DownloadHost(run.ExeFolder), run, *view);
  } catch (const std::exception& e) {
    prepared = false;
    run.Fail(ExitStatus::kFailed);
    view->Show();
    view->ShowException(e.what());
  }
  if (prepared) view->Show();
  // An install cut short by a kill or a power loss is undone before the run, by every start
  // with parameter 1.
  if (InterruptedInstallLeft(run.ExeFolder)) {
    update.UndoInterruptedInstall([&] { return RecoverInterruptedInstall(run.ExeFolder); });
  }

  view->StartTimer(2000, [&] {
    try {
      update.Timer1Timer();
    } catch (const std::exception& e) {
      run.Fail(ExitStatus::kFailed);
      view->ShowException(e.what());
    }
  });
  view->RunMessageLoop();
  return static_cast<int>(run.Outcome);
}

}  // namespace
}  // namespace zepr

int main(int argc, char** argv) { return zepr::Main(argc, argv); }
