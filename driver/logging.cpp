// The diagnostic log "logfile.txt": LogPrintf.
#include "logging.h"

#include <cstdarg>
#include <cstdio>

namespace {

constexpr const char* kLogFile = "logfile.txt";

// Text mode: every line feed of the entry is stored as CR LF. Shared, so that entries of the other
// threads and processes are appended at the then end of the file.
FILE* OpenLog() { return _fsopen(kLogFile, "at", _SH_DENYNO); }

}  // namespace

// Each entry opens the file, appends and closes it: nothing waits in memory, so the log is complete up
// to the last entry whatever happens next (a read that blocks for good, a process that is killed), and
// each entry goes to the current directory of its moment.
void LogPrintf(const char* format, ...) {
  if (format == nullptr) return;
  FILE* log = OpenLog();
  if (log == nullptr) return;
  va_list args;
  va_start(args, format);
  vfprintf(log, format, args);
  va_end(args);
  fputc('\n', log);
  fclose(log);
}
