#pragma once

#include <string>
#include <vector>

#include "core/main_window.h"
#include "core/run_params.h"

namespace zepr {

// Splits at the separator: an item ends at each separator and is kept only when non-empty;
// the last item is always kept, even when empty ("a,,b" -> a,b; "a,b," -> a,b,""; "" -> "").
std::vector<std::string> SplitToList(const std::string& text, char separator);

// The connection items of one comma-separated value, with the launcher's escapes
// "7890+" "&", "7891+" ",", "7892+" '"', "7893+" "%" decoded; "x" gives no items.
std::vector<std::string> DecodeConnectionText(const std::string& text);

// The inverse of the decoding, for a child updater's command line: the four characters
// are written back as their escapes so the child decodes exactly these items.
std::string EncodeConnectionList(const std::vector<std::string>& items);

// "http://" + host + "/download/_UPDATE/update.php?file=" + folder + "/" + section + "/"
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
