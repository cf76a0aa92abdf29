// Our ZIP reader (the Windows extraction) on any archive: an entry never yields more bytes than
// the directory promised, and the extraction through it keeps the promises of the real one:
// nothing outside the target, only plain files and folders, no staging folder left behind.
#include <sys/stat.h>

#include <algorithm>

#include "fuzz_support.h"
#include "install/unzip_backend.h"
#include "install/zip_reader.h"

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

void ReadEveryEntry(const fs::path& archive) {
  std::optional<zepr::ZipReader> reader = zepr::ZipReader::Open(archive);
  if (!reader) return;
  zepr::ZipEntryInfo entry;
  while (reader->Next(entry) == zepr::ZipReader::Step::kEntry) {
    uint64_t passed = 0;
    const bool whole = reader->ReadData([&](std::string_view data) {
      passed += data.size();
      FUZZ_CHECK(passed <= entry.size);
      return true;
    });
    if (whole) FUZZ_CHECK(passed == entry.size);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fs::path& folder = zepr::fuzz::Scratch().Fresh();
  const fs::path archive = folder / "a.zip";
  zepr::fuzz::WriteFile(archive, zepr::fuzz::AsString(data, size));
  ReadEveryEntry(archive);

  const fs::path parent = folder / "t";
  fs::create_directory(parent);
  const fs::path target = parent / "x";
  const bool ok = zepr::unzip::UnzipWith(zepr::unzip::UnpackWithZipReader, archive.string(),
                                         target.string(), nullptr);

  FUZZ_CHECK(Names(folder) == (std::vector<std::string>{"a.zip", "t"}));
  FUZZ_CHECK(Names(parent) == (ok ? std::vector<std::string>{"x"} : std::vector<std::string>{}));
  if (ok) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(target, ec), end; !ec && it != end; it.increment(ec)) {
      struct stat st {};
      FUZZ_CHECK(lstat(it->path().c_str(), &st) == 0);
      FUZZ_CHECK(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode));
      FUZZ_CHECK((st.st_mode & (S_ISUID | S_ISGID | S_ISVTX)) == 0);
    }
    FUZZ_CHECK(!ec);
  }
  return 0;
}
