// The layer's clock. Sleep and GetTickCount run on it; tests run it faster than real time so that the
// library's fixed pauses (1000 ms per job, 1.5 s device polls, 11 s service waits) cost milliseconds.
// Virtual milliseconds = real milliseconds elapsed x scale; Sleep(ms) sleeps ms / scale real time.
// Waits that belong to the platform (comm time-outs, blocking reads) stay real.
#ifndef DRAVIK_PLATFORM_POSIX_CLOCK_H
#define DRAVIK_PLATFORM_POSIX_CLOCK_H

#include <cstdint>

namespace w32sim {

// Scale 1 is real time; the environment variable DRAVIK_CLOCK_SCALE sets the scale at start.
void SetClockScale(double scale);
double ClockScale();
// Virtual milliseconds since the layer started.
uint64_t VirtualMilliseconds();
// GetTickCount gives `ticks` now and counts on from there (modulo 2^32, as on Windows), like a machine
// that has been up for weeks: tests put the counter's wrap after 49.7 days within reach. At start it
// counts from 0.
void SetTickCountOrigin(uint32_t ticks);

}  // namespace w32sim

#endif  // DRAVIK_PLATFORM_POSIX_CLOCK_H
