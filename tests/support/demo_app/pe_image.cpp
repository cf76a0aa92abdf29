#include "support/demo_app/pe_image.h"

#include <string_view>

namespace zepr::testing {
namespace {

constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kResourceRva = 0x1000;

class Bytes {
 public:
  explicit Bytes(size_t size) : data_(size, '\0') {}
  void U16(size_t at, uint32_t v) {
    data_[at] = static_cast<char>(v & 0xFF);
    data_[at + 1] = static_cast<char>((v >> 8) & 0xFF);
  }
  void U32(size_t at, uint32_t v) {
    U16(at, v & 0xFFFF);
    U16(at + 2, v >> 16);
  }
  void Text(size_t at, std::string_view text) { data_.replace(at, text.size(), text); }
  std::string& data() { return data_; }

 private:
  std::string data_;
};

uint32_t High(const FourPartVersion& v) { return (uint32_t{v[0]} << 16) | v[1]; }
uint32_t Low(const FourPartVersion& v) { return (uint32_t{v[2]} << 16) | v[3]; }

// Resource tree: types (an empty icon group, then RT_VERSION) -> name 1 -> language 0x409
// -> data entry -> VS_VERSIONINFO with its VS_FIXEDFILEINFO.
std::string ResourceSection(const FourPartVersion& file, const FourPartVersion& product) {
  constexpr uint32_t kSub = 0x80000000u;
  constexpr size_t kVersionBlock = 0x70;
  constexpr size_t kVersionSize = 40 + 52;
  Bytes r(kVersionBlock + kVersionSize);
  r.U16(0x0E, 2);  // root: two id entries
  r.U32(0x10, 3);
  r.U32(0x14, kSub | 0x20);
  r.U32(0x18, 16);
  r.U32(0x1C, kSub | 0x30);
  // 0x20: the icon group's directory, empty.
  r.U16(0x30 + 0x0E, 1);
  r.U32(0x40, 1);
  r.U32(0x44, kSub | 0x48);
  r.U16(0x48 + 0x0E, 1);
  r.U32(0x58, 0x409);
  r.U32(0x5C, 0x60);
  r.U32(0x60, kResourceRva + kVersionBlock);
  r.U32(0x64, kVersionSize);

  const size_t v = kVersionBlock;
  r.U16(v, kVersionSize);
  r.U16(v + 2, 52);
  r.U16(v + 4, 0);
  const std::string_view key = "VS_VERSION_INFO";
  for (size_t i = 0; i < key.size(); ++i) r.U16(v + 6 + 2 * i, static_cast<uint8_t>(key[i]));
  const size_t fixed = v + 40;
  r.U32(fixed, 0xFEEF04BD);
  r.U32(fixed + 4, 0x00010000);
  r.U32(fixed + 8, High(file));
  r.U32(fixed + 12, Low(file));
  r.U32(fixed + 16, High(product));
  r.U32(fixed + 20, Low(product));
  r.U32(fixed + 24, 0x3F);
  r.U32(fixed + 32, 0x00040004);
  r.U32(fixed + 36, 1);
  return r.data();
}

}  // namespace

std::string BuildPeImage(const PeImageOptions& options) {
  const std::string resources =
      options.file_version ? ResourceSection(*options.file_version, options.product_version) : "";
  const uint32_t raw_size = (static_cast<uint32_t>(resources.size()) + kFileAlignment - 1) /
                            kFileAlignment * kFileAlignment;
  Bytes image(kFileAlignment + raw_size);

  image.Text(0, "MZ");
  image.U32(0x3C, 0x40);
  image.Text(0x40, std::string_view("PE\0\0", 4));
  const size_t coff = 0x44;
  const uint32_t optional_size = options.pe32_plus ? 240 : 224;
  image.U16(coff, options.pe32_plus ? 0x8664 : 0x14C);
  image.U16(coff + 2, resources.empty() ? 0 : 1);
  image.U16(coff + 16, optional_size);
  image.U16(coff + 18, 0x0022);

  const size_t optional = coff + 20;
  image.U16(optional, options.pe32_plus ? 0x20B : 0x10B);
  image.U32(optional + 32, 0x1000);
  image.U32(optional + 36, kFileAlignment);
  const size_t directory_count = optional + (options.pe32_plus ? 108 : 92);
  image.U32(directory_count, 16);
  if (!resources.empty()) {
    image.U32(directory_count + 4 + 2 * 8, kResourceRva);
    image.U32(directory_count + 4 + 2 * 8 + 4, static_cast<uint32_t>(resources.size()));
    const size_t section = optional + optional_size;
    image.Text(section, ".rsrc");
    image.U32(section + 8, static_cast<uint32_t>(resources.size()));
    image.U32(section + 12, kResourceRva);
    image.U32(section + 16, raw_size);
    image.U32(section + 20, kFileAlignment);
    image.U32(section + 36, 0x40000040);
    image.Text(kFileAlignment, resources);
  }
  return image.data();
}

}  // namespace zepr::testing
