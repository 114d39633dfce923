// The diagnostic log "logfile.txt".
#ifndef DRAVIK_LOGGING_H
#define DRAVIK_LOGGING_H

#include "../platform/win32.h"

#if defined(__GNUC__)
#define DRAVIK_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define DRAVIK_PRINTF(fmt, args)
#endif

// Appends one entry to "logfile.txt" in the current directory, in text mode (every line feed stored as
// CR LF, one ending the entry); a null format writes nothing.
void LogPrintf(const char* format, ...) DRAVIK_PRINTF(1, 2);

// Keeps "logfile.txt" open for LogPrintf on the calling thread while it lives, for a loop that logs a line
// per packet. Its lines are gathered and appended together, a system call for many lines instead of an
// open, a write and a close for each: once 4 KiB are waiting, once the oldest waiting line is a second old
// when another is added, before any other thread's entry (so the file keeps the order in which the
// threads logged), and when the scope ends. Each append holds whole lines and lands at the then end of
// the file. Lines logged before a wait of the holder (a read that blocks) stay unwritten until one of
// those. When the file cannot be opened, LogPrintf goes on opening it per line. One thread holds the
// file at a time: a scope on another thread meanwhile, or one nested in the holder's, holds nothing and
// changes nothing.
class HeldLog {
 public:
  HeldLog();
  ~HeldLog();
  HeldLog(const HeldLog&) = delete;
  HeldLog& operator=(const HeldLog&) = delete;

 private:
  bool opened_ = false;
};

#endif  // DRAVIK_LOGGING_H
