// Finding the handheld, opening and configuring the link, closing it.
#ifndef DRAVIK_SERIAL_PORT_H
#define DRAVIK_SERIAL_PORT_H

#include "state.h"

int OpenComPort();
void GetUsb2SerDevicePreset(char* out);
void GetWceusbshDevicePreset(char* out);
HDEVINFO BeginEnumeratePorts();
int EnumeratePortsNext(HDEVINFO list, char* out);
void EndEnumeratePorts(HDEVINFO list);
int FindInterfacePath(const GUID* interfaceClass, char* out);

#endif  // DRAVIK_SERIAL_PORT_H
