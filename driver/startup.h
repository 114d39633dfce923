// Load and unload of the library and the configuration file.
#ifndef DRAVIK_STARTUP_H
#define DRAVIK_STARTUP_H

#include "logging.h"
#include "state.h"

// Fills the g_ values from "Tavrine_usb_flash.ini", section "Config".
void LoadLinkConfig();
// Writes the nine values back.
void SaveLinkConfig();

extern "C" BOOL WINAPI DllMain(HINSTANCE hModule, DWORD dwReason, LPVOID lpReserved);

#endif  // DRAVIK_STARTUP_H
