#include <X11/Xlib.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "core/encoding.h"
#include "platform/platform.h"

namespace zepr::platform {

std::string ExecutableFolder() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  std::string folder = ec ? std::filesystem::current_path().string() : exe.parent_path().string();
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

bool DisplayAvailable() {
  if (const char* h = std::getenv("ZEPR_HEADLESS"); h && std::string_view(h) == "1") return false;
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  XCloseDisplay(display);
  return true;
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  std::vector<std::string> args;
  args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(ArgumentToUtf8(argv[i]));
  return args;
}

void PrepareStandardStreams() {
  signal(SIGPIPE, SIG_IGN);
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free number, which is this one.
    if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd) return;
  }
}

namespace {

// A locale string in the locale's own codeset, as UTF-8; empty when it cannot be converted.
std::string LocaleTextToUtf8(std::string_view text, const std::string& codeset) {
  if (codeset == "UTF-8") return IsValidUtf8(text) ? std::string(text) : std::string();
  iconv_t cd = iconv_open("UTF-8", codeset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return {};
  std::string in(text);
  std::string out(in.size() * 4 + 4, '\0');
  char* in_ptr = in.data();
  size_t in_left = in.size();
  char* out_ptr = out.data();
  size_t out_left = out.size();
  const size_t converted = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
  iconv_close(cd);
  if (converted == static_cast<size_t>(-1) || in_left != 0) return {};
  out.resize(out.size() - out_left);
  return out;
}

}  // namespace

LocaleSeparators UserNumericSeparators() {
  const char* name = nullptr;
  for (const char* variable : {"LC_ALL", "LC_NUMERIC", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') {
      name = value;
      break;
    }
  }
  if (name == nullptr) return {};
  // The separators are stored in the codeset of the locale that defines them, so the character
  // type category comes from the same name.
  locale_t locale = newlocale(LC_NUMERIC_MASK | LC_CTYPE_MASK, name, static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) return {};
  const std::string codeset = nl_langinfo_l(CODESET, locale);
  LocaleSeparators separators{LocaleTextToUtf8(nl_langinfo_l(THOUSEP, locale), codeset),
                              LocaleTextToUtf8(nl_langinfo_l(RADIXCHAR, locale), codeset)};
  freelocale(locale);
  return separators;
}

}  // namespace zepr::platform
