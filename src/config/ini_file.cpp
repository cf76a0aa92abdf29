#include "config/ini_file.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "core/encoding.h"
#include "core/path_text.h"
#include "core/text.h"
#include "platform/files.h"

namespace zepr {
namespace {

constexpr size_t kMaxValueChars = 2047;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Decodes one UTF-8 sequence at `pos`; invalid bytes come back as themselves.
char32_t NextCodePoint(const std::string& s, size_t& pos) {
  const Utf8Char c = DecodeUtf8(std::string_view(s).substr(pos));
  if (c.length == 0) return static_cast<unsigned char>(s[pos++]);
  pos += c.length;
  return c.code_point;
}

// Lower case for ASCII and the Latin letters of the Central European code page.
char32_t FoldCase(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return c | 1;
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c + 1 : c;
  return c;
}

std::u32string Folded(const std::string& s) {
  std::u32string out;
  for (size_t pos = 0; pos < s.size();) out.push_back(FoldCase(NextCodePoint(s, pos)));
  return out;
}

std::string TruncateChars(const std::string& s, size_t max_chars) {
  size_t pos = 0;
  for (size_t n = 0; n < max_chars && pos < s.size(); ++n) NextCodePoint(s, pos);
  return s.substr(0, pos);
}

std::string StripQuotes(const std::string& v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

}  // namespace

bool NamesEqualNoCase(const std::string& a, const std::string& b) { return Folded(a) == Folded(b); }

std::u32string FoldedName(const std::string& name) { return Folded(name); }

IniFile IniFile::Load(const std::string& path) {
  std::string real_path = path;
  std::error_code ec;
  if (!std::filesystem::exists(PathFromUtf8(path), ec)) {
    const std::filesystem::path p = PathFromUtf8(path);
    const std::string parent = Utf8FromPath(p.parent_path());
    real_path = FindFileAnyCase(parent.empty() ? "" : parent + "/", Utf8FromPath(p.filename()));
    if (real_path.empty()) return IniFile();
  }
  std::ifstream in(PathFromUtf8(real_path), std::ios::binary);
  if (!in) return IniFile();
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return IniFile();
  return Parse(bytes);
}

IniText SplitIniText(const std::string& bytes) {
  IniText text;
  text.bom = bytes.rfind(kByteOrderMark, 0) == 0;
  text.body = text.bom ? bytes.substr(kByteOrderMark.size()) : bytes;
  text.utf8 = text.bom && IsValidUtf8(text.body);
  return text;
}

IniFile IniFile::Parse(const std::string& bytes) {
  IniText file = SplitIniText(bytes);
  return ParseLines(SplitLines(file.utf8 ? std::move(file.body) : Cp1250ToUtf8(file.body)));
}

IniFile IniFile::ParseLines(const std::vector<std::string>& lines) {
  IniFile ini;
  ini.exists_ = true;
  bool in_section = false;
  for (size_t n = 0; n < lines.size(); ++n) {
    std::string line = Trim(lines[n]);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      std::string name = Trim(line.substr(1, close == std::string::npos ? close : close - 1));
      // A repeated section is never looked at: lookups stop at the first one.
      in_section = ini.FindSection(name) == nullptr;
      if (in_section) ini.sections_.push_back(Section{name, {}});
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos || !in_section) continue;
    ini.sections_.back().entries.push_back(
        Entry{Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)), n});
  }
  return ini;
}

const IniFile::Entry* IniFile::FindEntry(const std::string& section, const std::string& key) const {
  const Section* s = FindSection(section);
  if (s == nullptr) return nullptr;
  for (const Entry& e : s->entries) {
    if (NamesEqualNoCase(e.key, key)) return &e;
  }
  return nullptr;
}

bool IniFile::Exists() const { return exists_; }

const IniFile::Section* IniFile::FindSection(const std::string& name) const {
  auto it = std::find_if(sections_.begin(), sections_.end(),
                         [&](const Section& s) { return NamesEqualNoCase(s.name, name); });
  return it == sections_.end() ? nullptr : &*it;
}

std::vector<std::string> IniFile::Sections() const {
  std::vector<std::string> names;
  for (const Section& s : sections_) names.push_back(s.name);
  return names;
}

std::vector<std::string> IniFile::Keys(const std::string& section) const {
  std::vector<std::string> keys;
  if (const Section* s = FindSection(section)) {
    for (const Entry& e : s->entries) keys.push_back(e.key);
  }
  return keys;
}

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& default_value) const {
  const Entry* e = FindEntry(section, key);
  return e ? TruncateChars(StripQuotes(e->value), kMaxValueChars) : default_value;
}

std::optional<size_t> IniKeyLine(const std::vector<std::string>& lines, bool utf8,
                                 const std::string& section, const std::string& key) {
  // The lines as the reader saw them: parsed again from bytes, a second byte order mark at the
  // start of the text would pass for the first and shift what the lines mean.
  std::vector<std::string> decoded = lines;
  if (!utf8) {
    for (std::string& line : decoded) line = Cp1250ToUtf8(line);
  }
  IniFile ini = IniFile::ParseLines(decoded);
  const IniFile::Entry* e = ini.FindEntry(section, key);
  if (e == nullptr) return std::nullopt;
  return e->line;
}

std::vector<std::string> IniSekcijaLista(const std::string& section, const std::string& file) {
  IniFile ini = IniFile::Load(file);
  std::vector<std::string> values;
  for (const std::string& key : ini.Keys(section))
    values.push_back(ini.ReadString(section, key, ""));
  return values;
}

std::vector<std::string> IniSekcije(const std::string& file) {
  return IniFile::Load(file).Sections();
}

std::string ReadIniValue(const std::string& exe_folder, const std::string& file_name,
                         const std::string& section, const std::string& key,
                         const std::string& default_value) {
  const std::string path = NamesEqualNoCase(file_name, std::string(kSettingsFileName))
                               ? SettingsFilePath(exe_folder)
                               : FindFileAnyCase(exe_folder, file_name);
  if (path.empty()) return "";
  IniFile ini = IniFile::Load(path);
  if (!ini.Exists()) return "";
  return ini.ReadString(section, key, default_value);
}

std::string SettingsFilePath(const std::string& folder) {
  return FindFileAnyCase(folder, std::string(kSettingsFileName));
}

std::string FindFileAnyCase(const std::string& folder, const std::string& name) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::string path = folder;
  if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '/' || name[i] == '\\') {
      if (i > start) parts.push_back(name.substr(start, i - start));
      start = i + 1;
    }
  }
  if (parts.empty()) return "";
  for (size_t n = 0; n < parts.size(); ++n) {
    const std::string& part = parts[n];
    std::string dir = path.empty() ? "." : path;
    std::string found;
    if (fs::exists(PathFromUtf8(dir) / PathFromUtf8(part), ec)) {
      found = part;
    } else {
      std::vector<std::string> candidates;
      std::vector<platform::FolderEntry> entries;
      platform::ListFolder(dir, entries);
      for (const auto& entry : entries) {
        if (NamesEqualNoCase(entry.name, part)) candidates.push_back(entry.name);
      }
      if (candidates.empty()) return "";
      found = *std::min_element(candidates.begin(), candidates.end());
    }
    path += found;
    if (n + 1 < parts.size()) path += "/";
  }
  return path;
}

}  // namespace zepr
