#pragma once

#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace zepr {

// Wildcard match of a file name, ASCII letter case ignored: "*" any run of characters (also
// none), "?" any one character, "[set]" one character of the set ("[a-c]" ranges, "[!x]" all
// but x), every other character itself. "*.*" therefore needs a dot in the name.
bool MatchesMask(std::string_view name, std::string_view mask);

// Lists the tree under folder: for every entry, folder + name when the name matches the mask
// and does not end with "."; for every sub-folder also folder + name + "/" followed by its own
// listing. A folder's own entry comes before its contents, and a folder whose name matches
// is listed a second time without the trailing separator. Entries of one folder come in name
// order; links to folders are not followed. A missing folder lists nothing. A folder of the
// tree that cannot be listed whole sets error (when given): the listing is then incomplete.
std::vector<std::string> CollectFolderTree(const std::string& mask, const std::string& folder,
                                           std::error_code* error = nullptr);

// Deletes a file or a folder with everything in it. False when the path does not exist or
// could not be deleted whole.
bool DeleteFolderSilently(const std::string& path);

// Writes a copy of source as the new file path (which must not exist yet), with the source's
// last-write time. A copy that replaces a file keeps that file's permission bits and, where
// the process may set them, its owner and group (on Windows its attributes): replaced names it
// (a link or a missing file there counts as nothing replaced). Otherwise the copy takes the
// source's permissions. owner_writable adds the owner's write permission (clears read-only).
// On failure nothing is left at path and the system's reason is returned.
std::error_code CopyFileAs(const std::string& source, const std::string& path,
                           const std::string& replaced, bool owner_writable = false);

// The temporary file beside target that CopyFileReplacing writes first.
std::string TemporaryBeside(const std::string& target);

// Copies source over target so that target is never seen half-written: the bytes go to a
// temporary file beside target, which is then renamed over it. Permissions follow
// CopyFileAs, with target as the replaced file. False (and target unchanged, the reason in
// error when given) when the source is not a regular file or anything fails.
bool CopyFileReplacing(const std::string& source, const std::string& target,
                       bool owner_writable = false, std::error_code* error = nullptr);

}  // namespace zepr
