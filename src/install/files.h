#pragma once

#include <string>
#include <string_view>
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
// order; links to folders are not followed. A missing folder lists nothing.
std::vector<std::string> CollectFolderTree(const std::string& mask, const std::string& folder);

// Deletes a file or a folder with everything in it. False when the path does not exist or
// could not be deleted whole.
bool DeleteFolderSilently(const std::string& path);

// Copies source over target so that target is never seen half-written: the bytes go to a
// temporary file beside target, which is then renamed over it. The copy keeps the source's
// last-write time and permissions. False (and target unchanged) when the source is not a
// regular file or anything fails.
bool CopyFileReplacing(const std::string& source, const std::string& target);

// Lets the owner write the file again (what clearing the read-only attribute means here).
void MakeWritable(const std::string& path);

}  // namespace zepr
