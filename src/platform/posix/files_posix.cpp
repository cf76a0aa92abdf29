#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "core/path_text.h"
#include "platform/files.h"
#include "platform/unique_fd.h"

namespace zepr::platform {
namespace {

std::error_code LastError() { return {errno, std::generic_category()}; }

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

std::string ParentOf(const std::string& path) {
  std::string parent = Utf8FromPath(PathFromUtf8(path).parent_path());
  return parent.empty() ? "." : parent;
}

}  // namespace

File File::OpenForReading(const std::string& path, std::error_code& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  error = fd < 0 ? LastError() : std::error_code();
  return File(fd);
}

File File::OpenForWriting(const std::string& path, std::error_code& error) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  error = fd < 0 ? LastError() : std::error_code();
  return File(fd);
}

File File::CreateNew(const std::string& path, std::error_code& error) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  error = fd < 0 ? LastError() : std::error_code();
  return File(fd);
}

File File::OpenLocked(const std::string& path, bool wait, std::error_code& error) {
  error.clear();
  for (;;) {
    File file(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!file) {
      error = LastError();
      return {};
    }
    if (flock(Fd(file.handle_), wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) error = LastError();
      return {};
    }
    // The holder before us may have removed the file while we waited for it: then the lock is
    // on a file nobody else will see, and the file is taken afresh.
    struct stat held {
    }, named{};
    if (fstat(Fd(file.handle_), &held) == 0 && stat(path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      file.locked_ = true;
      return file;
    }
  }
}

std::error_code File::ReadAll(std::string& bytes, uint64_t most) const {
  std::string buffer(1 << 16, '\0');
  for (uint64_t at = 0; at < most;) {
    const auto wanted = static_cast<size_t>(std::min<uint64_t>(buffer.size(), most - at));
    const ssize_t n = pread(Fd(handle_), buffer.data(), wanted, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastError();
    if (n == 0) return {};
    bytes.append(buffer.data(), static_cast<size_t>(n));
    at += static_cast<uint64_t>(n);
  }
  return {};
}

std::error_code File::Size(uint64_t& size) const {
  struct stat st {};
  if (fstat(Fd(handle_), &st) != 0) return LastError();
  size = static_cast<uint64_t>(st.st_size);
  return {};
}

std::error_code File::WriteAt(std::string_view bytes, uint64_t offset) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = pwrite(Fd(handle_), bytes.data() + done, bytes.size() - done,
                             static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastError();
    done += static_cast<size_t>(n);
  }
  return {};
}

std::error_code File::Append(std::string_view bytes) {
  struct stat st {};
  if (fstat(Fd(handle_), &st) != 0) return LastError();
  return WriteAt(bytes, static_cast<uint64_t>(st.st_size));
}

std::error_code File::Truncate(uint64_t size) {
  return ftruncate(Fd(handle_), static_cast<off_t>(size)) == 0 ? std::error_code() : LastError();
}

std::error_code File::SyncData() {
  return fdatasync(Fd(handle_)) == 0 ? std::error_code() : LastError();
}

std::error_code File::Sync() { return fsync(Fd(handle_)) == 0 ? std::error_code() : LastError(); }

std::error_code File::RemoveName(const std::string& path) {
  return unlink(path.c_str()) == 0 ? std::error_code() : LastError();
}

std::error_code File::TakePermissionsOf(const std::string& replaced) {
  struct stat old {};
  if (lstat(replaced.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return {};
  // Owner first: a change of owner clears the set-user-ID bits that fchmod then sets. Only a
  // privileged process may give a file away; else the group alone is kept where we may.
  if (fchown(Fd(handle_), old.st_uid, old.st_gid) != 0 &&
      fchown(Fd(handle_), static_cast<uid_t>(-1), old.st_gid) != 0) {
    // The file stays ours.
  }
  return fchmod(Fd(handle_), old.st_mode & 07777) == 0 ? std::error_code() : LastError();
}

std::error_code File::Close() {
  if (handle_ == kNone) return {};
  const int fd = Fd(handle_);
  handle_ = kNone;
  locked_ = false;
  return close(fd) == 0 ? std::error_code() : LastError();
}

std::error_code CopyFileAs(const std::string& source, const std::string& path,
                           const std::string& replaced, bool owner_writable) {
  const UniqueFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat from {};
  if (!in || fstat(in.get(), &from) != 0) return LastError();
  if (!S_ISREG(from.st_mode)) return std::make_error_code(std::errc::invalid_argument);
  mode_t mode = from.st_mode & 07777;
  struct stat old {};
  const bool replaces =
      !replaced.empty() && lstat(replaced.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  if (replaces) mode = old.st_mode & 07777;
  if (owner_writable) mode |= S_IWUSR;

  UniqueFd out(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!out) return LastError();
  std::error_code error;
  // In-kernel copy where the file systems allow it, plain reads and writes elsewhere.
  bool in_kernel = true;
  std::vector<char> buffer;
  for (off_t done = 0; !error && done < from.st_size;) {
    ssize_t n = -1;
    if (in_kernel) {
      n = copy_file_range(in.get(), nullptr, out.get(), nullptr,
                          static_cast<size_t>(from.st_size - done), 0);
      if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
                    errno == EBADF)) {
        in_kernel = false;
        continue;
      }
    } else {
      buffer.resize(1 << 18);
      n = read(in.get(), buffer.data(), buffer.size());
      for (ssize_t written = 0; n > 0 && written < n;) {
        const ssize_t w =
            write(out.get(), buffer.data() + written, static_cast<size_t>(n - written));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) {
          n = -1;
          break;
        }
        written += w;
      }
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = LastError();
    if (n == 0) break;  // the source shrank while it was copied
    if (n > 0) done += n;
  }
  // Owner first: a change of owner clears the set-user-ID bits that fchmod then sets.
  if (!error && replaces && fchown(out.get(), old.st_uid, old.st_gid) != 0) {
    // Only a privileged process may give a file away; the copy then stays ours.
  }
  if (!error && fchmod(out.get(), mode) != 0) error = LastError();
  const timespec times[2] = {{0, UTIME_OMIT}, from.st_mtim};
  if (!error && futimens(out.get(), times) != 0) error = LastError();
  // No writeback is started here: one file at a time it cost more than it saved (and put the
  // data in the way of the install's journal flushes); SyncFiles writes many files at once.
  if (!error && close(out.Release()) != 0) error = LastError();
  if (error) unlink(path.c_str());
  return error;
}

std::error_code Rename(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0 ? std::error_code() : LastError();
}

bool OnAnotherFileSystem(const std::error_code& error) {
  return error == std::errc::cross_device_link;
}

namespace {

FolderEntry::Kind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return FolderEntry::Kind::kFile;
  if (S_ISDIR(mode)) return FolderEntry::Kind::kFolder;
  if (S_ISLNK(mode)) return FolderEntry::Kind::kLink;
  return FolderEntry::Kind::kOther;
}

}  // namespace

std::error_code ListFolder(const std::string& folder, std::vector<FolderEntry>& entries) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return LastError();
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    const std::error_code error = LastError();
    close(fd);
    return error;
  }
  std::error_code error;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) error = LastError();
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    FolderEntry::Kind kind = FolderEntry::Kind::kOther;
    switch (entry->d_type) {
      case DT_REG:
        kind = FolderEntry::Kind::kFile;
        break;
      case DT_DIR:
        kind = FolderEntry::Kind::kFolder;
        break;
      case DT_LNK:
        kind = FolderEntry::Kind::kLink;
        break;
      case DT_UNKNOWN: {
        // Some file systems leave the type to a stat of the entry.
        struct stat st {};
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
          kind = KindOfMode(st.st_mode);
        }
        break;
      }
      default:
        break;
    }
    entries.push_back({std::string(name), kind});
  }
  closedir(dir);
  return error;
}

