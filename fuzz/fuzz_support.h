#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

// What every fuzz target shares: a promise check that stops the run, and one private folder
// per process, emptied before each input so inputs never see each other's files.
namespace zepr::fuzz {

[[noreturn]] inline void Violated(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: promise broken: %s\n", file, line, what);
  std::abort();
}

#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::zepr::fuzz::Violated(#condition, __FILE__, __LINE__))

inline std::string AsString(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

inline void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  FUZZ_CHECK(out.good());
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class ScratchFolder {
 public:
  ScratchFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string name = std::string(base && *base ? base : "/tmp") + "/zepr-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(name.data()) != nullptr);
    path_ = name;
  }
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // The folder, emptied of whatever the last input left.
  const std::filesystem::path& Fresh() {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(path_, ec), end; !ec && it != end;
         it.increment(ec)) {
      std::filesystem::remove_all(it->path(), ec);
    }
    FUZZ_CHECK(std::filesystem::is_empty(path_));
    return path_;
  }

 private:
  std::filesystem::path path_;
};

// Process-wide, removed at exit.
inline ScratchFolder& Scratch() {
  static ScratchFolder folder;
  return folder;
}

}  // namespace zepr::fuzz
