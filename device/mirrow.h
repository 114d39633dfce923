// Mirrow: sends the handheld into its boot loader.
#ifndef DRAVIK_DEVICE_MIRROW_H
#define DRAVIK_DEVICE_MIRROW_H

#include "wince.h"

// Leaves the bootloader-mode and cold-boot markers and restarts the handheld through IOCTL_HAL_REBOOT.
// -1 when a marker cannot be written (no restart then); 0 when the reboot control was issued and the
// restart did not end the program.
int OrloRAPIEBootMode(void);

#endif  // DRAVIK_DEVICE_MIRROW_H
