#pragma once

#include <string>
#include <system_error>

namespace zepr {

// The temporary file beside target that CopyFileReplacing writes first.
std::string TemporaryBeside(const std::string& target);

// Copies source over target so that target is never seen half-written: the bytes go to a
// temporary file beside target, which is then renamed over it. Permissions follow
// platform::CopyFileAs, with target as the replaced file. False (and target unchanged, the reason
// in error when given) when the source is not a regular file or anything fails.
bool CopyFileReplacing(const std::string& source, const std::string& target,
                       bool owner_writable = false, std::error_code* error = nullptr);

}  // namespace zepr
