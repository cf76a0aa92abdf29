// The Linux back end: libarchive, with its secure-extraction checks, fills the staging folder.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

#include "install/unzip_backend.h"
#include "platform/unique_fd.h"

namespace zepr::unzip {
namespace {

namespace fs = std::filesystem;

constexpr int kExtractFlags = ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                              ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                              ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS;

struct ReaderFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
struct WriterFree {
  void operator()(archive* a) const { archive_write_free(a); }
};
using Reader = std::unique_ptr<archive, ReaderFree>;
using Writer = std::unique_ptr<archive, WriterFree>;

// Names are converted to the thread's character set, so extraction runs with UTF-8 as that
// set whatever the process locale is; the locale is restored afterwards.
class ScopedUtf8Locale {
 public:
  ScopedUtf8Locale() : utf8_(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0))) {
    if (utf8_ != static_cast<locale_t>(0)) previous_ = uselocale(utf8_);
  }
  ~ScopedUtf8Locale() {
    if (utf8_ == static_cast<locale_t>(0)) return;
    uselocale(previous_);
    freelocale(utf8_);
  }
  ScopedUtf8Locale(const ScopedUtf8Locale&) = delete;
  ScopedUtf8Locale& operator=(const ScopedUtf8Locale&) = delete;

 private:
  locale_t utf8_;
  locale_t previous_ = static_cast<locale_t>(0);
};

// The secure-extraction checks judge names relative to the current folder, so extraction
// runs inside the folder it fills; the previous folder is restored afterwards.
class ScopedWorkingFolder {
 public:
  explicit ScopedWorkingFolder(const fs::path& folder)
      : previous_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    entered_ = previous_ >= 0 && chdir(folder.c_str()) == 0;
    if (!entered_) error_ = {errno, std::generic_category()};
  }
  ~ScopedWorkingFolder() {
    if (previous_ < 0) return;
    if (entered_ && fchdir(previous_) != 0) {
      // Nothing sensible is left to do; the folder we came from is gone.
    }
    close(previous_);
  }
  ScopedWorkingFolder(const ScopedWorkingFolder&) = delete;
  ScopedWorkingFolder& operator=(const ScopedWorkingFolder&) = delete;
  bool entered() const { return entered_; }
  const std::error_code& error() const { return error_; }

 private:
  int previous_;
  bool entered_ = false;
  std::error_code error_;
};

