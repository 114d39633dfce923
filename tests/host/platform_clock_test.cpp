// The layer's clock: Sleep, GetTickCount and _time64 run on virtual time that a test can speed up,
// and virtual time never runs backwards when the speed changes.
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include <gtest/gtest.h>

#include "platform/posix/clock.h"
#include "platform/win32.h"

namespace {

using Real = std::chrono::steady_clock;

long RealMsSince(Real::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Real::now() - t).count());
}

class ClockTest : public ::testing::Test {
 protected:
  void TearDown() override { w32sim::SetClockScale(1.0); }
};

TEST_F(ClockTest, ScaledSleepTakesScaledRealTimeAndMovesTheTickCount) {
  w32sim::SetClockScale(100);
  EXPECT_DOUBLE_EQ(w32sim::ClockScale(), 100);
  DWORD t0 = GetTickCount();
  auto start = Real::now();
  Sleep(3000);  // 30 ms real
  long real = RealMsSince(start);
  DWORD t1 = GetTickCount();
  EXPECT_GE(t1 - t0, 3000u);
  EXPECT_LT(t1 - t0, 3000u + 100u * 200u);
  EXPECT_GE(real, 25);
  EXPECT_LT(real, 1000);
}

TEST_F(ClockTest, UnscaledSleepIsRealTime) {
  auto start = Real::now();
  DWORD t0 = GetTickCount();
  Sleep(30);
  EXPECT_GE(RealMsSince(start), 29);
  EXPECT_GE(GetTickCount() - t0, 30u);
}

// A change of speed rebases the clock: readings before and after it stay in order and nothing jumps.
TEST_F(ClockTest, VirtualTimeStaysMonotoneAcrossScaleChanges) {
  w32sim::SetClockScale(1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  uint64_t fast = w32sim::VirtualMilliseconds();
  w32sim::SetClockScale(1);
  uint64_t slow = w32sim::VirtualMilliseconds();
  EXPECT_GE(slow, fast);
  EXPECT_LT(slow - fast, 50u) << "slowing down must not jump ahead";
  w32sim::SetClockScale(0.5);
  uint64_t slower = w32sim::VirtualMilliseconds();
  EXPECT_GE(slower, slow);
  uint64_t last = slower;
  for (double scale : {10.0, 0.1, 1000.0, 1.0}) {
    w32sim::SetClockScale(scale);
    uint64_t now = w32sim::VirtualMilliseconds();
    EXPECT_GE(now, last) << "scale " << scale;
    last = now;
  }
}

TEST_F(ClockTest, NonsenseScalesAreIgnored) {
  w32sim::SetClockScale(20);
  w32sim::SetClockScale(0);
  w32sim::SetClockScale(-3);
  w32sim::SetClockScale(std::nan(""));
  w32sim::SetClockScale(INFINITY);
  EXPECT_DOUBLE_EQ(w32sim::ClockScale(), 20);
}

// A thread already sleeping picks up a faster clock: a test may speed up a worker in its pause.
TEST_F(ClockTest, SpeedingUpWakesASleeperEarly) {
  std::atomic<bool> woke{false};
  std::thread sleeper([&] {
    Sleep(60000);
    woke = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(woke);
  auto start = Real::now();
  w32sim::SetClockScale(1e6);
  sleeper.join();
  EXPECT_TRUE(woke);
  EXPECT_LT(RealMsSince(start), 2000);
}

TEST_F(ClockTest, CalendarTimeRunsOnTheLayersClock) {
  __time64_t before = _time64(nullptr);
  EXPECT_GT(before, 1600000000);  // a calendar time, not an uptime
  w32sim::SetClockScale(1000);
  Sleep(5000);
  __time64_t stored = 0;
  __time64_t after = _time64(&stored);
  EXPECT_EQ(stored, after);
  EXPECT_GE(after - before, 4);
  EXPECT_LT(after - before, 60);
}

}  // namespace
