#include "stall_guard.h"

#ifndef _WIN32
#include "platform/posix/clock.h"
#endif

namespace dravik_update {

namespace {
// A poll this many intervals late was not merely delayed by a busy machine.
constexpr uint32_t kPauseGapPolls = 20;
}  // namespace

uint32_t PollIntervalTicks() {
#ifdef _WIN32
  return kPollIntervalMs;
#else
  // The platform layer's clock may run faster than real time, the polls' sleep does not.
  const double ticks = kPollIntervalMs * w32sim::ClockScale();
  return ticks >= 1e8 ? 100000000u : static_cast<uint32_t>(ticks);
#endif
}

StallGuard::StallGuard(uint32_t now, uint32_t poll_ticks)
    : pause_gap_(poll_ticks * kPauseGapPolls), start_(now), last_poll_(now), last_change_(now) {}

bool StallGuard::Poll(uint32_t now, int percent) {
  const bool was_running = now - last_poll_ <= pause_gap_;
  last_poll_ = now;
  if (!was_running) {
    start_ = now;
    last_change_ = now;
  }
  if (percent != last_percent_) {
    last_percent_ = percent;
    last_change_ = now;
  }
  return was_running;
}

double WaitedSeconds::Tick() {
  constexpr double kPausedAfterS = 2.0;
  const auto now = std::chrono::steady_clock::now();
  const double gap = std::chrono::duration<double>(now - last_).count();
  last_ = now;
  if (gap <= kPausedAfterS) waited_ += gap;
  return waited_;
}

}  // namespace dravik_update
