#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zepr {

// A keyless substitution cipher over the CP1250 bytes 32..247, used to keep values of
// UPDATE.INI out of plain sight. A character's encipherment depends on the character, its
// place in the line, the line's index, how many characters came before it and the total
// length of the list, so a list deciphers exactly only as the same lines in the same order.
//
// Enciphering doubles a line: a half of flag characters, then the text half, both enciphered.
// Every enciphered byte lies in 32..247, so the result never holds a control character or a
// line break. Flags:
// - "0" for the bytes 32..246, which every earlier version wrote and reads;
// - "L" for the control bytes 0..31 and "H" for 247..255: the byte is moved into 32..63 or
//   32..40 before it is enciphered and moved back after it is deciphered, so such text still
//   deciphers exactly. Earlier versions reject these flags as damaged values.
// On deciphering, a digit flag f is applied the way it always was (the text byte is read f
// higher); any other flag, and a line of odd length, is a damaged value: UpdateError
// "'<text>' is not a valid integer value", and the lines are left as they were.
class TEnigma {
 public:
  void Add(std::string line);
  size_t Count() const { return lines_.size(); }
  const std::string& operator[](size_t i) const { return lines_[i]; }
  const std::vector<std::string>& Lines() const { return lines_; }
  // The lines joined with CR LF after each, as a text list saves them.
  std::string Text() const;

  // Recomputes the whole text and its length from the current lines.
  void Prepare();
  const std::string& WholeText() const { return whole_text_; }
  size_t TextLength() const { return text_length_; }

  void Encipher();
  void Decipher();
  void Clear();

 private:
  std::vector<std::string> lines_;
  std::string whole_text_;
  size_t text_length_ = 0;
};

}  // namespace zepr
