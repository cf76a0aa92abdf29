#pragma once

#include <string>

namespace zepr {

// The file version (not the product version) from the version resource of a Windows
// executable (PE32 or PE32+), as four decimal numbers joined by "." ("2.1.0.37"). The
// updated applications are Windows programs on every platform, so the resource is read from
// the file itself. "" for a file that is missing, is not such an executable or carries no
// version resource: callers treat that as an unknown version.
std::string FileVersionString(const std::string& path);

}  // namespace zepr
