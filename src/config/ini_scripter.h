#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/enigma.h"

namespace zepr {

// Enciphers and deciphers values marked inside a text file (UPDATE.INI), on its raw CP1250
// lines; it knows nothing of sections or keys.
//
// A marked value is an opening marker, the value and a closing marker of the same kind on one
// line. Whoever edits the file writes a plain value between two encipher markers; a load that
// finds such a pair enciphers that one value, puts it between decipher markers and writes the
// file back (CR LF after every line) through a temporary file beside it, so a failed write
// leaves the file as it was. When no encipher pair is left, a load deciphers every value
// between decipher markers, in file order, into the value list, and writes nothing.
//
// Markers match with ASCII letters compared without case (the small "\x9A" is never a
// marker); a marker spelled in small ASCII letters is taken as a marker in every respect and
// written back in capitals. Rules for text outside the format, chosen so it is never damaged:
// - an opening marker without a closing one on the same line is ordinary text; such a stray
//   encipher marker does not keep the file from being deciphered;
// - several values on one line are handled one by one, only the two markers of the value
//   being enciphered are replaced, so the others keep their own markers.
class TIniScripter {
 public:
  static constexpr std::string_view kEncipherMarker = "<@ENIGMA\x8AIFRIRAJ@>";
  static constexpr std::string_view kDecipherMarker = "<ENIGMADE\x8AIFRIRAJ>";

  void Init();
  // Empties the lines, the cipher list and the value list.
  void Clear();
  // Loads the file and processes its markers; may rewrite the file. A file that cannot be read
  // or written back raises UpdateError naming the path and the system's reason; a damaged
  // enciphered value raises the cipher's UpdateError.
  void LoadFromFile(const std::string& path);

  void AddValue(const std::string& value);
  // The value at index (CP1250 bytes); "" at or beyond the number of values.
  std::string GetValue(size_t index) const;
  size_t ValueCount() const { return values_.size(); }
  // Index of the line the value was deciphered from; npos for an added value or beyond the end.
  size_t ValueLine(size_t index) const;

  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  struct Value {
    std::string text;
    size_t line;
  };
  void Save(const std::string& path) const;

  std::vector<std::string> lines_;
  TEnigma cipher_;
  std::vector<Value> values_;
};

}  // namespace zepr
