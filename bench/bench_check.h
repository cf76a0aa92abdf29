#pragma once

// A ratio is worth printing only when both sides did the whole job: every benchmark checks what
// each side left behind against what was asked for, prints that check next to its ratio, and
// ends with status 1 and no ratio when the check fails.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace zepr::bench {

// What one side of a comparison left behind, in the words of the check line, and why one of its
// runs failed (empty when none did).
struct Outcome {
  std::string side;
  std::string found;
  std::string failure;

  // The first failure is kept: later ones usually follow from it.
  void Fail(const std::string& why) {
    if (failure.empty()) failure = why;
  }
};

// Prints "check <what>: <expected>; <side> same, ..." and returns only when every side found
// what was expected and no run failed; otherwise ends the benchmark before its ratio.
inline void RequireCheck(const std::string& what, const std::string& expected,
                         const std::vector<Outcome>& sides) {
  bool held = true;
  std::string line = "check " + what + ": expected " + expected;
  for (const auto& s : sides) {
    const bool same = s.found == expected && s.failure.empty();
    held = held && same;
    line += "; " + s.side + " " + (s.found == expected ? std::string("same") : s.found);
    if (!s.failure.empty()) line += " (" + s.failure + ")";
  }
  std::printf("%s  %s\n", line.c_str(), held ? "ok" : "FAILED");
  if (!held) {
    std::printf("%s: the check failed, no ratio\n", what.c_str());
    std::fflush(stdout);
    std::exit(1);
  }
}

// "2000 files, 209715200 bytes": the regular files under root and their sizes; other entries
// (links, special files) are counted apart, since neither side should make them. Top-level
// names in skip are left out.
inline std::string FilesAndBytes(const std::filesystem::path& root,
                                 const std::set<std::string>& skip = {}) {
  namespace fs = std::filesystem;
  uint64_t files = 0, bytes = 0, others = 0;
  std::error_code ec;
  if (!fs::is_directory(root, ec)) return "no folder";
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (it.depth() == 0 && skip.count(it->path().filename().string()) != 0) {
      it.disable_recursion_pending();
      continue;
    }
    const auto status = it->symlink_status(ec);
    if (fs::is_regular_file(status)) {
      ++files;
      bytes += it->file_size(ec);
    } else if (!fs::is_directory(status)) {
      ++others;
    }
  }
  if (ec) return "unreadable (" + ec.message() + ")";
  std::string text = std::to_string(files) + " files, " + std::to_string(bytes) + " bytes";
  if (others != 0) text += ", " + std::to_string(others) + " other entries";
  return text;
}

// "314572800 bytes, digest 9f0c...": the size and an FNV-1a digest over the contents taken
// eight bytes at a time, cheap enough to run after every download of a few hundred megabytes.
inline std::string SizeAndDigest(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return "no file";
  uint64_t digest = 0xcbf29ce484222325ull;
  uint64_t size = 0;
  std::vector<char> block(1 << 20);
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    const auto got = static_cast<size_t>(in.gcount());
    // Eight bytes a step; the tail of the file byte by byte.
    size_t i = 0;
    for (; i + 8 <= got; i += 8) {
      uint64_t word;
      std::memcpy(&word, block.data() + i, 8);
      digest = (digest ^ word) * 0x100000001b3ull;
    }
    for (; i < got; ++i)
      digest = (digest ^ static_cast<unsigned char>(block[i])) * 0x100000001b3ull;
    size += got;
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(digest));
  return std::to_string(size) + " bytes, digest " + hex;
}

}  // namespace zepr::bench
