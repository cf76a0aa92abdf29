#include "config/ini_scripter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "config/cp1250_text.h"
#include "config/ini_file.h"
#include "core/encoding.h"
#include "core/text.h"
#include "platform/unique_fd.h"

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

std::string SystemReason(int error) { return std::generic_category().message(error); }

// The folder will not take a new file, or not this one's replacement (a sticky folder and a
// file of another owner, a file mounted on its own), while the file itself may be written.
bool FolderForbids(int error) { return error == EACCES || error == EPERM || error == EBUSY; }

[[noreturn]] void CannotCreate(const std::string& path, int error) {
  throw WriteBackError("Cannot create file \"" + path + "\". " + SystemReason(error));
}

// 0 or the error.
int WriteAt(int fd, std::string_view bytes, off_t offset) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n =
        pwrite(fd, bytes.data() + done, bytes.size() - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    done += static_cast<size_t>(n);
  }
  return 0;
}

int ReadWhole(int fd, std::string& bytes) {
  char buffer[8192];
  for (off_t offset = 0;;) {
    const ssize_t n = pread(fd, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    bytes.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
}

// The same inode gets the new bytes; used only where no new file may be made beside it. The
// old bytes go back when the write fails halfway (a full disk: they fitted before).
void WriteInPlace(const std::string& path, const std::string& target, const std::string& bytes) {
  platform::UniqueFd fd(open(target.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) CannotCreate(path, errno);
  std::string old;
  if (int error = ReadWhole(fd.get(), old)) CannotCreate(path, error);
  int error = WriteAt(fd.get(), bytes, 0);
  if (!error && ftruncate(fd.get(), static_cast<off_t>(bytes.size())) != 0) error = errno;
  if (!error && fsync(fd.get()) != 0) error = errno;
  if (error) {
    // Best effort; the caller learns the error that stopped the write.
    const bool restored =
        WriteAt(fd.get(), old, 0) == 0 && ftruncate(fd.get(), static_cast<off_t>(old.size())) == 0;
    static_cast<void>(restored);
    CannotCreate(path, error);
  }
  if (int close_error = fd.Close()) CannotCreate(path, close_error);
}

// Gives the file behind `path` new contents without changing what it is: a link stays a link,
// the mode and, where the system allows, the owner stay, and a file we may not write is left
// alone.
void WriteBack(const std::string& path, const std::string& bytes) {
  std::error_code ec;
  const std::string target = fs::canonical(path, ec).string();
  if (ec) CannotCreate(path, ec.value());
  struct stat old {};
  if (stat(target.c_str(), &old) != 0) CannotCreate(path, errno);
  if (!S_ISREG(old.st_mode)) CannotCreate(path, EINVAL);
  // A file without any write permission is read-only for us too, privileged or not; rename
  // would replace it regardless, since only the folder's permission counts for that.
  if ((old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) CannotCreate(path, EACCES);
  if (faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) CannotCreate(path, errno);

  const std::string temp = target + ".tmp";
  unlink(temp.c_str());  // left over from a run that was cut short
  platform::UniqueFd out(
      open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out) {
    if (FolderForbids(errno)) return WriteInPlace(path, target, bytes);
    CannotCreate(path, errno);
  }
  int error = WriteAt(out.get(), bytes, 0);
  // Owner first: a change of owner clears the set-user-ID bits that fchmod then sets. Only a
  // privileged process may give a file away; else the group alone is kept where we may.
  if (!error && fchown(out.get(), old.st_uid, old.st_gid) != 0 &&
      fchown(out.get(), static_cast<uid_t>(-1), old.st_gid) != 0) {
    // The new file stays ours.
  }
  if (!error && fchmod(out.get(), old.st_mode & 07777) != 0) error = errno;
  if (!error && fsync(out.get()) != 0) error = errno;
  if (const int close_error = out.Close(); !error) error = close_error;
  if (!error && rename(temp.c_str(), target.c_str()) != 0) {
    error = errno;
    unlink(temp.c_str());
    if (FolderForbids(error)) return WriteInPlace(path, target, bytes);
  }
  if (error) {
    unlink(temp.c_str());
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
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UpdateError("Cannot open file \"" + path + "\". " + SystemReason(errno));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw UpdateError("Cannot open file \"" + path + "\". " + SystemReason(errno));
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
