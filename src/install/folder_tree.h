#pragma once

#include <string>
#include <system_error>
#include <vector>

namespace zepr {

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

}  // namespace zepr
