// Boot-flag markers: 32 bytes (31 characters and a zero byte) left at a fixed physical address for the
// boot loader to find after a restart. Shared by Quenta and Mirrow.
#ifndef DRAVIK_DEVICE_BOOTFLAG_H
#define DRAVIK_DEVICE_BOOTFLAG_H

#include "wince.h"

struct BootFlagMarker {
  char szText[32];
};
static_assert(sizeof(BootFlagMarker) == 32, "BootFlagMarker layout");

constexpr DWORD kBootLoaderModeFlagAddress = 0x20000800;
constexpr DWORD kColdBootFlagAddress = 0x20000840;
extern const BootFlagMarker BootLoaderModeMarker;  // "This Device is Under BL Mode!!!"
extern const BootFlagMarker ColdBootMarker;        // "This Device is Under CB Mode!!!"

// Maps the 32 bytes at the physical address, uncached, and copies the whole marker there (zero byte
// included). False when the address cannot be mapped. The mapping is left in place.
bool WriteBootFlagMarker(DWORD dwPhysicalAddress, const BootFlagMarker& marker);

// Leaves the cold-boot marker: 1 when written, 0 when its address cannot be mapped.
int SetColdBootFlag(void);

#endif  // DRAVIK_DEVICE_BOOTFLAG_H
