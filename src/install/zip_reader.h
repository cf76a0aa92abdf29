#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zepr {

// One entry as the archive describes it.
struct ZipEntryInfo {
  enum class Kind { kFile, kFolder, kLink, kSpecial };
  // UTF-8: CP852 unless the entry carries the UTF-8 mark; separators as stored.
  std::string name;
  Kind kind = Kind::kFile;
  // Permission bits when a Unix zipper made the entry, else 0.
  uint32_t unix_mode = 0;
  // Last write time in seconds since 1970: the extended timestamp when there is one, else the
  // DOS time taken as local time.
  std::time_t last_write = 0;
  uint64_t size = 0;
};

// Reads a ZIP archive through its central directory, entry by entry in the order of their
// data. Stored and deflated entries, Zip64, data descriptors (the central directory's sizes
// count). Every value in the archive is untrusted: nothing is allocated by a size it states,
// and anything that does not add up makes the archive damaged.
class ZipReader {
 public:
  enum class Step { kEntry, kEnd, kDamaged };

  // What the central directory says of an entry.
  struct Record {
    uint64_t local_offset = 0;
    uint64_t compressed_size = 0;
    uint64_t size = 0;
    uint32_t crc = 0;
    uint32_t unix_mode = 0;  // the whole mode field, file type included; 0 unless a Unix zipper's
    bool unix_host = false;
    bool dos_folder = false;
    uint16_t flags = 0;
    uint16_t method = 0;
  };

  // nullopt when the file cannot be read, has no sound central directory (cut short, not an
  // archive), or an entry's local header says other than the directory: another name, method,
  // CRC or size (as a file put together from two versions of an archive has it).
  static std::optional<ZipReader> Open(const std::filesystem::path& archive);

  // The entries as the central directory describes them, one per local header, in the order of
  // their data: the order in which Next visits them.
  const std::vector<Record>& Directory() const { return records_; }

  // The next entry. An encrypted entry or one with a method other than stored or deflated is
  // damage.
  Step Next(ZipEntryInfo& entry);

  // Passes the current entry's data to `sink` in pieces and checks its size and CRC against the
  // central directory. False when the data is damaged or the sink returned false.
  bool ReadData(const std::function<bool(std::string_view)>& sink);

 private:
  ZipReader() = default;
  bool ReadAt(uint64_t offset, char* buffer, size_t size);
  bool ReadDirectory();
  bool LocalHeaderAgrees(const Record& record, std::string_view name);

  std::ifstream file_;
  uint64_t file_size_ = 0;
  std::vector<Record> records_;
  size_t next_ = 0;
  // The current entry's data.
  uint64_t data_offset_ = 0;
  bool current_ = false;
};

}  // namespace zepr