uint32_t Le(const unsigned char* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint64_t Le64(const unsigned char* p) { return Le(p, 4) | (uint64_t{Le(p + 4, 4)} << 32); }

bool ReadAt(int fd, std::vector<unsigned char>& buffer, uint64_t offset) {
  size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n =
        pread(fd, buffer.data() + done, buffer.size() - done, static_cast<off_t>(offset + done));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// What the central directory says about an entry that the reader does not pass on: whether a
// Unix zipper made it, and with which mode.
struct Origin {
  uint64_t offset = 0;
  uint64_t size = 0;
  uint32_t unix_mode = 0;  // 0: no Unix mode (a DOS or Windows zipper)
};

// The entries' origins in the order of their local headers, the order in which the reader
// visits them; empty when they cannot be told. nullopt when the archive has no central
// directory where its end record says: it was cut short, and an entry-by-entry reader would
// take what is left for the whole archive.
std::optional<std::vector<Origin>> ReadOrigins(const fs::path& archive_path) {
  const platform::UniqueFd fd(open(archive_path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0) return std::nullopt;
  const uint64_t file_size = static_cast<uint64_t>(st.st_size);
  constexpr uint64_t kEndRecord = 22;
  std::vector<unsigned char> tail(std::min<uint64_t>(file_size, 0xFFFF + kEndRecord));
  const uint64_t tail_start = file_size - tail.size();
  if (tail.size() < kEndRecord || !ReadAt(fd.get(), tail, tail_start)) return std::nullopt;
  size_t end = tail.size() - kEndRecord + 1;
  do {
    --end;
  } while (end > 0 && Le(&tail[end], 4) != 0x06054b50);
  if (Le(&tail[end], 4) != 0x06054b50) return std::nullopt;

  const uint64_t end_offset = tail_start + end;
  uint64_t directory_size = Le(&tail[end + 12], 4);
  if (directory_size > end_offset) return std::nullopt;
  // Bytes put before the archive shift every recorded offset; the size is right either way.
  uint64_t directory_start = end_offset - directory_size;
  if (end >= 20 && Le(&tail[end - 20], 4) == 0x07064b50) {
    std::vector<unsigned char> end64(56);
    // Bytes put before a Zip64 archive leave its record where the locator does not say.
    if (!ReadAt(fd.get(), end64, Le64(&tail[end - 20 + 8])) || Le(end64.data(), 4) != 0x06064b50) {
      return std::vector<Origin>{};
    }
    directory_size = Le64(&end64[40]);
    directory_start = Le64(&end64[48]);
  }
  // Room for about half a million entries; past that the origins are not read, so memory
  // stays flat.
  constexpr uint64_t kLargestDirectory = 64u << 20;
  if (directory_size > file_size) return std::nullopt;
  if (directory_size > kLargestDirectory) return std::vector<Origin>{};
  std::vector<unsigned char> directory(directory_size);
  if (!ReadAt(fd.get(), directory, directory_start)) return std::nullopt;

  std::vector<Origin> origins;
  constexpr size_t kRecord = 46;
  constexpr uint32_t kOverflow = 0xFFFFFFFF;
  for (size_t at = 0; at + kRecord <= directory.size() && Le(&directory[at], 4) == 0x02014b50;) {
    const unsigned char* p = &directory[at];
    const size_t name_length = Le(p + 28, 2), extra_length = Le(p + 30, 2);
    const size_t comment_length = Le(p + 32, 2);
    if (at + kRecord + name_length + extra_length > directory.size()) break;
    Origin origin;
    origin.size = Le(p + 24, 4);
    origin.offset = Le(p + 42, 4);
    constexpr int kUnixHost = 3;
    if (p[5] == kUnixHost) origin.unix_mode = Le(p + 38, 4) >> 16;
    // Zip64: the values that overflowed follow in extra field 1, in this order.
    const unsigned char* extra = p + kRecord + name_length;
    for (size_t e = 0; e + 4 <= extra_length;) {
      const size_t length = std::min<size_t>(Le(extra + e + 2, 2), extra_length - e - 4);
      if (Le(extra + e, 2) == 1) {
        const unsigned char* field = extra + e + 4;
        const unsigned char* field_end = field + length;
        auto next = [&](uint64_t& value) {
          if (field + 8 > field_end) return;
          value = Le64(field);
          field += 8;
        };
        uint64_t compressed = 0;
        if (Le(p + 24, 4) == kOverflow) next(origin.size);
        if (Le(p + 20, 4) == kOverflow) next(compressed);
        if (Le(p + 42, 4) == kOverflow) next(origin.offset);
      }
      e += 4 + length;
    }
    origins.push_back(origin);
    at += kRecord + name_length + extra_length + comment_length;
  }
  // The reader keeps one entry per local header.
  std::stable_sort(origins.begin(), origins.end(),
                   [](const Origin& a, const Origin& b) { return a.offset < b.offset; });
  origins.erase(std::unique(origins.begin(), origins.end(),
                            [](const Origin& a, const Origin& b) { return a.offset == b.offset; }),
                origins.end());
  return origins;
}

// A Unix-made entry keeps its permission bits, other files get the usual ones. The umask
// applies when the file is created.
mode_t FilePermissions(archive_entry* entry, const Origin* origin, std::string_view name) {
  // The origin belongs to this entry only when the reader saw the same mode and size.
  const bool same_entry = origin != nullptr &&
                          (origin->unix_mode & 07777) == archive_entry_perm(entry) &&
                          (!archive_entry_size_is_set(entry) ||
                           static_cast<uint64_t>(archive_entry_size(entry)) == origin->size);
  return static_cast<mode_t>(UnpackedFileMode(same_entry ? origin->unix_mode : 0, name));
}

// Records a folder and the folders above it.
void NoteFolder(std::string folder, std::unordered_set<std::string>& folders) {
  while (!folder.empty() && folders.insert(folder).second) {
    const size_t slash = folder.rfind('/');
    folder.resize(slash == std::string::npos ? 0 : slash);
  }
}

// Why the writer failed: the system's words when a system call failed, else libarchive's.
std::string WriterReason(archive* writer) {
  const int error = archive_errno(writer);
  if (error > 0) return std::generic_category().message(error);
  const char* text = archive_error_string(writer);
  return text != nullptr ? text : "";
}

// Reads the entry's data to its end, checking its CRC, and writes it as `relative` when a
// writer is given. A write that failed comes as a mere warning and the next block would be
// written at its offset all the same, leaving a hole: any result but OK fails the unpack.
UnzipResult CopyData(archive* reader, archive* writer, const std::string& relative) {
  const void* block = nullptr;
  size_t size = 0;
  la_int64_t offset = 0;
  for (;;) {
    const int r = archive_read_data_block(reader, &block, &size, &offset);
    if (r == ARCHIVE_EOF) return {};
    // A bad CRC comes as a warning only.
    if (r != ARCHIVE_OK) return Damaged();
    if (writer == nullptr || archive_write_data_block(writer, block, size, offset) == ARCHIVE_OK) {
      continue;
    }
    // Without a system error the data did not fit the size the entry stated.
    if (archive_errno(writer) <= 0) return Damaged();
    return WriteFailed(relative, WriterReason(writer));
  }
}

// Unpacks every entry into the current folder, the staging folder; stops at the first entry
// that cannot be read whole or written. Refused entries are read (so that their damage
// counts) but not written. The folders above an entry are made as the other back end makes
// them, so that a failure to make one is told as such and the two agree on what an archive that
// contradicts itself is.
UnzipResult ExtractHere(archive* reader, archive* writer, const fs::path& staging,
                        const std::vector<Origin>& origins,
                        std::unordered_set<std::string>& folders) {
  for (size_t index = 0;; ++index) {
    archive_entry* entry = nullptr;
    const int r = archive_read_next_header(reader, &entry);
    if (r == ARCHIVE_EOF) return {};
    if (r < ARCHIVE_WARN || archive_entry_is_encrypted(entry)) return Damaged();

    const char* raw_name = archive_entry_pathname(entry);
    const auto relative = raw_name ? SafeRelativePath(raw_name) : std::nullopt;
    const auto type = archive_entry_filetype(entry);
    if (!relative || relative->empty() || archive_entry_hardlink(entry) != nullptr ||
        (type != AE_IFREG && type != AE_IFDIR)) {
      if (UnzipResult read = CopyData(reader, nullptr, ""); !read) return read;
      continue;
    }
    // Windows zippers mark folders only by the separator at the end of the name.
    const bool folder = type == AE_IFDIR || std::string_view(raw_name).ends_with('/') ||
                        std::string_view(raw_name).ends_with('\\');
    const size_t slash = relative->rfind('/');
    if (slash != std::string::npos) {
      UnzipResult made = MakeFolders(staging, relative->substr(0, slash), false, nullptr);
      if (!made) return made;
    }
    // The writer makes the folder of a folder entry itself, so that it sets the folder's time
    // when it closes, after the folder is filled.
    if (folder) {
      archive_entry_set_filetype(entry, AE_IFDIR);
      archive_entry_set_perm(entry, kUnpackedFolderMode);
      archive_entry_set_size(entry, 0);
      NoteFolder(*relative, folders);
    } else {
      const Origin* origin = index < origins.size() ? &origins[index] : nullptr;
      archive_entry_set_perm(entry, FilePermissions(entry, origin, *relative));
      if (slash != std::string::npos) NoteFolder(relative->substr(0, slash), folders);
      if (UnzipResult cleared = ClearForFile(staging, *relative); !cleared) return cleared;
    }
    archive_entry_copy_pathname(entry, relative->c_str());
    if (archive_write_header(writer, entry) != ARCHIVE_OK) {
      return WriteFailed(*relative, WriterReason(writer));
    }
    if (!folder) {
      if (UnzipResult copied = CopyData(reader, writer, *relative); !copied) return copied;
    }
    if (archive_write_finish_entry(writer) != ARCHIVE_OK) {
      return WriteFailed(*relative, WriterReason(writer));
    }
  }
}

}  // namespace

UnzipResult UnpackWithLibarchive(const fs::path& archive_path, const fs::path& staging) {
  const std::optional<std::vector<Origin>> origins = ReadOrigins(archive_path);
  if (!origins) return Damaged();
  std::unordered_set<std::string> folders;
  {
    ScopedUtf8Locale utf8;
    // Declared before the writer, so the writer closes inside the staging folder: closing sets
    // the folders' times by their relative names.
    ScopedWorkingFolder inside(staging);
    if (!inside.entered()) return WriteFailed("", inside.error());
    Reader reader(archive_read_new());
    Writer writer(archive_write_disk_new());
    if (!reader || !writer) {
      return WriteFailed("", std::make_error_code(std::errc::not_enough_memory));
    }
    archive_read_support_format_zip(reader.get());
    archive_read_set_options(reader.get(), "zip:hdrcharset=CP852");
    archive_write_disk_set_options(writer.get(), kExtractFlags);
    if (archive_read_open_filename(reader.get(), archive_path.c_str(), 1 << 16) != ARCHIVE_OK) {
      return Damaged();
    }
    if (UnzipResult extracted = ExtractHere(reader.get(), writer.get(), staging, *origins, folders);
        !extracted) {
      return extracted;
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
      return WriteFailed("", WriterReason(writer.get()));
    }
  }
  // Folders made on the way to a file get the process's default mode, not ours.
  for (const auto& folder : folders) {
    // A later file entry of the same name may have taken the folder's place.
    const fs::path path = staging / folder;
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(path, ec))) continue;
    if (const auto error = KeepUnpackedMode(path, kUnpackedFolderMode)) {
      return WriteFailed(folder, error);
    }
  }
  return {};
}

}  // namespace zepr::unzip
