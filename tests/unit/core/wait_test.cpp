#include "core/wait.h"

#include <gtest/gtest.h>

#include "support/fake_window.h"

namespace zepr {
namespace {

// Waits take exactly their time, whatever the counter's start value and its wrap-around.
TEST(WaitPumpingMessages, EndsAfterItsTimeAcrossTheWrapAround) {
  for (uint32_t start : {0u, 0x80000010u, 0xFFFFFF00u, 0xFFFFFFFFu}) {
    VirtualClock clock(start);
    testing::FakeWindow w(clock);
    WaitPumpingMessages(w, 2000);
    EXPECT_EQ(clock.slept_ms(), 2000u) << "start " << start;
    EXPECT_GT(w.processed(), 1);
  }
}

TEST(WaitPumpingMessages, ZeroOrNegativeReturnsAtOnce) {
  VirtualClock clock;
  testing::FakeWindow w(clock);
  WaitPumpingMessages(w, 0);
  WaitPumpingMessages(w, -5);
  EXPECT_EQ(clock.slept_ms(), 0u);
}

}  // namespace
}  // namespace zepr
