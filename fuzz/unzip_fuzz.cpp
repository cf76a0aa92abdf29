// The real extraction on any archive: nothing is written outside the target, the target
// holds only plain files and folders without special mode bits, and a failed unpack leaves
// no target behind.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "fuzz_support.h"
#include "install/unzip.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void CheckTree(const fs::path& target) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(target, ec), end; !ec && it != end; it.increment(ec)) {
    struct stat st {};
    FUZZ_CHECK(lstat(it->path().c_str(), &st) == 0);
    FUZZ_CHECK(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode));  // no link, no device, no pipe
    FUZZ_CHECK((st.st_mode & (S_ISUID | S_ISGID | S_ISVTX)) == 0);
  }
  FUZZ_CHECK(!ec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fs::path& folder = zepr::fuzz::Scratch().Fresh();
  const fs::path archive = folder / "a.zip";
  zepr::fuzz::WriteFile(archive, zepr::fuzz::AsString(data, size));
  const fs::path parent = folder / "t";
  fs::create_directory(parent);
  const fs::path target = parent / "x";
  const fs::path cwd = fs::current_path();

  const bool ok = zepr::Unzip(archive.string(), target.string(), nullptr);

  FUZZ_CHECK(fs::current_path() == cwd);
  FUZZ_CHECK(Names(folder) == (std::vector<std::string>{"a.zip", "t"}));
  // The staging folder beside the target is gone; the target is there only after a success.
  FUZZ_CHECK(Names(parent) == (ok ? std::vector<std::string>{"x"} : std::vector<std::string>{}));
  if (ok) CheckTree(target);
  return 0;
}
