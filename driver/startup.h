// Load and unload of the library, the configuration file and the diagnostic log.
#ifndef DRAVIK_STARTUP_H
#define DRAVIK_STARTUP_H

#include "state.h"

#if defined(__GNUC__)
#define DRAVIK_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define DRAVIK_PRINTF(fmt, args)
#endif

// Appends one entry to "logfile.txt" in the current directory, in text mode; a null format writes nothing.
void LogPrintf(const char* format, ...) DRAVIK_PRINTF(1, 2);

// Keeps "logfile.txt" open for LogPrintf on the calling thread while it lives, for a loop that logs a line
// per packet: each line is then one write instead of an open, a write and a close. Every line is still
// flushed as it is written, so it lands whole at the then end of the file among the lines of other
// threads and processes. When the file cannot be opened, LogPrintf goes on opening it per line. One
// thread holds the file at a time: a scope on another thread meanwhile, or one nested in the holder's,
// holds nothing and changes nothing.
class HeldLog {
 public:
  HeldLog();
  ~HeldLog();
  HeldLog(const HeldLog&) = delete;
  HeldLog& operator=(const HeldLog&) = delete;

 private:
  bool opened_ = false;
};

// Fills the g_ values from "Tavrine_usb_flash.ini", section "Config".
void LoadLinkConfig();
// Writes the nine values back.
void SaveLinkConfig();

extern "C" BOOL WINAPI DllMain(HINSTANCE hModule, DWORD dwReason, LPVOID lpReserved);

#endif  // DRAVIK_STARTUP_H
