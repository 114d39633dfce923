// For tests: makes the layer's next CreateThread calls fail, as on a system that has no room for another
// thread, so that callers' handling of a thread that never started can be exercised.
#ifndef DRAVIK_PLATFORM_POSIX_THREAD_FAULTS_H
#define DRAVIK_PLATFORM_POSIX_THREAD_FAULTS_H

#include <cstdint>

namespace w32sim {

// The next `count` calls of CreateThread return null with ERROR_NOT_ENOUGH_MEMORY; 0 ends the failures.
void FailThreadCreations(uint32_t count);

}  // namespace w32sim

#endif  // DRAVIK_PLATFORM_POSIX_THREAD_FAULTS_H
