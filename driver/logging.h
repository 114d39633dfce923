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

// Tells LogPrintf that the process is ending with no other thread left (Windows ends them before the
// library's unload entry runs): an entry one of them was appending when it was ended is not waited for.
void LogAloneInTheProcess();

#endif  // DRAVIK_LOGGING_H
