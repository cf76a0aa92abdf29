#include "x_server.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "support/sandbox.h"

extern char** environ;

namespace zepr::testing {

std::unique_ptr<XServer> XServer::Start(std::string* why_not) {
  if (FindProgram("Xvfb").empty()) {
    *why_not = "Xvfb is not installed (Debian package xvfb)";
    return nullptr;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *why_not = "pipe failed";
    return nullptr;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // Dies with the test, whatever happens to it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(devnull, 2);
    // Xvfb writes the display number it chose to this descriptor.
    const int report = dup(fds[1]);
    const std::string fd = std::to_string(report);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten",
           "tcp", "-noreset", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  pollfd pfd{fds[0], POLLIN, 0};
  while (number.find('\n') == std::string::npos && poll(&pfd, 1, 15000) > 0) {
    char buf[32];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    number.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (number.find('\n') == std::string::npos) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    *why_not = "Xvfb did not report a display";
    return nullptr;
  }
  number.resize(number.find('\n'));
  return std::make_unique<XServer>(pid, ":" + number);
}

XServer::~XServer() {
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

Shot Shot::Crop(int x, int y, int w, int h) const {
  Shot out(w, h);
  for (int j = 0; j < h; ++j) {
    for (int i = 0; i < w; ++i) out.at(i, j) = at(x + i, y + j);
  }
  return out;
}

namespace {

// Reads one header token of a PPM, skipping blanks and comments.
std::string Token(std::istream& in) {
  std::string token;
  int c;
  while ((c = in.get()) != EOF) {
    if (c == '#') {
      while ((c = in.get()) != EOF && c != '\n') {
      }
      continue;
    }
    if (std::isspace(c)) {
      if (!token.empty()) break;
      continue;
    }
    token += static_cast<char>(c);
  }
  return token;
}

}  // namespace

Shot Shot::ReadPpm(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (Token(in) != "P6") throw std::runtime_error("not a binary PPM: " + path.string());
  const int w = std::stoi(Token(in));
  const int h = std::stoi(Token(in));
  const int max = std::stoi(Token(in));
  if (max != 255) throw std::runtime_error("PPM with 16-bit samples: " + path.string());
  Shot picture(w, h);
  std::vector<char> raw(static_cast<size_t>(w) * h * 3);
  in.read(raw.data(), static_cast<std::streamsize>(raw.size()));
  if (!in) throw std::runtime_error("short PPM: " + path.string());
  for (size_t i = 0; i < picture.pixels_.size(); ++i) {
    picture.pixels_[i] = {static_cast<uint8_t>(raw[3 * i]), static_cast<uint8_t>(raw[3 * i + 1]),
                          static_cast<uint8_t>(raw[3 * i + 2])};
  }
  return picture;
}

void Shot::WritePpm(const std::filesystem::path& path) const {
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << w_ << " " << h_ << "\n255\n";
  for (const Rgb8& p : pixels_) {
    out.put(static_cast<char>(p.r)).put(static_cast<char>(p.g)).put(static_cast<char>(p.b));
  }
}

bool Near(Rgb8 c, int r, int g, int b, int tolerance) {
  return std::abs(c.r - r) <= tolerance && std::abs(c.g - g) <= tolerance &&
         std::abs(c.b - b) <= tolerance;
}

bool Dark(Rgb8 c) { return c.r < 110 && c.g < 110 && c.b < 110; }

int DifferentPixels(const Shot& a, const Shot& b, int threshold) {
  if (a.w() != b.w() || a.h() != b.h()) return a.w() * a.h() + 1;
  int n = 0;
  for (int y = 0; y < a.h(); ++y) {
    for (int x = 0; x < a.w(); ++x) {
      const Rgb8 p = a.at(x, y), q = b.at(x, y);
      if (std::abs(p.r - q.r) > threshold || std::abs(p.g - q.g) > threshold ||
          std::abs(p.b - q.b) > threshold) {
        ++n;
      }
    }
  }
  return n;
}

void ConvertImage(const std::filesystem::path& from, const std::filesystem::path& to) {
  auto r = RunProgram({FindProgram("convert"), from.string(), "-depth", "8", to.string()});
  if (r.exit_code != 0) throw std::runtime_error("convert failed: " + r.output);
}

Shot CaptureWindow(Display* display, unsigned long window) {
  XSync(display, False);
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display, window, &attributes)) return {};
  std::unique_ptr<XImage, int (*)(XImage*)> image(
      XGetImage(display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap),
      [](XImage* i) { return XDestroyImage(i); });
  if (!image) return {};
  Shot shot(attributes.width, attributes.height);
  for (int y = 0; y < shot.h(); ++y) {
    for (int x = 0; x < shot.w(); ++x) {
      const unsigned long p = XGetPixel(image.get(), x, y);
      shot.at(x, y) = {static_cast<uint8_t>((p & image->red_mask) >> 16),
                       static_cast<uint8_t>((p & image->green_mask) >> 8),
                       static_cast<uint8_t>(p & image->blue_mask)};
    }
  }
  return shot;
}

void SendCloseRequest(Display* display, unsigned long window) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
  XFlush(display);
}

bool WindowIsBorderless(const std::string& display_name, unsigned long window) {
  Display* display = XOpenDisplay(display_name.c_str());
  if (!display) return false;
  const Atom hints = XInternAtom(display, "_MOTIF_WM_HINTS", True);
  bool borderless = false;
  if (hints != None) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, hints, 0, 5, False, AnyPropertyType, &type, &format,
                           &count, &after, &data) == Success &&
        data && format == 32 && count >= 3) {
      const auto* fields = reinterpret_cast<const long*>(data);
      // flags bit 1: the decorations field is set; decorations 0: none at all.
      borderless = (fields[0] & 2) != 0 && fields[2] == 0;
    }
    if (data) XFree(data);
  }
  XCloseDisplay(display);
  return borderless;
}

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& argv,
                                     const std::vector<std::string>& env_changes,
                                     const std::filesystem::path& output) {
  std::vector<std::string> env = env_changes;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& change : env_changes) replaced |= change.rfind(name + "=", 0) == 0;
    if (!replaced) env.push_back(entry);
  }
  std::vector<char*> envp, args;
  for (auto& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (auto& s : argv_copy) args.push_back(s.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

BackgroundProgram::~BackgroundProgram() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool BackgroundProgram::WaitForExit(int ms, int* code) {
  for (int waited = 0; !exited_; waited += 50) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      *code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (waited >= ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

}  // namespace zepr::testing
