#include <windows.h>

#include <algorithm>
#include <string_view>

#include "platform/files.h"
#include "platform/win32/wide.h"

namespace zepr::platform {

namespace {

constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kLongServerPrefix = L"\\\\?\\UNC\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";

bool IsDrivePath(std::wstring_view path) {
  return path.size() >= 3 &&
         ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
         path[1] == L':' && path[2] == L'\\';
}

}  // namespace

// The one way from our paths to the system's file functions (see wide.h).
std::wstring FileSystemPath(std::string_view path) {
  std::wstring wide = Utf8ToWide(path);
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  if (wide.empty() || wide.starts_with(kLongPrefix) || wide.starts_with(kDevicePrefix)) {
    return wide;
  }
  std::wstring full(wide.size() + MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return wide;
    const bool fits = n < full.size();
    full.resize(n);
    if (fits) break;
  }
  if (IsDrivePath(full)) return std::wstring(kLongPrefix) + full;
  if (full.starts_with(L"\\\\") && !full.starts_with(kDevicePrefix)) {
    return std::wstring(kLongServerPrefix) + full.substr(2);
  }
  return full;
}

std::wstring PlainSystemPath(std::wstring_view path) {
  if (path.starts_with(kLongServerPrefix)) {
    return L"\\\\" + std::wstring(path.substr(kLongServerPrefix.size()));
  }
  if (path.starts_with(kLongPrefix) && IsDrivePath(path.substr(kLongPrefix.size()))) {
    path.remove_prefix(kLongPrefix.size());
  }
  return std::wstring(path);
}

namespace {

// The system's words for its codes (the runtime's own table has only short English names),
// compared with std::errc as the runtime's system category compares them.
class Win32Category : public std::error_category {
 public:
  const char* name() const noexcept override { return "win32"; }
  std::string message(int code) const override { return SystemErrorText(static_cast<DWORD>(code)); }
  std::error_condition default_error_condition(int code) const noexcept override {
    return std::system_category().default_error_condition(code);
  }
};

std::error_code Win32Error(DWORD code) {
  static const Win32Category category;
  return {static_cast<int>(code), category};
}

std::error_code LastError() { return Win32Error(GetLastError()); }

HANDLE Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The attributes a file may be given; the others are the system's to set.
constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                            FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY;

bool IsRegular(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

DWORD Settable(DWORD attributes) {
  attributes &= kSettable;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

std::intptr_t Open(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                   DWORD flags, std::error_code& error) {
  const HANDLE handle = CreateFileW(FileSystemPath(path).c_str(), access, share, nullptr,
                                    disposition, flags, nullptr);
  error = handle == INVALID_HANDLE_VALUE ? LastError() : std::error_code();
  return reinterpret_cast<std::intptr_t>(handle);
}

// Does what may_fail does to the file at path; a read-only file, which the system refuses to
// open for writing, rename over or remove, is made writable first (and read-only again when
// that fails too). POSIX allows the rename and the removal whatever the file's permissions.
template <typename Action>
bool EvenIfReadOnly(const std::wstring& path, Action may_fail) {
  if (may_fail()) return true;
  const DWORD error = GetLastError();
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (error != ERROR_ACCESS_DENIED || !IsRegular(attributes) ||
      (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      !SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    SetLastError(error);
    return false;
  }
  if (may_fail()) return true;
  const DWORD second = GetLastError();
  SetFileAttributesW(path.c_str(), attributes);
  SetLastError(second);
  return false;
}

// The volume and the number of the file behind a handle: equal for two handles of one file.
bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION x{}, y{};
  return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
         x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
}

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

}  // namespace

File File::OpenForReading(const std::string& path, std::error_code& error) {
  return File(Open(path, GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, error));
}

File File::OpenForWriting(const std::string& path, std::error_code& error) {
  return File(Open(path, GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_EXISTING,
                   FILE_FLAG_OPEN_REPARSE_POINT, error));
}

File File::CreateNew(const std::string& path, std::error_code& error) {
  File file(Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, error));
  // A folder in the way is refused as access denied, which callers take for a folder that
  // forbids new files; it is something existing there.
  if (!file && error == std::errc::permission_denied &&
      GetFileAttributesW(FileSystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES) {
    error = Win32Error(ERROR_FILE_EXISTS);
  }
  return file;
}

File File::OpenLocked(const std::string& path, bool wait, std::error_code& error) {
  const std::wstring wide = FileSystemPath(path);
  for (;;) {
    // Shared for removal, so that the holder can remove the file it holds (RemoveName). A link
    // (any reparse point) is opened as itself and refused, as O_NOFOLLOW refuses it.
    File file(Open(path, GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_ALWAYS,
                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, error));
    if (!file) return {};
    BY_HANDLE_FILE_INFORMATION opened{};
    if (!GetFileInformationByHandle(Handle(file.handle_), &opened)) {
      error = LastError();
      return {};
    }
    if (!IsRegular(opened.dwFileAttributes)) {
      error = Win32Error(ERROR_CANT_ACCESS_FILE);
      return {};
    }
    OVERLAPPED whole{};
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (!LockFileEx(Handle(file.handle_), flags, 0, MAXDWORD, MAXDWORD, &whole)) {
      const DWORD code = GetLastError();
      if (code != ERROR_LOCK_VIOLATION && code != ERROR_IO_PENDING) error = Win32Error(code);
      return {};
    }
    file.locked_ = true;
    // The holder before us may have removed the file while we waited for it: then the lock is
    // on a file nobody else will see, and the file is taken afresh.
    const HANDLE named =
        CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const bool same = named != INVALID_HANDLE_VALUE && SameFile(Handle(file.handle_), named);
    if (named != INVALID_HANDLE_VALUE) CloseHandle(named);
    if (same) {
      error.clear();
      return file;
    }
  }
}

std::error_code File::ReadAll(std::string& bytes, uint64_t most) const {
  std::string buffer(1 << 16, '\0');
  for (uint64_t offset = 0; offset < most;) {
    OVERLAPPED at = At(offset);
    DWORD n = 0;
    const auto wanted = static_cast<DWORD>(std::min<uint64_t>(buffer.size(), most - offset));
    if (!ReadFile(Handle(handle_), buffer.data(), wanted, &n, &at)) {
      const DWORD code = GetLastError();
      return code == ERROR_HANDLE_EOF ? std::error_code() : Win32Error(code);
    }
    if (n == 0) return {};
    bytes.append(buffer.data(), n);
    offset += n;
  }
  return {};
}

std::error_code File::Size(uint64_t& size) const {
  LARGE_INTEGER length{};
  if (!GetFileSizeEx(Handle(handle_), &length)) return LastError();
  size = static_cast<uint64_t>(length.QuadPart);
  return {};
}

std::error_code File::WriteAt(std::string_view bytes, uint64_t offset) {
  constexpr size_t kMostAtOnce = 1 << 30;
  for (size_t done = 0; done < bytes.size();) {
    OVERLAPPED at = At(offset + done);
    DWORD n = 0;
    const auto part = static_cast<DWORD>(std::min(bytes.size() - done, kMostAtOnce));
    if (!WriteFile(Handle(handle_), bytes.data() + done, part, &n, &at)) return LastError();
    done += n;
  }
  return {};
}

std::error_code File::Append(std::string_view bytes) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(Handle(handle_), &size)) return LastError();
  return WriteAt(bytes, static_cast<uint64_t>(size.QuadPart));
}

std::error_code File::Truncate(uint64_t size) {
  // Every read and write names its offset, so moving the file pointer here disturbs none.
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(size);
  return SetFilePointerEx(Handle(handle_), end, nullptr, FILE_BEGIN) &&
                 SetEndOfFile(Handle(handle_))
             ? std::error_code()
             : LastError();
}

std::error_code File::SyncData() { return Sync(); }

std::error_code File::Sync() {
  return FlushFileBuffers(Handle(handle_)) ? std::error_code() : LastError();
}

std::error_code File::RemoveName(const std::string& path) {
  // A file removed while open keeps its name until the last handle to it is closed, and a
  // process waiting for its lock holds one: the name is moved aside first, so that the waiter
  // sees the removal when it gets the lock.
  const std::wstring aside =
      FileSystemPath(path + ".removed" + std::to_string(GetCurrentProcessId()));
  if (!MoveFileExW(FileSystemPath(path).c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return LastError();
  }
  return DeleteFileW(aside.c_str()) ? std::error_code() : LastError();
}

std::error_code File::TakePermissionsOf(const std::string& replaced) {
  const DWORD attributes = GetFileAttributesW(FileSystemPath(replaced).c_str());
  if (!IsRegular(attributes)) return {};
  FILE_BASIC_INFO basic{};  // times left at zero stay as they are
  basic.FileAttributes = Settable(attributes);
  return SetFileInformationByHandle(Handle(handle_), FileBasicInfo, &basic, sizeof basic)
             ? std::error_code()
             : LastError();
}

std::error_code File::Close() {
  if (handle_ == kNone) return {};
  const HANDLE handle = Handle(handle_);
  // The system frees the locks of a closed file only in due course; the next updater should
  // not wait for that.
  if (locked_) {
    OVERLAPPED whole{};
    UnlockFileEx(handle, 0, MAXDWORD, MAXDWORD, &whole);
  }
  handle_ = kNone;
  locked_ = false;
  return CloseHandle(handle) ? std::error_code() : LastError();
}

std::error_code CopyFileAs(const std::string& source, const std::string& path,
                           const std::string& replaced, bool owner_writable) {
  const std::wstring from = FileSystemPath(source);
  const std::wstring to = FileSystemPath(path);
  DWORD attributes = GetFileAttributesW(from.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  if (!replaced.empty()) {
    const DWORD old = GetFileAttributesW(FileSystemPath(replaced).c_str());
    if (IsRegular(old)) attributes = old;
  }
  if (owner_writable) attributes &= ~FILE_ATTRIBUTE_READONLY;

  // The copy takes the source's contents and last-write time.
  if (!CopyFileExW(from.c_str(), to.c_str(), nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS)) {
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
      EvenIfReadOnly(to, [&] { return DeleteFileW(to.c_str()) != 0; });
    }
    return Win32Error(code);
  }
  if (!SetFileAttributesW(to.c_str(), Settable(attributes))) {
    const std::error_code error = LastError();
    EvenIfReadOnly(to, [&] { return DeleteFileW(to.c_str()) != 0; });
    return error;
  }
  return {};
}

std::error_code Rename(const std::string& from, const std::string& to) {
  const std::wstring wide_from = FileSystemPath(from);
  const std::wstring wide_to = FileSystemPath(to);
  return EvenIfReadOnly(wide_to,
                        [&] {
                          return MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
                                 0;
                        })
             ? std::error_code()
             : LastError();
}

bool OnAnotherFileSystem(const std::error_code& error) {
  return error == std::errc::cross_device_link;
}

std::error_code RemoveFile(const std::string& path) {
  const std::wstring wide = FileSystemPath(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  // A link to a folder is removed as a folder; the folder it leads to stays.
  const bool folder_link = attributes != INVALID_FILE_ATTRIBUTES &&
                           (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (folder_link) {
    return RemoveDirectoryW(wide.c_str()) ? std::error_code() : LastError();
  }
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return std::make_error_code(std::errc::is_a_directory);
  }
  return EvenIfReadOnly(wide, [&] { return DeleteFileW(wide.c_str()) != 0; }) ? std::error_code()
                                                                              : LastError();
}

namespace {

FolderEntry::Kind KindOfAttributes(DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return FolderEntry::Kind::kLink;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FolderEntry::Kind::kFolder;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return FolderEntry::Kind::kOther;
  return FolderEntry::Kind::kFile;
}

}  // namespace

std::error_code ListFolder(const std::string& folder, std::vector<FolderEntry>& entries) {
  // No folder is no folder (not the current drive's root).
  if (folder.empty()) return Win32Error(ERROR_PATH_NOT_FOUND);
  std::wstring pattern = FileSystemPath(folder);
  while (pattern.ends_with(L'\\')) pattern.pop_back();
  pattern += L"\\*";
  WIN32_FIND_DATAW found{};
  const HANDLE find = FindFirstFileW(pattern.c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return LastError();
  std::error_code error;
  do {
    const std::wstring_view name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    entries.push_back({WideToUtf8(name), KindOfAttributes(found.dwFileAttributes)});
  } while (FindNextFileW(find, &found));
  if (GetLastError() != ERROR_NO_MORE_FILES) error = LastError();
  FindClose(find);
  return error;
}

FolderEntry::Kind KindOf(const std::string& path, std::error_code& error) {
  const DWORD attributes = GetFileAttributesW(FileSystemPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    error = LastError();
    return FolderEntry::Kind::kOther;
  }
  error.clear();
  return KindOfAttributes(attributes);
}

std::error_code LastWriteTime(const std::string& path,
                              std::chrono::system_clock::time_point& time) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(FileSystemPath(path).c_str(), GetFileExInfoStandard, &data)) {
    return LastError();
  }
  // 100-nanosecond ticks since 1601.
  constexpr uint64_t kTicksTo1970 = 116'444'736'000'000'000ull;
  const uint64_t ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                         data.ftLastWriteTime.dwLowDateTime;
  const auto since_1970 = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>(
      static_cast<int64_t>(ticks) - static_cast<int64_t>(kTicksTo1970));
  time = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(since_1970));
  return {};
}

std::error_code RemoveEmptyFolder(const std::string& path) {
  return RemoveDirectoryW(FileSystemPath(path).c_str()) ? std::error_code() : LastError();
}

namespace {

// The runtime's tree removal neither removes read-only files nor knows junctions for links, so
// it could empty a folder that a junction leads to.
std::error_code RemoveTreeWide(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? std::error_code()
                                                                        : Win32Error(code);
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return EvenIfReadOnly(path, [&] { return DeleteFileW(path.c_str()) != 0; }) ? std::error_code()
                                                                                : LastError();
  }
  std::error_code first;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    WIN32_FIND_DATAW found{};
    const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::error_code error = RemoveTreeWide(path + L"\\" + name);
        if (error && !first) first = error;
      } while (FindNextFileW(find, &found));
      FindClose(find);
    }
  }
  if (!RemoveDirectoryW(path.c_str()) && !first) first = LastError();
  return first;
}

}  // namespace

