#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

// The file operations that make an install all or nothing and a settings file never half
// written. Paths are UTF-8. Errors are the system's own, so .message() gives its words; they
// compare equal to the portable std::errc conditions (std::errc::no_such_file_or_directory).
namespace zepr::platform {

// An open file, closed with its owner.
class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(File&& other) noexcept : handle_(other.handle_), locked_(other.locked_) {
    other.handle_ = kNone;
    other.locked_ = false;
  }
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.handle_;
      locked_ = other.locked_;
      other.handle_ = kNone;
      other.locked_ = false;
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  static File OpenForReading(const std::string& path, std::error_code& error);
  // An existing file, for reading and writing; a link at path is not followed.
  static File OpenForWriting(const std::string& path, std::error_code& error);
  // A new file that only its owner may read (POSIX 0600); fails when anything is at path,
  // a link included.
  static File CreateNew(const std::string& path, std::error_code& error);
  // Opens path for reading and writing, creating it when missing, and takes the exclusive lock
  // on it, waiting while another process holds it when wait; else an empty File with no error
  // then. A link at path is not followed (an error). A holder may remove the file while we
  // wait: the lock is taken on the file the name shows when it is granted.
  static File OpenLocked(const std::string& path, bool wait, std::error_code& error);

  explicit operator bool() const { return handle_ != kNone; }

  // Appends the whole file, or its first most bytes, to bytes; on an error, bytes holds what
  // was read before it.
  std::error_code ReadAll(std::string& bytes,
                          uint64_t most = std::numeric_limits<uint64_t>::max()) const;
  std::error_code Size(uint64_t& size) const;
  std::error_code WriteAt(std::string_view bytes, uint64_t offset);
  std::error_code Append(std::string_view bytes);
  std::error_code Truncate(uint64_t size);
  // Waits until the contents are on disk (and what reading them back needs).
  std::error_code SyncData();
  // Waits until the contents and the file's attributes are on disk.
  std::error_code Sync();
  // Removes path, the name of this file, while the file stays open and locked: whoever opens
  // the name from now on finds another file or none, and the file goes when it is closed.
  std::error_code RemoveName(const std::string& path);
  // Gives the file what the regular file at replaced has of its own: the permission bits and,
  // where the process may set them, the owner and group (else the group alone); on Windows the
  // file attributes. Nothing when replaced is not a regular file (a link, a missing file).
  std::error_code TakePermissionsOf(const std::string& replaced);
  // Closes now, so that a failure to close is seen.
  std::error_code Close();

 private:
  static constexpr std::intptr_t kNone = -1;  // the invalid descriptor and handle alike
  explicit File(std::intptr_t handle) : handle_(handle) {}

  std::intptr_t handle_ = kNone;
  bool locked_ = false;
};

// Writes a copy of source as the new file path (which must not exist yet), with the source's
// last-write time. A copy that replaces a file keeps that file's permissions (see
// TakePermissionsOf; the owner without the group fallback): replaced names it (a link or a
// missing file there counts as nothing replaced). Otherwise the copy takes the source's
// permissions. owner_writable adds the owner's write permission (clears read-only on Windows).
// On failure nothing is left at path.
std::error_code CopyFileAs(const std::string& source, const std::string& path,
                           const std::string& replaced, bool owner_writable);

// Renames from to to, replacing the file (not a folder) there; on Windows the rename is on
// disk when it returns. Between file systems nothing is moved: OnAnotherFileSystem tells that
// error.
std::error_code Rename(const std::string& from, const std::string& to);
bool OnAnotherFileSystem(const std::error_code& error);

// One name in a folder, as the folder holds it: links are not followed (on Windows a junction
// or any other reparse point counts as a link).
struct FolderEntry {
  enum class Kind { kFile, kFolder, kLink, kOther };
  std::string name;
  Kind kind = Kind::kOther;
};
// The names in folder, "." and ".." left out, in the order the system gives them. An error
// when the folder cannot be listed whole: a caller must never take that for an empty folder.
std::error_code ListFolder(const std::string& folder, std::vector<FolderEntry>& entries);
// What is at path itself, a link not followed; kOther with the error set when nothing is there.
FolderEntry::Kind KindOf(const std::string& path, std::error_code& error);
// When the file at path itself (a link not followed) was last written.
std::error_code LastWriteTime(const std::string& path, std::chrono::system_clock::time_point& time);

// Removes the file or link at path (never a folder), read-only or not.
std::error_code RemoveFile(const std::string& path);
// Removes the folder only when it is empty.
std::error_code RemoveEmptyFolder(const std::string& path);
// Removes a file, or a folder with everything in it; links are removed, never followed, and
// read-only files go too. Nothing to do when path does not exist. The first error met.
std::error_code RemoveTree(const std::string& path);
// Creates a folder only its owner may enter (POSIX 0700); fails when anything is at path.
std::error_code CreatePrivateFolder(const std::string& path);
// Makes path usable as a folder of the program's own beside the executable: a link (or
// junction) at the name is removed, never followed, and with create a missing folder is made
// as by CreatePrivateFolder. Anything else at the name is left alone: not_a_directory.
std::error_code OwnFolder(const std::string& path, bool create);

// Whether the file at path may be given new contents: a regular file that someone may write
// (one without any write permission, or read-only on Windows, binds a privileged process too)
// and that this process may write. The error says why not.
std::error_code MayRewrite(const std::string& path);

// Waits until the contents of the file at path are on disk; a link is not followed and needs
// nothing.
std::error_code SyncFile(const std::string& path);
// Waits until the contents of every file at paths are on disk; links are not followed, and a
// file this process may not open (on Windows also one in use as a running program's or a
// loaded library's image) is passed over. The first error met.
std::error_code SyncFiles(const std::vector<std::string>& paths);
// Waits until the entries of the folder (names created, renamed or removed in it) are on disk.
// Nothing on Windows, where the renames that matter are written through.
std::error_code SyncFolder(const std::string& folder);
// Waits, as far as the system lets a user, until what was written to the files at paths and
// their folders is on disk: the file systems holding them (POSIX), else each file itself.
void SyncFileSystemsOf(const std::vector<std::string>& paths);

}  // namespace zepr::platform
