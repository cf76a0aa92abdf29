#include "support/sandbox.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>

#include "core/path_text.h"

namespace zepr::testing {

TempDir::TempDir() {
  std::random_device seed;
  std::mt19937_64 random(seed());
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate = base / ("zepr-" + std::to_string(random() % 1000000000));
    if (std::filesystem::create_directory(candidate)) {
      path_ = std::move(candidate);
      return;
    }
  }
  throw std::runtime_error("no fresh temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::folder() const { return Utf8FromPath(path_) + "/"; }

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> ListFolder(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(Utf8FromPath(entry.path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::filesystem::path FindWindowsProgram(const std::filesystem::path& build_dir,
                                         const std::string& name) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(build_dir, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->path().filename() == name && it->is_regular_file(ec)) return it->path();
    // The Wine prefix is large and holds nothing of ours.
    if (it->path().filename() == "wineprefix") it.disable_recursion_pending();
  }
  return {};
}

std::filesystem::path BuildDir() {
  const char* v = std::getenv("ZEPR_BUILD_DIR");
  return v ? std::filesystem::path(v) : std::filesystem::current_path();
}

std::filesystem::path SourceDir() {
  const char* v = std::getenv("ZEPR_SOURCE_DIR");
  return v ? std::filesystem::path(v) : std::filesystem::current_path();
}

std::vector<std::pair<std::string, std::string>> Tree(const std::filesystem::path& folder) {
  std::vector<std::pair<std::string, std::string>> entries;
  namespace fs = std::filesystem;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::end(it); ++it) {
    const auto& entry = *it;
    const auto status = fs::symlink_status(entry.path());
    const std::u8string generic = fs::relative(entry.path(), folder).generic_u8string();
    const std::string name(generic.begin(), generic.end());
    // Every run adds its log there; a folder that is as it was is so without it.
    if (name == "ZEPRUpdateLog" && it.depth() == 0) {
      it.disable_recursion_pending();
      continue;
    }
    const std::string mode = "mode " + std::to_string(static_cast<int>(status.permissions()));
    if (fs::is_directory(status)) {
      entries.emplace_back(name + "/", mode);
    } else {
      const std::string bytes = ReadFile(entry.path());
      entries.emplace_back(name, mode + ", " + std::to_string(bytes.size()) + " bytes, digest " +
                                     std::to_string(std::hash<std::string>{}(bytes)));
    }
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

}  // namespace zepr::testing
