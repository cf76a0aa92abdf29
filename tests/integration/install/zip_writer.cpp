#include "zip_writer.h"

#include <array>

namespace zepr::testing {
namespace {

uint32_t Crc32(const std::string& data) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char b : data) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

void U16(std::string& out, uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}

void U32(std::string& out, uint32_t v) {
  U16(out, v & 0xFFFF);
  U16(out, v >> 16);
}

// Bits go out least significant first; Huffman codes most significant bit first.
class BitWriter {
 public:
  void Bits(uint32_t value, int count) {
    pending_ |= value << filled_;
    filled_ += count;
    while (filled_ >= 8) {
      out_ += static_cast<char>(pending_ & 0xFF);
      pending_ >>= 8;
      filled_ -= 8;
    }
  }
  void Code(uint32_t code, int length) {
    uint32_t reversed = 0;
    for (int i = 0; i < length; ++i) reversed |= ((code >> i) & 1) << (length - 1 - i);
    Bits(reversed, length);
  }
  std::string Finish() {
    if (filled_ > 0) out_ += static_cast<char>(pending_ & 0xFF);
    return out_;
  }

 private:
  std::string out_;
  uint32_t pending_ = 0;
  int filled_ = 0;
};

// One final deflate block with the fixed codes, every byte a literal: real deflate for the
// reader to inflate, without a compressor.
std::string Deflate(const std::string& data) {
  BitWriter w;
  w.Bits(1, 1);  // last block
  w.Bits(1, 2);  // fixed Huffman codes
  for (unsigned char c : data) {
    if (c < 144) {
      w.Code(0x30 + c, 8);
    } else {
      w.Code(0x190 + c - 144, 9);
    }
  }
  w.Code(0, 7);  // end of block
  return w.Finish();
}

}  // namespace

std::string BuildZip(const std::vector<ZipEntry>& entries, ZipTime time) {
  const uint32_t dos_time = (time.hour << 11) | (time.minute << 5) | (time.second / 2);
  const uint32_t dos_date = ((time.year - 1980) << 9) | (time.month << 5) | time.day;
  std::string out;
  std::string central;
  for (const auto& e : entries) {
    const uint32_t offset = static_cast<uint32_t>(out.size());
    const uint32_t crc = Crc32(e.data);
    const std::string payload = e.method == kDeflated ? Deflate(e.data) : e.data;
    const uint32_t size = static_cast<uint32_t>(e.data.size());
    const uint32_t flags =
        (e.utf8_flag ? 0x0800 : 0) | (e.encrypted ? 0x0001 : 0) | (e.descriptor ? 0x0008 : 0);
    std::string zip64;
    if (e.zip64) {
      U16(zip64, 1);
      U16(zip64, 16);
      U32(zip64, size);
      U32(zip64, 0);
      U32(zip64, static_cast<uint32_t>(payload.size()));
      U32(zip64, 0);
    }
    auto common = [&](std::string& header, bool local) {
      const bool stated = !(local && e.descriptor);
      U16(header, e.zip64 ? 45 : 20);  // version needed
      U16(header, flags);
      U16(header, e.method);
      U16(header, dos_time);
      U16(header, dos_date);
      U32(header, stated ? crc : 0);
      U32(header, !stated ? 0 : e.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(payload.size()));
      U32(header, !stated ? 0 : e.zip64 ? 0xFFFFFFFF : size);
      U16(header, static_cast<uint32_t>(e.name.size()));
      U16(header, static_cast<uint32_t>(zip64.size()));
    };
    U32(out, 0x04034b50);
    common(out, true);
    out += e.name;
    out += zip64;
    out += payload;
    if (e.descriptor) {
      U32(out, 0x08074b50);
      U32(out, crc);
      U32(out, static_cast<uint32_t>(payload.size()));
      U32(out, size);
    }

    U32(central, 0x02014b50);
    U16(central, e.unix_mode ? 0x0314 : 0x0014);  // made by Unix or by a DOS/Windows tool
    common(central, false);
    U16(central, 0);  // comment
    U16(central, 0);  // disk
    U16(central, 0);  // internal attributes
    const bool folder = !e.name.empty() && (e.name.back() == '/' || e.name.back() == '\\');
    U32(central, (e.unix_mode << 16) | (folder ? 0x10 : 0));
    U32(central, offset);
    central += e.name;
    central += zip64;
  }
  const uint32_t central_offset = static_cast<uint32_t>(out.size());
  out += central;
  U32(out, 0x06054b50);
  U16(out, 0);
  U16(out, 0);
  U16(out, static_cast<uint32_t>(entries.size()));
  U16(out, static_cast<uint32_t>(entries.size()));
  U32(out, static_cast<uint32_t>(central.size()));
  U32(out, central_offset);
  U16(out, 0);
  return out;
}

}  // namespace zepr::testing
