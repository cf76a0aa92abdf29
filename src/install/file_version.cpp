#include "install/file_version.h"

#include <cstdint>
#include <fstream>
#include <optional>
#include <vector>

namespace zepr {
namespace {

constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kRtVersion = 16;
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr uint32_t kSubdirectoryBit = 0x80000000u;
// A version block is a few kilobytes; anything larger is not one.
constexpr uint32_t kMaxVersionBlock = 1u << 20;

// Little-endian reads at file offsets, every one checked against the end of the file.
class FileBytes {
 public:
  explicit FileBytes(const std::string& path) : in_(path, std::ios::binary) {
    if (in_) {
      in_.seekg(0, std::ios::end);
      size_ = static_cast<uint64_t>(in_.tellg());
    }
  }
  bool Read(uint64_t offset, size_t length, std::vector<uint8_t>& out) {
    if (!in_ || offset > size_ || length > size_ - offset) return false;
    out.resize(length);
    in_.seekg(static_cast<std::streamoff>(offset));
    return static_cast<bool>(
        in_.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(length)));
  }
  std::optional<uint32_t> U32(uint64_t offset) { return Number(offset, 4); }
  std::optional<uint16_t> U16(uint64_t offset) {
    auto v = Number(offset, 2);
    return v ? std::optional<uint16_t>(static_cast<uint16_t>(*v)) : std::nullopt;
  }

 private:
  std::optional<uint32_t> Number(uint64_t offset, size_t length) {
    std::vector<uint8_t> bytes;
    if (!Read(offset, length, bytes)) return std::nullopt;
    uint32_t value = 0;
    for (size_t i = length; i-- > 0;) value = (value << 8) | bytes[i];
    return value;
  }

  std::ifstream in_;
  uint64_t size_ = 0;
};

struct Section {
  uint32_t virtual_address;
  uint32_t virtual_size;
  uint32_t raw_size;
  uint32_t raw_offset;
};

std::optional<uint64_t> RvaToOffset(const std::vector<Section>& sections, uint32_t rva) {
  for (const auto& s : sections) {
    const uint64_t delta = static_cast<uint64_t>(rva) - s.virtual_address;
    if (rva >= s.virtual_address && delta < s.raw_size) return uint64_t{s.raw_offset} + delta;
  }
  return std::nullopt;
}

// The resource directory entry to follow: the one with the wanted id, or the first one when
// any id will do. Its offset field is returned.
std::optional<uint32_t> DirectoryEntry(FileBytes& file, uint64_t directory,
                                       std::optional<uint32_t> wanted_id) {
  const auto named = file.U16(directory + 12);
  const auto ids = file.U16(directory + 14);
  if (!named || !ids) return std::nullopt;
  const uint32_t count = uint32_t{*named} + *ids;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t entry = directory + 16 + uint64_t{i} * 8;
    const auto name = file.U32(entry);
    const auto offset = file.U32(entry + 4);
    if (!name || !offset) return std::nullopt;
    if (!wanted_id || (!(*name & kSubdirectoryBit) && *name == *wanted_id)) return offset;
  }
  return std::nullopt;
}

std::string FixedFileVersion(FileBytes& file, uint64_t block, uint32_t block_size) {
  std::vector<uint8_t> bytes;
  if (block_size > kMaxVersionBlock || !file.Read(block, block_size, bytes)) return "";
  auto u16 = [&](size_t at) { return static_cast<uint32_t>(bytes[at] | (bytes[at + 1] << 8)); };
  auto u32 = [&](size_t at) { return u16(at) | (u16(at + 2) << 16); };
  if (bytes.size() < 6 || u16(2) < 52) return "";
  // Header of three words, the key "VS_VERSION_INFO" in UTF-16 with its terminator, then
  // padding to a 32-bit boundary.
  size_t at = 6;
  while (at + 1 < bytes.size() && u16(at) != 0) at += 2;
  at = (at + 2 + 3) & ~size_t{3};
  if (at + 52 > bytes.size() || u32(at) != kFixedFileInfoSignature) return "";
  const uint32_t ms = u32(at + 8);
  const uint32_t ls = u32(at + 12);
  return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
         std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
}

}  // namespace

std::string FileVersionString(const std::string& path) {
  FileBytes file(path);
  std::vector<uint8_t> mz;
  if (!file.Read(0, 2, mz) || mz[0] != 'M' || mz[1] != 'Z') return "";
  const auto pe = file.U32(0x3C);
  if (!pe || file.U32(*pe) != 0x00004550u) return "";  // "PE\0\0"
  const uint64_t coff = *pe + 4ull;
  const auto section_count = file.U16(coff + 2);
  const auto optional_size = file.U16(coff + 16);
  if (!section_count || !optional_size) return "";
  const uint64_t optional = coff + 20;
  const auto magic = file.U16(optional);
  if (!magic || (*magic != kPe32Magic && *magic != kPe32PlusMagic)) return "";
  const uint64_t count_at = optional + (*magic == kPe32Magic ? 92 : 108);
  const auto directory_count = file.U32(count_at);
  if (!directory_count || *directory_count <= kResourceDirectoryIndex) return "";
  const auto resource_rva = file.U32(count_at + 4 + kResourceDirectoryIndex * 8);
  if (!resource_rva || *resource_rva == 0) return "";

  std::vector<Section> sections;
  const uint64_t table = optional + *optional_size;
  for (uint32_t i = 0; i < *section_count; ++i) {
    const uint64_t s = table + uint64_t{i} * 40;
    const auto vsize = file.U32(s + 8), vaddr = file.U32(s + 12), rsize = file.U32(s + 16),
               roff = file.U32(s + 20);
    if (!vsize || !vaddr || !rsize || !roff) return "";
    sections.push_back({*vaddr, *vsize, *rsize, *roff});
  }
  const auto root = RvaToOffset(sections, *resource_rva);
  if (!root) return "";

  // Type (RT_VERSION), then the first name, then the first language.
  uint64_t directory = *root;
  const std::optional<uint32_t> path_ids[] = {kRtVersion, std::nullopt, std::nullopt};
  std::optional<uint32_t> entry;
  for (size_t level = 0; level < 3; ++level) {
    entry = DirectoryEntry(file, directory, path_ids[level]);
    if (!entry) return "";
    const bool is_directory = (*entry & kSubdirectoryBit) != 0;
    if (is_directory != (level < 2)) return "";
    directory = *root + (*entry & ~kSubdirectoryBit);
  }
  const uint64_t data_entry = *root + *entry;
  const auto data_rva = file.U32(data_entry);
  const auto data_size = file.U32(data_entry + 4);
  if (!data_rva || !data_size) return "";
  const auto data = RvaToOffset(sections, *data_rva);
  if (!data) return "";
  return FixedFileVersion(file, *data, *data_size);
}

}  // namespace zepr
