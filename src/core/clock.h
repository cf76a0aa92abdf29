#pragma once

#include <cstdint>

namespace zepr {

// The millisecond tick counter and plain (message-free) pauses. Tests inject a virtual clock
// so the specified pauses cost no real time.
class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary start; wraps around at 2^32 like the system's counter.
  virtual uint32_t TickCount() = 0;
  // A pause during which no window messages are processed.
  virtual void Sleep(uint32_t ms) = 0;
  // Wall-clock time in milliseconds since the epoch (statistics, log dates).
  virtual int64_t NowMs() = 0;
};

class SystemClock : public Clock {
 public:
  uint32_t TickCount() override;
  void Sleep(uint32_t ms) override;
  int64_t NowMs() override;
};

// Time moves only when somebody sleeps or advances it.
class VirtualClock : public Clock {
 public:
  explicit VirtualClock(uint32_t start_ticks = 0) : ticks_(start_ticks) {}
  uint32_t TickCount() override { return ticks_; }
  void Sleep(uint32_t ms) override { Advance(ms); }
  int64_t NowMs() override { return now_ms_; }
  void Advance(uint32_t ms) {
    ticks_ += ms;
    now_ms_ += ms;
    slept_ms_ += ms;
  }
  uint64_t slept_ms() const { return slept_ms_; }

 private:
  uint32_t ticks_;
  int64_t now_ms_ = 1'700'000'000'000;
  uint64_t slept_ms_ = 0;
};

}  // namespace zepr
