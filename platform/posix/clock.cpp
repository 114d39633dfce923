// The layer's clock: virtual time runs `scale` times faster than the monotonic real clock. A change of
// scale rebases the clock at the current virtual time, so virtual time never jumps back or skips ahead.
#include "clock.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/win32.h"

namespace w32sim {
namespace {

using RealClock = std::chrono::steady_clock;

double ScaleFromEnvironment() {
  const char* text = std::getenv("DRAVIK_CLOCK_SCALE");
  if (!text || !*text) return 1.0;
  char* end = nullptr;
  double scale = std::strtod(text, &end);
  if (end == text || !std::isfinite(scale) || scale <= 0) return 1.0;
  return scale;
}

struct Clock {
  std::mutex mutex;
  RealClock::time_point real_base = RealClock::now();
  double virtual_base_ms = 0;  // virtual ms at real_base
  double scale = ScaleFromEnvironment();
  int64_t calendar_start_s = static_cast<int64_t>(::time(nullptr));

  double VirtualNowLocked(RealClock::time_point now) const {
    double real_ms = std::chrono::duration<double, std::milli>(now - real_base).count();
    return virtual_base_ms + real_ms * scale;
  }
};

// Added to the virtual milliseconds by GetTickCount.
std::atomic<uint32_t> g_tick_offset{0};

Clock& TheClock() {
  static Clock* clock = new Clock;  // never destroyed: threads may sleep during static destruction
  return *clock;
}

double VirtualNowMs() {
  Clock& c = TheClock();
  std::lock_guard<std::mutex> lock(c.mutex);
  return c.VirtualNowLocked(RealClock::now());
}

}  // namespace

void SetClockScale(double scale) {
  if (!std::isfinite(scale) || scale <= 0) return;
  Clock& c = TheClock();
  std::lock_guard<std::mutex> lock(c.mutex);
  RealClock::time_point now = RealClock::now();
  c.virtual_base_ms = c.VirtualNowLocked(now);
  c.real_base = now;
  c.scale = scale;
}

double ClockScale() {
  Clock& c = TheClock();
  std::lock_guard<std::mutex> lock(c.mutex);
  return c.scale;
}

uint64_t VirtualMilliseconds() { return static_cast<uint64_t>(VirtualNowMs()); }

void SetTickCountOrigin(uint32_t ticks) {
  g_tick_offset.store(ticks - static_cast<uint32_t>(VirtualMilliseconds()));
}

// Sleeps until the virtual clock has moved on by `ms`. The wait is cut into slices of at most 20 ms real
// time, so a scale set while a thread sleeps (a test speeding up a worker already in its pause) takes
// effect at once.
void SleepVirtual(uint64_t ms) {
  const double target = VirtualNowMs() + static_cast<double>(ms);
  for (;;) {
    double now = VirtualNowMs();
    if (now >= target) return;
    double real_ms = (target - now) / ClockScale();
    real_ms = std::min(real_ms, 20.0);
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(std::max(real_ms, 0.01)));
  }
}

}  // namespace w32sim

extern "C" {

void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  if (dwMilliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  w32sim::SleepVirtual(dwMilliseconds);
}

DWORD WINAPI GetTickCount(void) {
  return static_cast<DWORD>(w32sim::VirtualMilliseconds()) + w32sim::g_tick_offset.load();
}

__time64_t _time64(__time64_t* t) {
  w32sim::Clock& c = w32sim::TheClock();
  __time64_t now = c.calendar_start_s + static_cast<__time64_t>(w32sim::VirtualMilliseconds() / 1000);
  if (t) *t = now;
  return now;
}

}  // extern "C"
