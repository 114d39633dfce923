// Finding the handheld, opening and configuring the link, closing it (CloseComPort is exported, in
// dravik.h).
#ifndef DRAVIK_SERIAL_PORT_H
#define DRAVIK_SERIAL_PORT_H

#include "state.h"

// Waits until the handheld is found, clears the sync software out of the way, opens the device into
// FlashState.hLink and sets up the line. 1 when the link handle is valid afterwards, else 0.
int OpenComPort();
// Waits until the USB-serial "Ports" device of the handheld is found; copies its port name (at most 6
// characters and the terminator) into out.
void GetUsb2SerDevicePreset(char* out);
// Waits until a device path of the sync driver's interface class is found; copies it into out (at least
// 256 bytes).
void GetWceusbshDevicePreset(char* out);
// The present devices of the "Ports" class, or INVALID_HANDLE_VALUE.
HDEVINFO BeginEnumeratePorts();
// Starts a pass over a new list: the next device taken is the first.
void ResetPortPosition();
// Consumes devices of the list from the current position: 1 with the handheld's port name in out, else 0.
int EnumeratePortsNext(HDEVINFO list, char* out);
void EndEnumeratePorts(HDEVINFO list);
// 1 with a non-empty device path of one of the first five interfaces of the class in out (256 bytes),
// else 0.
int FindInterfacePath(const GUID* interfaceClass, char* out);

#endif  // DRAVIK_SERIAL_PORT_H
