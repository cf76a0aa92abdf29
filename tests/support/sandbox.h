#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace zepr::testing {

// A fresh temporary folder, removed with everything in it when the test ends.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The folder as the program writes folders: with a trailing separator.
  std::string folder() const { return path_.string() + "/"; }

 private:
  std::filesystem::path path_;
};

void WriteFile(const std::filesystem::path& path, const std::string& bytes);
std::string ReadFile(const std::filesystem::path& path);
// The sorted names in a folder, temporary leftovers included.
std::vector<std::string> ListFolder(const std::filesystem::path& folder);

// Everything under a folder, sorted: relative path ("/" ends a folder's own entry) and its
// mode, and for a file its size and a digest of its contents.
std::vector<std::pair<std::string, std::string>> Tree(const std::filesystem::path& folder);

// The full path of a program on PATH, empty when there is none.
std::string FindProgram(const std::string& name);

// Where the build put things, as CTest tells the tests.
std::filesystem::path BuildDir();
std::filesystem::path SourceDir();

struct ProcessResult {
  int exit_code = -1;
  std::string output;  // standard output and standard error together
};

// Runs a program with an argument vector (no shell) and the given extra environment
// ("NAME=value"; "NAME=" removes NAME), and collects its output.
ProcessResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env_changes = {},
                         const std::filesystem::path& cwd = {});

}  // namespace zepr::testing
