#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zepr {

// How a file's bytes are taken as text: after a UTF-8 byte-order mark, text that is valid
// UTF-8 is UTF-8; everything else is CP1250 (a mark before CP1250 text is dropped).
struct IniText {
  bool bom = false;   // the file starts with the mark
  bool utf8 = false;  // `body` is UTF-8; else CP1250
  std::string body;   // the bytes after the mark
};
IniText SplitIniText(const std::string& bytes);

// A read-only INI file with the rules the system's files were always written for:
// - Lines end in CR LF, LF or a lone CR. A UTF-8 byte-order mark at the start is skipped and
//   the file is then read as UTF-8; every other file is CP1250 and becomes UTF-8 here.
// - "[name]" opens a section; blanks around the brackets and inside them at either end are
//   ignored, anything after "]" too. A "[" line without "]" names the section with the rest of
//   the line. A section name that occurs again is ignored with its keys: lookups always stop at
//   the first section of that name.
// - "key=value": the key is everything before the first "=", the value everything after it,
//   both with surrounding blanks removed. Keys before the first section belong to no section
//   and are never found.
// - Lines whose first non-blank character is ";" are comments. Lines without "=" are ignored
//   (they are neither keys nor values), so a stray word never becomes an empty list entry.
//   A ";" later in a line is part of the value.
// - Section and key names match without regard to letter case, Croatian letters included.
// - No limit on the number or total length of key or section names: a long install script is
//   read whole rather than silently cut.
class IniFile {
 public:
  // Reads the file; its CP1250 bytes become UTF-8. A missing or unreadable file gives an empty
  // IniFile. When the path does not exist as written, a file of the same name in another
  // letter case in the same folder is read.
  static IniFile Load(const std::string& path);
  bool Exists() const;                                              // the file was there
  std::vector<std::string> Sections() const;                        // file order
  std::vector<std::string> Keys(const std::string& section) const;  // file order, as written
  // First occurrence of the key wins; values trimmed, one pair of enclosing quotes removed,
  // at most 2047 characters; names match without regard to case.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& default_value) const;

 private:
  struct Entry {
    std::string key;    // UTF-8, as written
    std::string value;  // UTF-8, trimmed, quotes still on
    size_t line;        // index of the file line it was read from
  };
  struct Section {
    std::string name;  // UTF-8, as written
    std::vector<Entry> entries;
  };
  static IniFile Parse(const std::string& bytes);
  // The lines of a file already taken apart and in UTF-8.
  static IniFile ParseLines(const std::vector<std::string>& lines);
  const Section* FindSection(const std::string& name) const;
  const Entry* FindEntry(const std::string& section, const std::string& key) const;
  friend std::optional<size_t> IniKeyLine(const std::vector<std::string>& lines, bool utf8,
                                          const std::string& section, const std::string& key);

  bool exists_ = false;
  std::vector<Section> sections_;
};

// Values of every key of the section, in key order (a duplicated key yields its first value
// each time).
std::vector<std::string> IniSekcijaLista(const std::string& section, const std::string& file);
// Section names of the file, in file order; empty for a missing file.
std::vector<std::string> IniSekcije(const std::string& file);
// file_name relative to exe_folder (which ends with a separator); "" when the file is missing,
// default_value when the key is missing; never creates a file. The settings file, in whatever
// letter case it is named, is the one SettingsFilePath chooses.
std::string ReadIniValue(const std::string& exe_folder, const std::string& file_name,
                         const std::string& section, const std::string& key,
                         const std::string& default_value);
// The file's path as it is on disk, matching the name without regard to letter case
// ("UPDATE.INI" and "Update.ini" are one file on a case-sensitive file system); "" when none.
// An exact match wins; among several other spellings the first in name order is taken.
// `name` may hold several components separated by "/" or "\", each matched the same way.
std::string FindFileAnyCase(const std::string& folder, const std::string& name);

inline constexpr std::string_view kSettingsFileName = "UPDATE.INI";

// The settings file of `folder` as it is spelt on disk; "" when there is none. Several
// spellings can live side by side on a case-sensitive file system (UPDATE.INI, Update.ini), so
// every read and write of the settings goes through this one choice: "UPDATE.INI" itself when
// it exists, else the first of the other spellings in name order.
std::string SettingsFilePath(const std::string& folder);

// Index of the line that holds the value ReadString would give for section and key, in the
// lines of an INI file without its byte-order mark (split at CR LF, LF or a lone CR), UTF-8 or
// CP1250 as SplitIniText found; nullopt when there is none.
std::optional<size_t> IniKeyLine(const std::vector<std::string>& lines, bool utf8,
                                 const std::string& section, const std::string& key);

// Compares names as the INI rules and file lookups do: letter case of ASCII and of the
// Croatian letters ignored. Both arguments are UTF-8.
bool NamesEqualNoCase(const std::string& a, const std::string& b);
// What NamesEqualNoCase compares: two names are equal when their keys are.
std::u32string FoldedName(const std::string& name);

}  // namespace zepr
