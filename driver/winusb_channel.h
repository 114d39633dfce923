// The WinUSB channel of Vista and later hosts.
#ifndef DRAVIK_WINUSB_CHANNEL_H
#define DRAVIK_WINUSB_CHANNEL_H

#include "state.h"

int InitWinUSB(HANDLE link);
// The device path of the first readable interface of the handheld's class, or null; the caller frees it.
char* GetDevicePnpPath();
// Releases the interface of the last InitWinUSB (when it is replaced and when the link closes).
void ReleaseWinUSB();

#endif  // DRAVIK_WINUSB_CHANNEL_H
