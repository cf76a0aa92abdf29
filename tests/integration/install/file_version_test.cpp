#include "install/file_version.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/peer_process.h"
#include "support/sandbox.h"

namespace zepr {
namespace {

namespace fs = std::filesystem;

// A second reader, written apart from ours and in another language: it walks the resource
// directory to the version resource (its first name and first language) and reads the fixed
// file information. One line per file: kind ("PE32", "PE32+", "-" for no such image, "?" when
// the image could not be read), the version or why there is none, the path.
constexpr const char* kSecondReader = R"PY(
import os, struct, sys

class Unreadable(Exception):
    pass

def read(f, offset, fmt):
    f.seek(offset)
    size = struct.calcsize(fmt)
    data = f.read(size)
    if len(data) != size:
        raise Unreadable('read beyond the end')
    return struct.unpack(fmt, data)

def version(f):
    if read(f, 0, '<2s')[0] != b'MZ':
        return '-', 'no MZ'
    pe, = read(f, 0x3C, '<I')
    if read(f, pe, '<4s')[0] != b'PE\0\0':
        return '-', 'no PE signature'
    section_count, optional_size = read(f, pe + 6, '<H12xH')
    optional = pe + 24
    magic, = read(f, optional, '<H')
    kinds = {0x10B: ('PE32', 96), 0x20B: ('PE32+', 112)}
    if magic not in kinds:
        return '-', 'optional header 0x%x' % magic
    kind, directories = kinds[magic]
    count, = read(f, optional + directories - 4, '<I')
    if count < 3:
        return kind, 'no resource directory'
    resources, _ = read(f, optional + directories + 2 * 8, '<II')
    if resources == 0:
        return kind, 'no resources'
    sections = [read(f, optional + optional_size + 40 * i + 8, '<4I')
                for i in range(section_count)]

    def at(rva):
        for _, address, raw_size, raw_offset in sections:
            if address <= rva < address + raw_size:
                return raw_offset + rva - address
        raise Unreadable('address 0x%x outside the sections' % rva)

    root = at(resources)

    def entries(directory):
        named, ids = read(f, directory + 12, '<HH')
        return [read(f, directory + 16 + 8 * i, '<II') for i in range(named + ids)]

    node = next((target for name, target in entries(root) if name == 16), None)
    if node is None:
        return kind, 'no version resource'
    for _ in ('name', 'language'):
        if not node & 0x80000000:
            raise Unreadable('data where a directory belongs')
        below = entries(root + (node & 0x7FFFFFFF))
        if not below:
            return kind, 'empty resource directory'
        node = below[0][1]
    if node & 0x80000000:
        raise Unreadable('directory where data belongs')
    data, size = read(f, root + node, '<II')
    block = at(data)
    key = 'VS_VERSION_INFO\0'.encode('utf-16-le')
    length, value_length, _, found_key = read(f, block, '<3H%ds' % len(key))
    if found_key != key or value_length < 52 or length > size:
        raise Unreadable('no VS_VERSION_INFO block')
    fixed = block + ((6 + len(key) + 3) & ~3)
    signature, _, ms, ls = read(f, fixed, '<4I')
    if signature != 0xFEEF04BD:
        raise Unreadable('no fixed file information')
    return kind, '%d.%d.%d.%d' % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

for folder in sys.argv[1:]:
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            with open(path, 'rb') as f:
                try:
                    kind, text = version(f)
                except Unreadable as e:
                    kind, text = '?', str(e)
            print('%s\t%s\t%s' % (kind, text, path))
)PY";

struct Image {
  std::string kind;
  std::string version;  // or why there is none
  std::string path;
  bool has_version() const {
    return (kind == "PE32" || kind == "PE32+") && !version.empty() && std::isdigit(version[0]);
  }
};

// Wine's own libraries and programs: real images from a real compiler, linker and resource
// compiler, hundreds of them, most without a version resource and many with one.
struct WineFolders {
  const char* kind;
  std::vector<fs::path> folders;  // where Debian's packages put them
};

void PrintTo(const WineFolders& folders, std::ostream* out) { *out << folders.kind; }

class FileVersionOfWineImages : public ::testing::TestWithParam<WineFolders> {};

TEST_P(FileVersionOfWineImages, AgreesWithASecondReaderOnEveryImage) {
  std::vector<std::string> argv = {testing::SystemPython(), "-c", kSecondReader};
  for (const auto& folder : GetParam().folders) {
    if (fs::is_directory(folder)) argv.push_back(folder.string());
  }
  if (argv.size() == 3) GTEST_SKIP() << "Wine's " << GetParam().kind << " images are not installed";
  const auto result = testing::RunProgram(argv);
  ASSERT_EQ(result.exit_code, 0) << result.output;

  std::vector<Image> images;
  std::istringstream lines(result.output);
  for (std::string line; std::getline(lines, line);) {
    const size_t first = line.find('\t');
    const size_t second = line.find('\t', first + 1);
    ASSERT_NE(second, std::string::npos) << line;
    images.push_back({line.substr(0, first), line.substr(first + 1, second - first - 1),
                      line.substr(second + 1)});
  }
  int versioned = 0;
  for (const auto& image : images) {
    if (image.has_version() && image.kind == GetParam().kind) ++versioned;
  }
  if (versioned == 0) {
    GTEST_SKIP() << "no " << GetParam().kind << " image of Wine with a version resource among "
                 << images.size() << " files";
  }

  for (const auto& image : images) {
    EXPECT_EQ(FileVersionString(image.path), image.has_version() ? image.version : "")
        << image.path << " (" << image.kind << ", " << image.version << ")";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FileVersionOfWineImages,
    ::testing::Values(WineFolders{"PE32",
                                  {"/usr/lib/x86_64-linux-gnu/wine/i386-windows",
                                   "/usr/lib/i386-linux-gnu/wine/i386-windows"}},
                      WineFolders{"PE32+", {"/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"}}),
    [](const ::testing::TestParamInfo<WineFolders>& info) {
      return std::string(info.param.kind == std::string("PE32") ? "Pe32" : "Pe32Plus");
    });

}  // namespace
}  // namespace zepr
