#include "support/journal_bytes.h"

#include <cstdint>

namespace zepr::testing {
namespace {

// A header line, then per record: the kind, three fields each with a 32-bit little-endian
// length, and an FNV-1a checksum of all that.
constexpr std::string_view kHeader = "ZEPR install journal 1\n";

void Put32(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
}

uint32_t Get32(std::string_view bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

uint32_t Checksum(std::string_view bytes) {
  uint32_t hash = 2166136261u;
  for (char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return hash;
}

// The record at bytes[at], advancing at; false at the end or at a damaged record.
bool Decode(std::string_view bytes, size_t& at, JournalRecord& record) {
  size_t pos = at;
  if (pos >= bytes.size()) return false;
  const char kind = bytes[pos++];
  if (kind != 'F' && kind != 'N' && kind != 'R') return false;
  record.kind = static_cast<JournalRecord::Kind>(kind);
  for (std::string* field : {&record.path, &record.backup, &record.temporary}) {
    if (bytes.size() - pos < 4) return false;
    const uint32_t length = Get32(bytes, pos);
    pos += 4;
    if (bytes.size() - pos < length) return false;
    field->assign(bytes.substr(pos, length));
    pos += length;
  }
  if (bytes.size() - pos < 4 || Get32(bytes, pos) != Checksum(bytes.substr(at, pos - at))) {
    return false;
  }
  at = pos + 4;
  return !record.path.empty();
}

}  // namespace

std::string JournalBytes(const std::vector<JournalRecord>& records) {
  std::string bytes(kHeader);
  for (const auto& record : records) {
    std::string encoded(1, static_cast<char>(record.kind));
    for (const std::string* field : {&record.path, &record.backup, &record.temporary}) {
      Put32(encoded, static_cast<uint32_t>(field->size()));
      encoded += *field;
    }
    Put32(encoded, Checksum(encoded));
    bytes += encoded;
  }
  return bytes;
}

std::vector<JournalRecord> JournalRecords(std::string_view bytes) {
  std::vector<JournalRecord> records;
  if (!bytes.starts_with(kHeader)) return records;
  size_t at = kHeader.size();
  for (JournalRecord record; Decode(bytes, at, record);) records.push_back(record);
  return records;
}

}  // namespace zepr::testing
