#pragma once

#include <string>
#include <vector>

#include "core/connection_text.h"
#include "core/main_window.h"
#include "core/run_params.h"

namespace zepr {

// "http://" + host + "/download/_UPDATE/update.php?file=" + folder + "/" + section + "/"; a host
// that begins with "https://" (or "http://") keeps that scheme.
std::string ComposeDownloadUrl(const std::string& host, const std::string& folder,
                               const std::string& section);

// Start-up: turns the command line into the run parameters and prepares the window for
// the update type. params are the parameters 1..n; params must not be empty (no parameter 1
// ends the program before any window exists). A parameter 5 that is not an integer raises
// UpdateError with the standard conversion text after the header and the first four fields
// are set; the window then keeps its design-time contents.
void FormCreate(const std::vector<std::string>& params, const std::string& download_host,
                RunParams& run, MainWindow& window);

}  // namespace zepr