std::error_code RemoveTree(const std::string& path) {
  std::wstring wide = FileSystemPath(path);
  while (wide.size() > 1 && (wide.back() == L'/' || wide.back() == L'\\') &&
         wide[wide.size() - 2] != L':') {
    wide.pop_back();
  }
  return RemoveTreeWide(wide);
}

std::error_code CreatePrivateFolder(const std::string& path) {
  // The folder inherits the access rules of the one it is in.
  return CreateDirectoryW(FileSystemPath(path).c_str(), nullptr) ? std::error_code() : LastError();
}

std::error_code MayRewrite(const std::string& path) {
  const std::wstring wide = FileSystemPath(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if (!IsRegular(attributes)) return std::make_error_code(std::errc::invalid_argument);
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return Win32Error(ERROR_ACCESS_DENIED);
  // Opening for writing changes nothing; it asks the file's access rules.
  const HANDLE handle =
      CreateFileW(wide.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  CloseHandle(handle);
  return {};
}

std::error_code SyncFile(const std::string& path) {
  const std::wstring wide = FileSystemPath(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return {};
  // Flushing needs a handle that may write, which a read-only file does not give.
  HANDLE handle = INVALID_HANDLE_VALUE;
  const bool opened = EvenIfReadOnly(wide, [&] {
    handle = CreateFileW(wide.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return handle != INVALID_HANDLE_VALUE;
  });
  if (!opened) return LastError();
  const bool flushed = FlushFileBuffers(handle);
  const std::error_code error = flushed ? std::error_code() : LastError();
  CloseHandle(handle);
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) SetFileAttributesW(wide.c_str(), attributes);
  return error;
}

std::error_code SyncFiles(const std::vector<std::string>& paths) {
  std::error_code first;
  for (const auto& path : paths) {
    const std::error_code error = SyncFile(path);
    // Nor may it open a running program's file or a loaded library for writing: an old file an
    // install put back, which it only ever renamed.
    if (error && error != std::errc::permission_denied &&
        error != Win32Error(ERROR_SHARING_VIOLATION) && !first) {
      first = error;
    }
  }
  return first;
}

std::error_code SyncFolder(const std::string&) { return {}; }

void SyncFileSystemsOf(const std::vector<std::string>& paths) {
  // Flushing a whole volume needs an administrator; each file is flushed instead, and the
  // renames that put them in place were written through.
  for (const auto& path : paths) {
    if (IsRegular(GetFileAttributesW(FileSystemPath(path).c_str()))) SyncFile(path);
  }
}

}  // namespace zepr::platform
