#include "install/files.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <vector>

#include "core/path_text.h"
#include "platform/files.h"
#include "platform/process.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;

// Decodes UTF-8 into code points so that "?" takes one whole character; a byte that is not
// valid UTF-8 stands for itself.
std::u32string CodePoints(std::string_view text) {
  std::u32string out;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80           ? 1
                    : (lead >> 5) == 0x6  ? 2
                    : (lead >> 4) == 0xE  ? 3
                    : (lead >> 3) == 0x1E ? 4
                                          : 0;
    char32_t cp = length == 1   ? lead
                  : length == 2 ? lead & 0x1F
                  : length == 3 ? lead & 0x0F
                                : lead & 0x07;
    bool valid = length > 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (!valid) {
      out.push_back(lead);
      ++i;
    } else {
      out.push_back(cp);
      i += length;
    }
  }
  return out;
}

char32_t Fold(char32_t c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }

// Matches one character against the set that starts after "[" at mask[pos]; returns the
// position after "]", or nullopt when the set is not closed (then "[" is an ordinary
// character).
std::optional<size_t> MatchSet(const std::u32string& mask, size_t pos, char32_t c, bool& matched) {
  bool negate = false;
  if (pos < mask.size() && mask[pos] == '!') {
    negate = true;
    ++pos;
  }
  bool in_set = false;
  const char32_t folded = Fold(c);
  for (bool first = true; pos < mask.size(); first = false) {
    if (mask[pos] == ']' && !first) {
      matched = in_set != negate;
      return pos + 1;
    }
    char32_t low = Fold(mask[pos]);
    char32_t high = low;
    if (pos + 2 < mask.size() && mask[pos + 1] == '-' && mask[pos + 2] != ']') {
      high = Fold(mask[pos + 2]);
      pos += 3;
    } else {
      pos += 1;
    }
    if (low <= folded && folded <= high) in_set = true;
  }
  return std::nullopt;
}

std::error_code Collect(const std::string& mask, const std::string& folder,
                        std::vector<std::string>& out) {
  std::string prefix = folder;
  while (!prefix.empty() && (prefix.back() == '/' || prefix.back() == '\\')) prefix.pop_back();
  prefix += '/';

  std::vector<platform::FolderEntry> entries;
  if (auto error = platform::ListFolder(prefix, entries)) return error;
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return PathFromUtf8(a.name) < PathFromUtf8(b.name);
  });

  for (const auto& entry : entries) {
    if (!entry.name.ends_with('.') && MatchesMask(entry.name, mask))
      out.push_back(prefix + entry.name);
    if (entry.kind == platform::FolderEntry::Kind::kFolder) {
      out.push_back(prefix + entry.name + "/");
      if (auto error = Collect(mask, prefix + entry.name, out)) return error;
    }
  }
  return {};
}

}  // namespace

bool MatchesMask(std::string_view name_text, std::string_view mask_text) {
  const std::u32string name = CodePoints(name_text);
  const std::u32string mask = CodePoints(mask_text);
  // Iterative matching with one remembered "*": on a mismatch the last star takes one more
  // character.
  size_t n = 0, m = 0;
  std::optional<size_t> star_mask, star_name;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      star_mask = ++m;
      star_name = n;
      continue;
    }
    if (m < mask.size()) {
      if (mask[m] == '?') {
        ++m;
        ++n;
        continue;
      }
      if (mask[m] == '[') {
        bool matched = false;
        if (auto after = MatchSet(mask, m + 1, name[n], matched)) {
          if (matched) {
            m = *after;
            ++n;
            continue;
          }
        } else if (name[n] == '[') {
          ++m;
          ++n;
          continue;
        }
      } else if (Fold(mask[m]) == Fold(name[n])) {
        ++m;
        ++n;
        continue;
      }
    }
    if (!star_mask) return false;
    m = *star_mask;
    n = ++*star_name;
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

std::vector<std::string> CollectFolderTree(const std::string& mask, const std::string& folder,
                                           std::error_code* error) {
  std::vector<std::string> out;
  std::error_code ec = Collect(mask, folder, out);
  if (ec == std::errc::no_such_file_or_directory && out.empty()) ec.clear();
  if (error != nullptr) *error = ec;
  return out;
}

bool DeleteFolderSilently(const std::string& path) {
  std::error_code ec;
  platform::KindOf(path, ec);
  if (ec) return false;
  return !platform::RemoveTree(path);
}

std::error_code CopyFileAs(const std::string& source, const std::string& path,
                           const std::string& replaced, bool owner_writable) {
  return platform::CopyFileAs(source, path, replaced, owner_writable);
}

std::string TemporaryBeside(const std::string& target) {
  const fs::path target_path = PathFromUtf8(target);
  return Utf8FromPath(target_path.parent_path() /
                      PathFromUtf8("." + Utf8FromPath(target_path.filename()) + ".part" +
                                   std::to_string(platform::CurrentProcessId())));
}

bool CopyFileReplacing(const std::string& source, const std::string& target, bool owner_writable,
                       std::error_code* error) {
  const std::string temporary = TemporaryBeside(target);
  platform::RemoveFile(temporary);
  std::error_code ec = CopyFileAs(source, temporary, target, owner_writable);
  if (!ec) {
    ec = platform::Rename(temporary, target);
    if (ec) platform::RemoveFile(temporary);
  }
  if (error != nullptr) *error = ec;
  return !ec;
}

}  // namespace zepr
