#include "install/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>

#include "core/encoding.h"

namespace zepr {
namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kEnd64Signature = 0x06064b50;
constexpr uint32_t kLocatorSignature = 0x07064b50;
constexpr uint32_t kDigitalSignature = 0x05054b50;
constexpr size_t kLocalSize = 30;
constexpr size_t kCentralSize = 46;
constexpr size_t kEndSize = 22;
constexpr size_t kLocatorSize = 20;
constexpr size_t kEnd64Size = 56;
constexpr uint32_t kOverflow32 = 0xFFFFFFFF;
constexpr uint16_t kEncrypted = 0x0001;
constexpr uint16_t kStrongEncrypted = 0x0040;
constexpr uint16_t kDescriptor = 0x0008;
constexpr uint16_t kUtf8Name = 0x0800;
constexpr uint16_t kStored = 0;
constexpr uint16_t kDeflated = 8;
constexpr int kUnixHost = 3;
constexpr uint32_t kTypeMask = 0170000;
// Some half a million entries; an updater's archive is far from it, and memory stays flat.
constexpr uint64_t kLargestDirectory = 64u << 20;
constexpr size_t kChunk = 64 << 10;

uint32_t Le16(const char* p) {
  return static_cast<unsigned char>(p[0]) | (static_cast<unsigned char>(p[1]) << 8);
}
uint32_t Le32(const char* p) { return Le16(p) | (Le16(p + 2) << 16); }
uint64_t Le64(const char* p) { return Le32(p) | (uint64_t{Le32(p + 4)} << 32); }

// Calls `field(id, data, size)` for each extra field; false when a field runs past the end.
// Up to three stray bytes at the end are tolerated, as zippers leave them.
template <typename Field>
bool ForEachExtra(std::string_view extra, Field field) {
  size_t at = 0;
  while (extra.size() - at >= 4) {
    const uint32_t id = Le16(extra.data() + at);
    const size_t size = Le16(extra.data() + at + 2);
    at += 4;
    if (size > extra.size() - at) return false;
    if (!field(id, extra.data() + at, size)) return false;
    at += size;
  }
  return true;
}

std::time_t DosTime(uint32_t time, uint32_t date) {
  std::tm local{};
  local.tm_year = static_cast<int>((date >> 9) & 0x7f) + 80;
  local.tm_mon = static_cast<int>((date >> 5) & 0x0f) - 1;
  local.tm_mday = static_cast<int>(date & 0x1f);
  local.tm_hour = static_cast<int>((time >> 11) & 0x1f);
  local.tm_min = static_cast<int>((time >> 5) & 0x3f);
  local.tm_sec = static_cast<int>((time << 1) & 0x3e);
  local.tm_isdst = -1;
  return std::mktime(&local);
}

std::string EntryName(std::string_view raw, bool utf8) {
  // A name ends at its first NUL, as C strings do in every other reader.
  raw = raw.substr(0, raw.find('\0'));
  if (utf8 && IsValidUtf8(raw)) return std::string(raw);
  return Cp852ToUtf8(raw);
}

class Inflater {
 public:
  Inflater() { ok_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK; }
  ~Inflater() {
    if (ok_) inflateEnd(&stream_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  bool ok() const { return ok_; }
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
  bool ok_ = false;
};

}  // namespace

std::optional<ZipReader> ZipReader::Open(const std::filesystem::path& archive) {
  ZipReader reader;
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(archive, ec);
  if (ec) return std::nullopt;
  reader.file_size_ = size;
  reader.file_.open(archive, std::ios::binary);
  if (!reader.file_ || !reader.ReadDirectory()) return std::nullopt;
  return reader;
}

bool ZipReader::ReadAt(uint64_t offset, char* buffer, size_t size) {
  if (offset > file_size_ || size > file_size_ - offset) return false;
  file_.clear();
  file_.seekg(static_cast<std::streamoff>(offset));
  file_.read(buffer, static_cast<std::streamsize>(size));
  return file_.good() && static_cast<size_t>(file_.gcount()) == size;
}

bool ZipReader::ReadDirectory() {
  // The end record is the last thing in the file but for a comment of up to 64 KiB.
  std::string tail(std::min<uint64_t>(file_size_, 0xFFFF + kEndSize), '\0');
  const uint64_t tail_start = file_size_ - tail.size();
  if (tail.size() < kEndSize || !ReadAt(tail_start, tail.data(), tail.size())) return false;
  // The record whose comment reaches the end of the file; else the last one with room for its
  // comment (bytes appended after it).
  std::optional<size_t> end;
  for (size_t at = tail.size() - kEndSize + 1; at-- > 0;) {
    if (Le32(&tail[at]) != kEndSignature) continue;
    const size_t reach = at + kEndSize + Le16(&tail[at + 20]);
    if (reach == tail.size()) {
      end = at;
      break;
    }
    if (!end && reach <= tail.size()) end = at;
  }
  if (!end) return false;
  const char* record = &tail[*end];
  const uint64_t end_offset = tail_start + *end;
  uint64_t disk = Le16(record + 4), directory_disk = Le16(record + 6);
  uint64_t directory_size = Le32(record + 12), directory_offset = Le32(record + 16);
  uint64_t directory_end = end_offset;
  bool zip64 = false;
  if (*end >= kLocatorSize && Le32(&tail[*end - kLocatorSize]) == kLocatorSignature) {
    const uint64_t end64_offset = Le64(&tail[*end - kLocatorSize + 8]);
    std::array<char, kEnd64Size> end64;
    if (end64_offset > end_offset - kLocatorSize ||
        end_offset - kLocatorSize - end64_offset < kEnd64Size ||
        !ReadAt(end64_offset, end64.data(), end64.size()) ||
        Le32(end64.data()) != kEnd64Signature) {
      return false;
    }
    disk = Le32(&end64[16]);
    directory_disk = Le32(&end64[20]);
    directory_size = Le64(&end64[40]);
    directory_offset = Le64(&end64[48]);
    directory_end = end64_offset;
    zip64 = true;
  }
  // Archives spread over several disks are not ours to read.
  if (disk != 0 || directory_disk != 0) return false;
  if (directory_size > directory_end || directory_offset > directory_end - directory_size) {
    return false;
  }
  if (directory_size > kLargestDirectory) return false;
  // Bytes put before the archive (a self-extractor) shift every recorded offset.
  const uint64_t shift = zip64 ? 0 : directory_end - directory_size - directory_offset;
  std::string directory(directory_size, '\0');
  if (!ReadAt(directory_offset + shift, directory.data(), directory.size())) return false;

  for (size_t at = 0; at < directory.size();) {
    const char* p = directory.data() + at;
    const size_t left = directory.size() - at;
    if (left >= 6 && Le32(p) == kDigitalSignature && left == 6 + size_t{Le16(p + 4)}) break;
    if (left < kCentralSize || Le32(p) != kCentralSignature) return false;
    const size_t name_length = Le16(p + 28), extra_length = Le16(p + 30);
    const size_t comment_length = Le16(p + 32);
    const size_t record_size = kCentralSize + name_length + extra_length + comment_length;
    if (record_size > left) return false;
    Record r;
    r.unix_host = static_cast<unsigned char>(p[5]) == kUnixHost;
    r.flags = static_cast<uint16_t>(Le16(p + 8));
    r.method = static_cast<uint16_t>(Le16(p + 10));
    r.crc = Le32(p + 16);
    r.compressed_size = Le32(p + 20);
    r.size = Le32(p + 24);
    const uint32_t attributes = Le32(p + 38);
    if (r.unix_host) r.unix_mode = attributes >> 16;
    r.dos_folder = static_cast<unsigned char>(p[5]) == 0 && (attributes & 0x10) != 0;
    r.local_offset = Le32(p + 42);
    // Zip64: the values that overflowed follow in extra field 1, in this order.
    const std::string_view extra(p + kCentralSize + name_length, extra_length);
    const bool extra_ok = ForEachExtra(extra, [&](uint32_t id, const char* data, size_t size) {
      if (id != 0x0001) return true;
      for (uint64_t* value : {&r.size, &r.compressed_size, &r.local_offset}) {
        if (*value != kOverflow32) continue;
        if (size < 8) return false;
        *value = Le64(data);
        data += 8;
        size -= 8;
      }
      return true;
    });
    if (!extra_ok) return false;
    if (r.local_offset > file_size_ - shift) return false;
    r.local_offset += shift;
    // Every record, also one that shares its local header with another, names that header.
    if (!LocalHeaderAgrees(r, std::string_view(p + kCentralSize, name_length))) return false;
    records_.push_back(r);
    at += record_size;
  }
  // One entry per local header, visited in the order of the data.
  std::stable_sort(records_.begin(), records_.end(), [](const Record& a, const Record& b) {
    return a.local_offset < b.local_offset;
  });
  records_.erase(std::unique(records_.begin(), records_.end(),
                             [](const Record& a, const Record& b) {
                               return a.local_offset == b.local_offset;
                             }),
                 records_.end());
  return true;
}

bool ZipReader::LocalHeaderAgrees(const Record& r, std::string_view name) {
  std::array<char, kLocalSize> h;
  if (!ReadAt(r.local_offset, h.data(), h.size()) || Le32(h.data()) != kLocalSignature) {
    return false;
  }
  const size_t name_length = Le16(&h[26]), extra_length = Le16(&h[28]);
  if (Le16(&h[8]) != r.method || name_length != name.size()) return false;
  std::string name_and_extra(name_length + extra_length, '\0');
  if (!ReadAt(r.local_offset + kLocalSize, name_and_extra.data(), name_and_extra.size()) ||
      std::string_view(name_and_extra).substr(0, name_length) != name) {
    return false;
  }
  // Sizes that overflowed follow in Zip64 field 1: both as a rule, else those that did, in
  // this order. Unknown when the field is missing.
  std::optional<uint64_t> size = Le32(&h[22]), compressed = Le32(&h[18]);
  if (*size == kOverflow32 || *compressed == kOverflow32) {
    if (*size == kOverflow32) size.reset();
    if (*compressed == kOverflow32) compressed.reset();
    const bool extra_ok = ForEachExtra(std::string_view(name_and_extra).substr(name_length),
                                       [&](uint32_t id, const char* data, size_t length) {
                                         if (id != 0x0001) return true;
                                         if (length >= 16) {
                                           size = Le64(data);
                                           compressed = Le64(data + 8);
                                           return true;
                                         }
                                         for (auto* value : {&size, &compressed}) {
                                           if (*value) continue;
                                           if (length < 8) return false;
                                           *value = Le64(data);
                                           data += 8;
                                           length -= 8;
                                         }
                                         return true;
                                       });
    if (!extra_ok) return false;
  }
  // With a data descriptor the values follow the data and the local header may leave them
  // out; the data is checked against the directory's all the same.
  const bool descriptor = (Le16(&h[6]) & kDescriptor) != 0;
  const auto agrees = [descriptor](std::optional<uint64_t> local, uint64_t central) {
    return local ? *local == central || (descriptor && *local == 0) : descriptor;
  };
  return agrees(Le32(&h[14]), r.crc) && agrees(compressed, r.compressed_size) &&
         agrees(size, r.size);
}

ZipReader::Step ZipReader::Next(ZipEntryInfo& entry) {
  current_ = false;
  if (next_ >= records_.size()) return Step::kEnd;
  const Record& r = records_[next_++];
  std::array<char, kLocalSize> h;
  if (!ReadAt(r.local_offset, h.data(), h.size()) || Le32(h.data()) != kLocalSignature) {
    return Step::kDamaged;
  }
  const uint16_t flags = static_cast<uint16_t>(Le16(&h[6]));
  if (((flags | r.flags) & (kEncrypted | kStrongEncrypted)) != 0) return Step::kDamaged;
  const size_t name_length = Le16(&h[26]), extra_length = Le16(&h[28]);
  std::string name_and_extra(name_length + extra_length, '\0');
  if (!ReadAt(r.local_offset + kLocalSize, name_and_extra.data(), name_and_extra.size())) {
    return Step::kDamaged;
  }
  data_offset_ = r.local_offset + kLocalSize + name_and_extra.size();
  if (data_offset_ > file_size_ || r.compressed_size > file_size_ - data_offset_) {
    return Step::kDamaged;
  }

  entry.name =
      EntryName(std::string_view(name_and_extra).substr(0, name_length), (flags & kUtf8Name) != 0);
  entry.last_write = DosTime(Le16(&h[10]), Le16(&h[12]));
  // The extended timestamp holds the time in UTC, to the second.
  const bool extra_ok = ForEachExtra(std::string_view(name_and_extra).substr(name_length),
                                     [&](uint32_t id, const char* data, size_t size) {
                                       if (id != 0x5455) return true;
                                       if (size == 0) return false;
                                       if ((data[0] & 1) != 0 && size >= 5) {
                                         entry.last_write = static_cast<int32_t>(Le32(data + 1));
                                       }
                                       return true;
                                     });
  if (!extra_ok) return Step::kDamaged;

  entry.unix_mode = r.unix_mode;
  entry.size = r.size;
  const uint32_t type = r.unix_mode & kTypeMask;
  // Info-ZIP records a file read from a pipe as a pipe.
  if (type == 0 || type == 0100000 || type == 0010000) {
    entry.kind = r.dos_folder ? ZipEntryInfo::Kind::kFolder : ZipEntryInfo::Kind::kFile;
  } else if (type == 0040000) {
    entry.kind = ZipEntryInfo::Kind::kFolder;
  } else if (type == 0120000) {
    entry.kind = ZipEntryInfo::Kind::kLink;
  } else {
    entry.kind = ZipEntryInfo::Kind::kSpecial;
  }
  // Windows zippers mark folders only by the separator at the end of the name.
  if (entry.name.ends_with('/') || entry.name.ends_with('\\')) {
    entry.kind = ZipEntryInfo::Kind::kFolder;
  }
  current_ = true;
  return Step::kEntry;
}

bool ZipReader::ReadData(const std::function<bool(std::string_view)>& sink) {
  if (!current_) return false;
  current_ = false;
  const Record& r = records_[next_ - 1];
  const uint16_t method = r.method;
  if (method != kStored && method != kDeflated) return false;
  if (method == kStored && r.compressed_size != r.size) return false;

  std::string in(static_cast<size_t>(std::min<uint64_t>(r.compressed_size, kChunk)), '\0');
  std::string out(method == kDeflated ? kChunk : 0, '\0');
  Inflater inflater;
  if (method == kDeflated && !inflater.ok()) return false;
  uLong crc = crc32(0, nullptr, 0);
  uint64_t read = 0, written = 0;
  // An empty entry may be marked deflated without a deflate stream.
  bool finished = method == kStored || r.compressed_size == 0;
  auto pass_on = [&](const char* data, size_t size) {
    // Never more than the directory promised: a bomb stops here.
    if (size > r.size - written) return false;
    written += size;
    crc = crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size));
    return sink(std::string_view(data, size));
  };
  while (read < r.compressed_size) {
    const size_t piece =
        static_cast<size_t>(std::min<uint64_t>(in.size(), r.compressed_size - read));
    if (!ReadAt(data_offset_ + read, in.data(), piece)) return false;
    read += piece;
    if (method == kStored) {
      if (!pass_on(in.data(), piece)) return false;
      continue;
    }
    z_stream& z = inflater.stream();
    z.next_in = reinterpret_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(piece);
    for (;;) {
      z.next_out = reinterpret_cast<Bytef*>(out.data());
      z.avail_out = static_cast<uInt>(out.size());
      const int status = inflate(&z, Z_NO_FLUSH);
      if (status == Z_BUF_ERROR && z.avail_in == 0) break;  // wants the next piece
      if (status != Z_OK && status != Z_STREAM_END) return false;
      if (!pass_on(out.data(), out.size() - z.avail_out)) return false;
      if (status == Z_STREAM_END) {
        finished = true;
        break;
      }
      if (z.avail_in == 0 && z.avail_out != 0) break;
    }
    if (finished) break;
  }
  return finished && written == r.size && crc == r.crc;
}

}  // namespace zepr
