#include "config/ini_scripter.h"

#include <filesystem>
#include <system_error>

#include "config/cp1250_text.h"
#include "config/ini_file.h"
#include "core/encoding.h"
#include "core/path_text.h"
#include "core/text.h"
#include "platform/files.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Position of the marker at or after `from`, ASCII letters compared without case.
size_t FindMarker(const std::string& line, std::string_view marker, size_t from) {
  for (size_t p = from; p + marker.size() <= line.size(); ++p) {
    if (AsciiUpper(std::string_view(line).substr(p, marker.size())) == marker) return p;
  }
  return std::string::npos;
}

struct Pair {
  size_t open = std::string::npos;
  size_t close = std::string::npos;
};

Pair FindPair(const std::string& line, std::string_view marker, size_t from) {
  Pair pair;
  pair.open = FindMarker(line, marker, from);
  if (pair.open != std::string::npos) {
    pair.close = FindMarker(line, marker, pair.open + marker.size());
  }
  return pair;
}

// The folder will not take a new file, or not this one's replacement (a sticky folder and a
// file of another owner, a file mounted on its own), while the file itself may be written.
bool FolderForbids(const std::error_code& error) {
  return error == std::errc::permission_denied || error == std::errc::operation_not_permitted ||
         error == std::errc::device_or_resource_busy;
}

[[noreturn]] void CannotCreate(const std::string& path, const std::error_code& error) {
  throw WriteBackError("Cannot create file \"" + path + "\". " + error.message());
}

// The same file gets the new bytes; used only where no new file may be made beside it. The
// old bytes go back when the write fails halfway (a full disk: they fitted before).
void WriteInPlace(const std::string& path, const std::string& target, const std::string& bytes) {
  std::error_code error;
  platform::File file = platform::File::OpenForWriting(target, error);
  if (!file) CannotCreate(path, error);
  std::string old;
  if ((error = file.ReadAll(old))) CannotCreate(path, error);
  if (!(error = file.WriteAt(bytes, 0)) && !(error = file.Truncate(bytes.size()))) {
    error = file.Sync();
  }
  if (error) {
    // Best effort; the caller learns the error that stopped the write.
    if (!file.WriteAt(old, 0)) file.Truncate(old.size());
    CannotCreate(path, error);
  }
  if ((error = file.Close())) CannotCreate(path, error);
}

// Gives the file behind `path` new contents without changing what it is: a link stays a link,
// the mode and, where the system allows, the owner stay, and a file we may not write is left
// alone.
void WriteBack(const std::string& path, const std::string& bytes) {
  std::error_code error;
  const std::string target = Utf8FromPath(std::filesystem::canonical(PathFromUtf8(path), error));
  if (error) CannotCreate(path, error);
  if ((error = platform::MayRewrite(target))) CannotCreate(path, error);

  const std::string temp = target + ".tmp";
  platform::RemoveFile(temp);  // left over from a run that was cut short
  platform::File out = platform::File::CreateNew(temp, error);
  if (!out) {
    if (FolderForbids(error)) return WriteInPlace(path, target, bytes);
    CannotCreate(path, error);
  }
  error = out.WriteAt(bytes, 0);
  if (!error) error = out.TakePermissionsOf(target);
  if (!error) error = out.Sync();
  if (const std::error_code close_error = out.Close(); !error) error = close_error;
  if (!error && (error = platform::Rename(temp, target))) {
    platform::RemoveFile(temp);
    if (FolderForbids(error)) return WriteInPlace(path, target, bytes);
  }
  if (error) {
    platform::RemoveFile(temp);
    CannotCreate(path, error);
  }
}

}  // namespace

void TIniScripter::Init() { Clear(); }

void TIniScripter::Clear() {
  lines_.clear();
  cipher_.Clear();
  values_.clear();
  bom_ = false;
  utf8_ = false;
}

void TIniScripter::AddValue(const std::string& value) {
  values_.push_back(Value{value, std::string::npos});
}

std::string TIniScripter::GetValue(size_t index) const {
  return index < values_.size() ? values_[index].text : std::string();
}

size_t TIniScripter::ValueLine(size_t index) const {
  return index < values_.size() ? values_[index].line : std::string::npos;
}

void TIniScripter::LoadFromFile(const std::string& path) { Load(path, true); }

void TIniScripter::DecipherFile(const std::string& path) { Load(path, false); }

void TIniScripter::Load(const std::string& path, bool may_encipher) {
  std::error_code error;
  std::string bytes;
  const platform::File in = platform::File::OpenForReading(path, error);
  if (in) error = in.ReadAll(bytes);
  if (error) throw UpdateError("Cannot open file \"" + path + "\". " + error.message());
  Clear();
  IniText text = SplitIniText(bytes);
  bom_ = text.bom;
  utf8_ = text.utf8;
  lines_ = SplitLines(text.body);

  // Markers and values in the file's own encoding; the cipher takes CP1250 bytes.
  auto in_file = [&](std::string_view cp1250) {
    return utf8_ ? Cp1250BytesToText(cp1250) : std::string(cp1250);
  };
  auto to_cp1250 = [&](std::string_view s) {
    return utf8_ ? TextToCp1250Bytes(s) : std::string(s);
  };
  const std::string encipher_marker = in_file(kEncipherMarker);
  const std::string decipher_marker = in_file(kDecipherMarker);

  bool encipher = false;
  for (size_t i = 0; may_encipher && !encipher && i < lines_.size(); ++i) {
    encipher = FindPair(lines_[i], encipher_marker, 0).close != std::string::npos;
  }
  const std::string& marker = encipher ? encipher_marker : decipher_marker;
  const size_t width = marker.size();

  for (size_t i = 0; i < lines_.size(); ++i) {
    std::string& line = lines_[i];
    for (size_t from = 0;;) {
      Pair pair = FindPair(line, marker, from);
      if (pair.close == std::string::npos) break;
      cipher_.Clear();
      cipher_.Add(to_cp1250(line.substr(pair.open + width, pair.close - pair.open - width)));
      if (encipher) {
        cipher_.Encipher();
        const std::string value = in_file(cipher_[0]);
        cipher_.Clear();
        const std::string before = line;
        line = line.substr(0, pair.open) + decipher_marker + value + decipher_marker +
               line.substr(pair.close + width);
        try {
          Save(path);
        } catch (const WriteBackError&) {
          line = before;  // the list stays what the file is
          throw;
        }
        return;  // one value per load
      }
      cipher_.Decipher();
      const std::string plain = cipher_[0];
      cipher_.Clear();
      values_.push_back(Value{plain, i});
      const std::string shown = in_file(plain);
      line = line.substr(0, pair.open + width) + shown + line.substr(pair.close);
      from = pair.open + width + shown.size() + width;
    }
  }
}

void TIniScripter::Save(const std::string& path) const {
  std::string bytes = bom_ ? std::string(kByteOrderMark) : std::string();
  for (const std::string& line : lines_) bytes += line + "\r\n";
  WriteBack(path, bytes);
}

}  // namespace zepr
