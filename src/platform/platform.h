#pragma once

#include <string>

namespace zepr::platform {

// Folder of the running executable, with a trailing separator.
std::string ExecutableFolder();

// Whether a graphical display can be opened (else the headless view is used).
bool DisplayAvailable();

}  // namespace zepr::platform
