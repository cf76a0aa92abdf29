#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

struct _XDisplay;

namespace zepr::testing {

// A private X server (Xvfb, 1024 x 768, 24 bits) on a display number it picks itself, so
// tests never collide. It stops with its owner, and also when the test process dies.
class XServer {
 public:
  // Null, with the reason, when Xvfb is missing or does not come up.
  static std::unique_ptr<XServer> Start(std::string* why_not);
  XServer(pid_t pid, std::string display) : pid_(pid), display_(std::move(display)) {}
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  // ":N", for DISPLAY.
  const std::string& display() const { return display_; }

 private:
  pid_t pid_;
  std::string display_;
};

// A program started without waiting, its standard output and error in a file, with
// environment entries ("NAME=value") added or replacing those of the test. Killed when it is
// still running at the end.
class BackgroundProgram {
 public:
  BackgroundProgram(const std::vector<std::string>& argv,
                    const std::vector<std::string>& env_changes,
                    const std::filesystem::path& output);
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;
  pid_t pid() const { return pid_; }
  // True when the program ended within the time; its exit code then in *code.
  bool WaitForExit(int ms, int* code);

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
};

// An RGB picture of the screen or of a part of it.
struct Rgb8 {
  uint8_t r, g, b;
};

class Shot {
 public:
  Shot() = default;
  Shot(int w, int h) : w_(w), h_(h), pixels_(static_cast<size_t>(w) * h) {}
  int w() const { return w_; }
  int h() const { return h_; }
  Rgb8 at(int x, int y) const { return pixels_[static_cast<size_t>(y) * w_ + x]; }
  Rgb8& at(int x, int y) { return pixels_[static_cast<size_t>(y) * w_ + x]; }
  Shot Crop(int x, int y, int w, int h) const;
  // Pixels of the rectangle for which the predicate holds.
  template <typename Pred>
  int Count(int x, int y, int w, int h, Pred pred) const {
    int n = 0;
    for (int j = y; j < y + h; ++j) {
      for (int i = x; i < x + w; ++i) n += pred(at(i, j)) ? 1 : 0;
    }
    return n;
  }
  // Binary PPM (P6).
  static Shot ReadPpm(const std::filesystem::path& path);
  void WritePpm(const std::filesystem::path& path) const;

 private:
  int w_ = 0;
  int h_ = 0;
  std::vector<Rgb8> pixels_;
};

// Colour tests with room for anti-aliasing.
bool Near(Rgb8 c, int r, int g, int b, int tolerance = 24);
bool Dark(Rgb8 c);  // text and ticks

// Pixels whose colour differs by more than a threshold in some channel.
int DifferentPixels(const Shot& a, const Shot& b, int threshold = 64);

// Converts between PNG and PPM with ImageMagick (for stored references and for looking at
// screenshots).
void ConvertImage(const std::filesystem::path& from, const std::filesystem::path& to);

// The window's pixels as they are on the screen now.
Shot CaptureWindow(_XDisplay* display, unsigned long window);

// What the window manager sends when the close box is clicked.
void SendCloseRequest(_XDisplay* display, unsigned long window);

// Whether the window asked the window manager for no decorations (no border, no caption).
bool WindowIsBorderless(const std::string& display, unsigned long window);

}  // namespace zepr::testing
