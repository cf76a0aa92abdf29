#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "core/encoding.h"

namespace zepr {
namespace {

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};

std::string Convert(std::string_view in, const char* to, const char* from) {
  iconv_t raw = iconv_open(to, from);
  if (raw == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  std::unique_ptr<void, IconvCloser> cd(raw);
  std::string out;
  out.resize(in.size() * 4 + 16);
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  while (src_left > 0) {
    size_t r = iconv(raw, &src, &src_left, &dst, &dst_left);
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG || dst_left == 0) {
      size_t used = out.size() - dst_left;
      out.resize(out.size() * 2);
      dst = out.data() + used;
      dst_left = out.size() - used;
      if (errno == E2BIG) continue;
    }
    // Unconvertible or invalid input: one '?' for it, then go on with the next input
    // unit (a whole UTF-8 sequence where the input is UTF-8).
    *dst++ = '?';
    --dst_left;
    size_t skip = 1;
    if (std::string_view(from) == "UTF-8") {
      // A whole character that the target lacks; a byte that starts no character alone.
      skip = std::max<size_t>(1, ValidUtf8Length(std::string_view(src, src_left)));
    }
    src += skip;
    src_left -= skip;
  }
  out.resize(out.size() - dst_left);
  return out;
}

}  // namespace

std::string Cp1250ToUtf8(std::string_view bytes) { return Convert(bytes, "UTF-8", "CP1250"); }
std::string Utf8ToCp1250(std::string_view text) { return Convert(text, "CP1250", "UTF-8"); }
std::string Cp852ToUtf8(std::string_view bytes) { return Convert(bytes, "UTF-8", "CP852"); }

}  // namespace zepr
