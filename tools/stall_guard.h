// Whether a run's progress has stood still too long. It counts on the platform's clock (GetTickCount),
// as the library's own bounds do; but time in which the tool did not run at all (stopped with Ctrl-Z or
// SIGSTOP, or the machine asleep, which GetTickCount counts through on Windows) is no time the handheld
// stood still in: the library's threads did not run either.
#ifndef DRAVIK_TOOLS_STALL_GUARD_H
#define DRAVIK_TOOLS_STALL_GUARD_H

#include <chrono>
#include <cstdint>

namespace dravik_update {

// How far apart the tool polls the library's progress, in real milliseconds.
constexpr int kPollIntervalMs = 100;

// The poll interval in the platform clock's milliseconds (which tests run faster than real time).
uint32_t PollIntervalTicks();

class StallGuard {
 public:
  // `now`: GetTickCount() as the run starts; `poll_ticks`: the poll interval on that clock.
  StallGuard(uint32_t now, uint32_t poll_ticks);

  // One poll at `now` that saw the progress at `percent`. A gap since the previous poll far beyond the
  // interval means the tool was not running: both references start again from `now`, and false is
  // returned.
  bool Poll(uint32_t now, int percent);

  // Milliseconds the progress has stood still, and since the run began (or resumed after a pause).
  uint32_t StillFor(uint32_t now) const { return now - last_change_; }
  uint32_t RunningFor(uint32_t now) const { return now - start_; }

 private:
  uint32_t pause_gap_;  // a gap between polls longer than this is a pause
  uint32_t start_;
  uint32_t last_poll_;
  uint32_t last_change_;
  int last_percent_ = -1;
};

// Real seconds spent waiting, for --wait: counted between successive calls of Tick, made every few
// hundred milliseconds by a waiting loop. A gap of more than two seconds between two calls is time the
// tool was stopped or the machine asleep, not time it waited, and is left out.
class WaitedSeconds {
 public:
  WaitedSeconds() : last_(std::chrono::steady_clock::now()) {}
  // The seconds waited so far, this call's included.
  double Tick();

 private:
  std::chrono::steady_clock::time_point last_;
  double waited_ = 0;
};

}  // namespace dravik_update

#endif  // DRAVIK_TOOLS_STALL_GUARD_H
