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
// Fills the g_ values from "Tavrine_usb_flash.ini", section "Config".
void LoadLinkConfig();
// Writes the nine values back.
void SaveLinkConfig();

extern "C" BOOL WINAPI DllMain(HINSTANCE hModule, DWORD dwReason, LPVOID lpReserved);

#endif  // DRAVIK_STARTUP_H
