// Quenta: writes the handheld's version data into "LangID.dat"; carries the clock-module reset.
#ifndef DRAVIK_DEVICE_QUENTA_H
#define DRAVIK_DEVICE_QUENTA_H

#include "wince.h"

// The whole content of "LangID.dat".
struct DeviceInfoRecord {
  BYTE byaPlatformVersion[64];  // bytes 12 to 75 of the extended version output
  BYTE byaPlatformBuild[64];    // bytes 140 to 203 of the extended version output
  BYTE byaRomVersion[64];       // the registry's extended-ROM "Version", UTF-16LE
  DWORD dwIPLSize;              // stored length of the IPL boot area, little-endian
};
static_assert(sizeof(DeviceInfoRecord) == 196, "DeviceInfoRecord layout");

constexpr DWORD kVersionExSize = 468;

// The program's sequence: IPL size, extended-ROM version, extended version query, "LangID.dat".
// Fields whose query failed are written as zeros. Always 0.
int QuentaMain(void);

// Reads the registry value "Version" of HKLM\Software\VARN\Extended_ROM into the 64-byte buffer.
// 1 when read, 0 when the key or value is missing or the value does not fit; the buffer is then all
// zeros (a value that does not fit may have been written into it in part).
int GetExtendedRomVersion(BYTE* pBuffer);

// Resets the processor through the OMAP730 clock module. Does not come back when the reset happens;
// 0 otherwise.
int RebootMyDevice(void);

#endif  // DRAVIK_DEVICE_QUENTA_H
