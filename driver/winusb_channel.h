// The WinUSB channel of Vista and later hosts: the handheld's device interface path, and the interface
// and bulk pipes that the raw transfers of the packet link use on it.
#ifndef DRAVIK_WINUSB_CHANNEL_H
#define DRAVIK_WINUSB_CHANNEL_H

#include "state.h"

// The sync driver's device interface class {25DBCE51-6C8F-4A72-8A6D-B54C2B4FC835}.
extern const GUID kSyncDriverInterfaceClass;
// Longest device path the link opening takes, with its terminator; longer ones are passed over.
constexpr size_t kDevicePathSize = 256;

// Makes a WinUSB interface of the open link handle and chooses its bulk OUT and IN pipes (the highest
// index of each direction wins; a direction without a bulk pipe keeps its earlier id). The interface of
// an earlier call is released first. 1 when every pipe was queried, else 0.
int InitWinUSB(HANDLE link);
// The device path of the first present interface of the handheld's class whose path can be read and fits
// kDevicePathSize, or null. The caller releases it with free().
char* GetDevicePnpPath();
// Releases the interface of the last InitWinUSB (when it is replaced and when the link closes). The pipe
// ids stay as they were.
void ReleaseWinUSB();

#endif  // DRAVIK_WINUSB_CHANNEL_H
