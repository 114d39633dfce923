// The diagnostic log "logfile.txt": LogPrintf.
#include "logging.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr const char* kLogFile = "logfile.txt";

// The threads of the process append their entries one at a time. Windows' C runtime appends by moving to
// the end of the file and then writing, two steps that another thread's entry can come between, and one
// entry then overwrites the other. (A spin lock: the library's Windows build has no std::mutex, and the
// wait is one entry's open, write and close at most.)
std::atomic_flag g_appending = ATOMIC_FLAG_INIT;

// Set once the process is ending and every other thread of it is gone: the lock is then taken when free
// and not waited for, since a thread ended inside an entry never gives it back.
std::atomic<bool> g_alone{false};

class AppendLock {
 public:
  AppendLock() {
    while (g_appending.test_and_set(std::memory_order_acquire)) {
      if (g_alone.load(std::memory_order_relaxed)) return;
      Sleep(0);
    }
  }
  ~AppendLock() { g_appending.clear(std::memory_order_release); }
  AppendLock(const AppendLock&) = delete;
  AppendLock& operator=(const AppendLock&) = delete;
};

// Text mode: every line feed of the entry is stored as CR LF. Shared, so that entries of the other
// threads and processes are appended at the then end of the file.
FILE* OpenLog() { return _fsopen(kLogFile, "at", _SH_DENYNO); }

}  // namespace

// Each entry opens the file, appends and closes it: nothing waits in memory, so the log is complete up
// to the last entry whatever happens next (a read that blocks for good, a process that is killed), and
// each entry goes to the current directory of its moment.
void LogPrintf(const char* format, ...) {
  if (format == nullptr) return;
  const AppendLock lock;
  FILE* log = OpenLog();
  if (log == nullptr) return;
  va_list args;
  va_start(args, format);
  vfprintf(log, format, args);
  va_end(args);
  fputc('\n', log);
  fclose(log);
}

void LogAloneInTheProcess() { g_alone.store(true); }
