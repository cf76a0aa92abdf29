#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace zepr::testing {

// What the file system under the tests lets a test check. Windows tells no names apart by
// letter case alone, keeps no POSIX mode bits beyond read-only, makes no links for a plain
// user and allows no '"' in a name.
#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif
inline constexpr bool kCaseSensitiveNames = !kWindows;
inline constexpr bool kPosixModes = !kWindows;
inline constexpr bool kSymlinks = !kWindows;
inline constexpr bool kQuotesInNames = !kWindows;

// A fresh temporary folder, removed with everything in it when the test ends.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The folder as the program writes folders: with a trailing separator.
  std::string folder() const;

 private:
  std::filesystem::path path_;
};

// A path made from UTF-8 text goes through PathFromUtf8 (core/path_text.h), or Windows reads
// the text in its narrow code page.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
std::string ReadFile(const std::filesystem::path& path);
// The sorted names in a folder, in UTF-8, temporary leftovers included.
std::vector<std::string> ListFolder(const std::filesystem::path& folder);

// Everything under a folder, sorted: relative path ("/" ends a folder's own entry) and its
// mode, and for a file its size and a digest of its contents. The updater's run logs
// (ZEPRUpdateLog/ at the top) are left out.
std::vector<std::pair<std::string, std::string>> Tree(const std::filesystem::path& folder);

// A program the Windows build made (its tests sit in folders of their own), found under that
// build's folder; empty when there is none.
std::filesystem::path FindWindowsProgram(const std::filesystem::path& build_dir,
                                         const std::string& name);

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
