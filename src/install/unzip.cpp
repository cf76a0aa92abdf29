#include "install/unzip.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <locale.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>

#include "core/text.h"

namespace zepr {
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
// runs inside the target folder; the previous folder is restored afterwards.
class ScopedWorkingFolder {
 public:
  explicit ScopedWorkingFolder(const fs::path& folder)
      : previous_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    entered_ = previous_ >= 0 && chdir(folder.c_str()) == 0;
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

 private:
  int previous_;
  bool entered_ = false;
};

// The entry's path below the target, or nullopt when it would leave the target: "..",
// absolute names and drive letters are refused, "." and empty parts dropped.
std::optional<std::string> SafeRelativePath(std::string name) {
  name = ReplaceAll(std::move(name), "\\", "/");
  if (name.starts_with('/')) return std::nullopt;
  std::string relative;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    const std::string_view part(name.data() + start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") return std::nullopt;
    if (relative.empty() && part.size() == 2 && part[1] == ':') return std::nullopt;
    if (!relative.empty()) relative += '/';
    relative += part;
  }
  return relative;
}

bool CopyData(archive* reader, archive* writer) {
  const void* block = nullptr;
  size_t size = 0;
  la_int64_t offset = 0;
  for (;;) {
    const int r = archive_read_data_block(reader, &block, &size, &offset);
    if (r == ARCHIVE_EOF) return true;
    if (r < ARCHIVE_WARN) return false;
    if (archive_write_data_block(writer, block, size, offset) < ARCHIVE_WARN) return false;
  }
}

enum class Outcome { kOk, kMissing, kDamaged };

Outcome Extract(const fs::path& archive_path, const fs::path& target) {
  std::error_code ec;
  if (!fs::is_regular_file(archive_path, ec)) return Outcome::kMissing;
  fs::create_directories(target, ec);
  if (!fs::is_directory(target, ec)) return Outcome::kDamaged;

  ScopedUtf8Locale utf8;
  // Declared before the writer, so the writer closes inside the target: closing sets the
  // folders' times by their relative names.
  ScopedWorkingFolder inside(target);
  if (!inside.entered()) return Outcome::kDamaged;
  Reader reader(archive_read_new());
  Writer writer(archive_write_disk_new());
  if (!reader || !writer) return Outcome::kDamaged;
  archive_read_support_format_zip(reader.get());
  archive_read_set_options(reader.get(), "zip:hdrcharset=CP852");
  archive_write_disk_set_options(writer.get(), kExtractFlags);
  if (archive_read_open_filename(reader.get(), archive_path.c_str(), 1 << 16) != ARCHIVE_OK) {
    return Outcome::kDamaged;
  }

  bool all_ok = true;
  for (;;) {
    archive_entry* entry = nullptr;
    const int r = archive_read_next_header(reader.get(), &entry);
    if (r == ARCHIVE_EOF) break;
    if (r < ARCHIVE_WARN) return Outcome::kDamaged;

    const char* raw_name = archive_entry_pathname(entry);
    const auto relative = raw_name ? SafeRelativePath(raw_name) : std::nullopt;
    const auto type = archive_entry_filetype(entry);
    const bool folder_name = raw_name && (std::string_view(raw_name).ends_with('/') ||
                                          std::string_view(raw_name).ends_with('\\'));
    if (!relative || archive_entry_hardlink(entry) != nullptr ||
        (type != AE_IFREG && type != AE_IFDIR)) {
      all_ok = false;
      continue;
    }
    if (relative->empty()) continue;
    // Windows zippers mark folders only by the separator at the end of the name.
    if (folder_name && type != AE_IFDIR) {
      archive_entry_set_filetype(entry, AE_IFDIR);
      archive_entry_set_perm(entry, 0755);
      archive_entry_set_size(entry, 0);
    }
    archive_entry_copy_pathname(entry, relative->c_str());
    if (archive_write_header(writer.get(), entry) < ARCHIVE_WARN) {
      all_ok = false;
      continue;
    }
    if (archive_entry_filetype(entry) == AE_IFREG && !CopyData(reader.get(), writer.get())) {
      all_ok = false;
    }
    if (archive_write_finish_entry(writer.get()) < ARCHIVE_WARN) all_ok = false;
  }
  return all_ok ? Outcome::kOk : Outcome::kDamaged;
}

}  // namespace

bool Unzip(const std::string& archive, const std::string& target_folder, MainWindow* window) {
  std::error_code ec;
  const fs::path archive_path = fs::absolute(archive, ec);
  const Outcome outcome = Extract(archive_path, fs::absolute(target_folder, ec));
  if (outcome != Outcome::kOk && window != nullptr) {
    const std::string_view text =
        outcome == Outcome::kMissing ? kArchiveMissingText : kArchiveDamagedText;
    window->SetLabel1(std::string(text) + archive_path.filename().string());
  }
  return outcome == Outcome::kOk;
}

}  // namespace zepr
