#include "install/zip_reader.h"

#include <gtest/gtest.h>

#include "support/sandbox.h"
#include "zip_writer.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;
using testing::BuildZip;
using testing::TempDir;
using testing::WriteFile;

void SetLe32(std::string& zip, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) zip[at + i] = static_cast<char>(value >> (8 * i));
}

// The stated size of the first entry, in its local header and the central directory.
std::string WithStatedSize(std::string zip, uint32_t size) {
  SetLe32(zip, 22, size);
  SetLe32(zip, zip.find("PK\x01\x02") + 24, size);
  return zip;
}

// What the reader makes of each entry: its data as passed on, or "damaged".
std::vector<std::string> ReadAll(const fs::path& archive, uint64_t& most_passed) {
  std::vector<std::string> seen;
  most_passed = 0;
  auto reader = ZipReader::Open(archive);
  if (!reader) return {"no directory"};
  ZipEntryInfo entry;
  for (;;) {
    const auto step = reader->Next(entry);
    if (step == ZipReader::Step::kEnd) return seen;
    if (step == ZipReader::Step::kDamaged) {
      seen.push_back("damaged entry");
      return seen;
    }
    std::string data;
    const bool whole = reader->ReadData([&](std::string_view piece) {
      data += piece;
      return true;
    });
    most_passed = std::max<uint64_t>(most_passed, data.size());
    seen.push_back(whole ? entry.name + "=" + data : entry.name + " damaged");
  }
}

// Sizes and offsets the archive states are never believed beyond the bytes that are there.
TEST(ZipReader, StatedSizesAreCheckedAgainstTheData) {
  TempDir dir;
  const std::string text(100000, 'x');  // inflates far beyond its deflated size
  const std::string deflated = BuildZip({{"a.txt", text, false, 0, testing::kDeflated}});
  const std::string stored = BuildZip({{"a.txt", "abc"}});
  std::string huge_directory = stored;
  SetLe32(huge_directory, huge_directory.size() - 10, 0xFFFFFF00);  // directory size
  std::string offset_past_end = stored;
  SetLe32(offset_past_end, offset_past_end.find("PK\x01\x02") + 42, 0x7FFFFFFF);
  std::string zip64_without_field = stored;
  SetLe32(zip64_without_field, zip64_without_field.find("PK\x01\x02") + 20, 0xFFFFFFFF);
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> seen;
    uint64_t most_passed;
  };
  const Case cases[] = {
      {"whole", deflated, {"a.txt=" + text}, text.size()},
      {"inflates past its size", WithStatedSize(deflated, 1000), {"a.txt damaged"}, 1000},
      {"inflates short of its size",
       WithStatedSize(deflated, 200000),
       {"a.txt damaged"},
       text.size()},
      {"stored, longer than stated", WithStatedSize(stored, 2), {"a.txt damaged"}, 0},
      {"directory larger than the file", huge_directory, {"no directory"}, 0},
      {"entry past the end of the file", offset_past_end, {"no directory"}, 0},
      {"overflowed size without its zip64 field", zip64_without_field, {"no directory"}, 0},
  };
  for (const auto& c : cases) {
    const fs::path archive = dir.path() / "a.zip";
    WriteFile(archive, c.bytes);
    uint64_t most_passed = 0;
    EXPECT_EQ(ReadAll(archive, most_passed), c.seen) << c.name;
    EXPECT_LE(most_passed, c.most_passed) << c.name;
  }
}

}  // namespace
}  // namespace zepr
