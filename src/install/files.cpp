#include "install/files.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>

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

void Collect(const std::string& mask, const std::string& folder, std::vector<std::string>& out) {
  std::string prefix = folder;
  while (!prefix.empty() && (prefix.back() == '/' || prefix.back() == '\\')) prefix.pop_back();
  prefix += '/';

  std::error_code ec;
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator it(prefix, ec), end; !ec && it != end; it.increment(ec)) {
    entries.push_back(*it);
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });

  for (const auto& entry : entries) {
    const std::string name = entry.path().filename().string();
    if (!name.ends_with('.') && MatchesMask(name, mask)) out.push_back(prefix + name);
    std::error_code status_error;
    if (entry.is_directory(status_error) && !entry.is_symlink(status_error)) {
      out.push_back(prefix + name + "/");
      Collect(mask, prefix + name, out);
    }
  }
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

std::vector<std::string> CollectFolderTree(const std::string& mask, const std::string& folder) {
  std::vector<std::string> out;
  Collect(mask, folder, out);
  return out;
}

bool DeleteFolderSilently(const std::string& path) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path, ec))) return false;
  fs::remove_all(path, ec);
  return !ec;
}

bool CopyFileReplacing(const std::string& source, const std::string& target) {
  std::error_code ec;
  if (!fs::is_regular_file(source, ec)) return false;
  const fs::path target_path(target);
  const fs::path temporary = target_path.parent_path() / ("." + target_path.filename().string() +
                                                          ".part" + std::to_string(getpid()));
  fs::remove(temporary, ec);
  bool ok = fs::copy_file(source, temporary, fs::copy_options::overwrite_existing, ec);
  if (ok) {
    fs::last_write_time(temporary, fs::last_write_time(source, ec), ec);
    ok = !ec;
  }
  if (ok) {
    fs::rename(temporary, target_path, ec);
    ok = !ec;
  }
  if (!ok) fs::remove(temporary, ec);
  return ok;
}

void MakeWritable(const std::string& path) {
  std::error_code ec;
  // A link is replaced, not written through, so whatever it points at is left alone.
  if (!fs::is_regular_file(fs::symlink_status(path, ec))) return;
  fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ec);
}

}  // namespace zepr
