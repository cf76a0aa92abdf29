// The Linux back end: libarchive, with its secure-extraction checks, fills the staging folder.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

#include "install/unzip_backend.h"
#include "install/zip_reader.h"

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

// A Unix-made entry keeps its permission bits, other files get the usual ones. The umask
// applies when the file is created.
// libarchive makes up a mode for the entries of other zippers, so the directory tells.
mode_t FilePermissions(const ZipReader::Record& origin, std::string_view name) {
  return static_cast<mode_t>(UnpackedFileMode(origin.unix_mode, name));
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
                        const std::vector<ZipReader::Record>& origins,
                        std::unordered_set<std::string>& folders) {
  for (size_t index = 0;; ++index) {
    archive_entry* entry = nullptr;
    const int r = archive_read_next_header(reader, &entry);
    // libarchive reads the central directory itself: the entries it visits must be those whose
    // local headers were checked against it, one for one.
    if (r == ARCHIVE_EOF) return index == origins.size() ? UnzipResult{} : Damaged();
    if (r < ARCHIVE_WARN || archive_entry_is_encrypted(entry)) return Damaged();
    if (index >= origins.size()) return Damaged();
    const ZipReader::Record& origin = origins[index];

    const char* raw_name = archive_entry_pathname(entry);
    const auto relative = raw_name ? SafeRelativePath(raw_name) : std::nullopt;
    const auto type = archive_entry_filetype(entry);
    if (type == AE_IFREG && archive_entry_size_is_set(entry) &&
        static_cast<uint64_t>(archive_entry_size(entry)) != origin.size) {
      return Damaged();
    }
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
      archive_entry_set_perm(entry, FilePermissions(origin, *relative));
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
  // Our reader checks every local header against the central directory, which libarchive
  // does not: it warns of another CRC or size and goes by the local header's name and method.
  // The directory also tells the modes, and it must be whole: an entry-by-entry reader would
  // take what is left of an archive cut short for the whole archive.
  std::optional<ZipReader> checked = ZipReader::Open(archive_path);
  if (!checked) return Damaged();
  const std::vector<ZipReader::Record> origins = checked->Directory();
  checked.reset();
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
    if (UnzipResult extracted = ExtractHere(reader.get(), writer.get(), staging, origins, folders);
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
