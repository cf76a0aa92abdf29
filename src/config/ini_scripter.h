#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/enigma.h"
#include "core/errors.h"

namespace zepr {

// The file could not be written back, or may not be: it is left as it was before the load.
class WriteBackError : public UpdateError {
 public:
  using UpdateError::UpdateError;
};

// Enciphers and deciphers values marked inside a text file (UPDATE.INI), on its raw lines; it
// knows nothing of sections or keys. The file is taken in the encoding the INI reader finds
// (SplitIniText): CP1250, or UTF-8 after a byte-order mark, and is written back in it, mark
// included; the cipher always works on the CP1250 bytes of a value.
//
// A marked value is an opening marker, the value and a closing marker of the same kind on one
// line. Whoever edits the file writes a plain value between two encipher markers; a load that
// finds such a pair enciphers that one value, puts it between decipher markers and writes the
// file back (CR LF after every line). When no encipher pair is left, a load deciphers every
// value between decipher markers, in file order, into the value list, and writes nothing.
//
// The write-back changes the file's contents only, never what the file is: a symbolic link is
// followed and its target rewritten, through a temporary file beside the target that is renamed
// over it; the mode and, where the system allows, the owner are kept. Where the folder forbids
// the temporary file (or the rename) but the file itself may be written, the file is rewritten
// in place. A file the process may not write, or that nobody may write (no write permission
// bit, which binds a privileged process too), is not replaced: WriteBackError, like a write
// that failed, and the file stays as it was.
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
  // raises UpdateError, one that cannot be written back WriteBackError, each naming the path
  // and the system's reason; a damaged enciphered value raises the cipher's UpdateError.
  void LoadFromFile(const std::string& path);
  // Loads the file and deciphers it as a load that finds nothing to encipher does, even while
  // values wait to be enciphered (those stay as they are); never writes.
  void DecipherFile(const std::string& path);

  void AddValue(const std::string& value);
  // The value at index (CP1250 bytes); "" at or beyond the number of values.
  std::string GetValue(size_t index) const;
  size_t ValueCount() const { return values_.size(); }
  // Index of the line the value was deciphered from; npos for an added value or beyond the end.
  size_t ValueLine(size_t index) const;

  // The file's lines in its own encoding, without the byte-order mark.
  const std::vector<std::string>& Lines() const { return lines_; }
  // The lines are UTF-8 (the file began with a byte-order mark); else CP1250.
  bool IsUtf8() const { return utf8_; }

 private:
  struct Value {
    std::string text;
    size_t line;
  };
  void Load(const std::string& path, bool may_encipher);
  void Save(const std::string& path) const;

  std::vector<std::string> lines_;
  TEnigma cipher_;
  std::vector<Value> values_;
  bool bom_ = false;
  bool utf8_ = false;
};

}  // namespace zepr