FolderEntry::Kind KindOf(const std::string& path, std::error_code& error) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    error = LastError();
    return FolderEntry::Kind::kOther;
  }
  error.clear();
  return KindOfMode(st.st_mode);
}

std::error_code LastWriteTime(const std::string& path,
                              std::chrono::system_clock::time_point& time) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return LastError();
  time = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
  return {};
}

std::error_code RemoveFile(const std::string& path) {
  return unlink(path.c_str()) == 0 ? std::error_code() : LastError();
}

std::error_code RemoveEmptyFolder(const std::string& path) {
  return rmdir(path.c_str()) == 0 ? std::error_code() : LastError();
}

namespace {

// Runs work on this thread and on up to `helpers` more at once (fewer when no thread can be
// started): for calls that wait on the disk, not on the processor.
void InParallel(size_t helpers, const std::function<void()>& work) {
  std::vector<std::jthread> threads;
  for (size_t k = 0; k < helpers; ++k) {
    try {
      threads.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
}

// Removes everything in the open folder; the first error goes to first. A name is never
// followed as a link: a sub-folder is opened only when it is a folder itself.
void RemoveContents(int folder, std::error_code& first) {
  std::mutex mutex;
  const auto note = [&](const std::error_code& error) {
    const std::lock_guard lock(mutex);
    if (!first && error != std::errc::no_such_file_or_directory) first = error;
  };
  // The whole listing first: a folder changed while it is read may list names twice or not at
  // all.
  std::vector<std::string> names;
  std::vector<bool> maybe_folder;
  {
    const int listed = dup(folder);  // closedir closes it
    DIR* dir = listed < 0 ? nullptr : fdopendir(listed);
    if (dir == nullptr) {
      note(LastError());
      if (listed >= 0) close(listed);
      return;
    }
    for (;;) {
      errno = 0;
      const dirent* entry = readdir(dir);
      if (entry == nullptr) {
        if (errno != 0) note(LastError());
        break;
      }
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      names.emplace_back(name);
      maybe_folder.push_back(entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN);
    }
    closedir(dir);
  }
  std::vector<const std::string*> files;
  for (size_t i = 0; i < names.size(); ++i) {
    const char* name = names[i].c_str();
    if (maybe_folder[i]) {
      const UniqueFd sub(openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (sub) {
        RemoveContents(sub.get(), first);
        if (unlinkat(folder, name, AT_REMOVEDIR) != 0) note(LastError());
        continue;
      }
      if (errno != ENOTDIR && errno != ELOOP) {
        note(LastError());
        continue;
      }
    }
    files.push_back(&names[i]);
  }
  // Where the file system discards the blocks of a removed file at once, every removal waits
  // for the disk: many at a time, those waits overlap.
  constexpr size_t kAtOnce = 8;
  std::atomic<size_t> next{0};
  InParallel(std::min(kAtOnce, files.size()) - (files.empty() ? 0 : 1), [&] {
    for (size_t i; (i = next++) < files.size();) {
      if (unlinkat(folder, files[i]->c_str(), 0) != 0) note(LastError());
    }
  });
}

}  // namespace

std::error_code RemoveTree(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? std::error_code() : LastError();
  }
  if (!S_ISDIR(st.st_mode)) return RemoveFile(path);
  std::error_code first;
  {
    const UniqueFd folder(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) return LastError();
    RemoveContents(folder.get(), first);
  }
  if (!first && rmdir(path.c_str()) != 0 && errno != ENOENT) first = LastError();
  return first;
}

std::error_code CreatePrivateFolder(const std::string& path) {
  return mkdir(path.c_str(), 0700) == 0 ? std::error_code() : LastError();
}

std::error_code MayRewrite(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return LastError();
  if (!S_ISREG(st.st_mode)) return std::make_error_code(std::errc::invalid_argument);
  // A file without any write permission is read-only for us too, privileged or not; rename
  // would replace it regardless, since only the folder's permission counts for that.
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    return std::make_error_code(std::errc::permission_denied);
  }
  if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return LastError();
  return {};
}

std::error_code SyncFile(const std::string& path) {
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return errno == ELOOP ? std::error_code() : LastError();
  return fsync(fd.get()) == 0 ? std::error_code() : LastError();
}

std::error_code SyncFiles(const std::vector<std::string>& paths) {
  // Each flush writes its file and then mostly waits for a commit of the file system, which the
  // flushes waiting together share: many at once.
  constexpr size_t kAtOnce = 32;
  std::atomic<size_t> next{0};
  std::mutex mutex;
  std::error_code first;
  const auto work = [&] {
    for (size_t i; (i = next++) < paths.size();) {
      const UniqueFd fd(open(paths[i].c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
      std::error_code error;
      if (!fd) {
        if (errno != EACCES && errno != ELOOP) error = LastError();
      } else if (fdatasync(fd.get()) != 0) {
        error = LastError();
      }
      if (error) {
        const std::lock_guard lock(mutex);
        if (!first) first = error;
      }
    }
  };
  InParallel(std::min(kAtOnce, paths.size()) - (paths.empty() ? 0 : 1), work);
  return first;
}

std::error_code SyncFolder(const std::string& folder) {
  const UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd || fsync(fd.get()) != 0) return LastError();
  return {};
}

void SyncFileSystemsOf(const std::vector<std::string>& paths) {
  // One syncfs per file system: the folders also hold the renames.
  std::set<dev_t> synced;
  for (const auto& path : paths) {
    const std::string folder = ParentOf(path);
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0 || !synced.insert(st.st_dev).second) continue;
    const UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) syncfs(fd.get());
  }
}

}  // namespace zepr::platform
