#include "mirrow.h"

#include "bootflag.h"

int OrloRAPIEBootMode(void) {
  if (!WriteBootFlagMarker(kBootLoaderModeFlagAddress, BootLoaderModeMarker)) {
    NKDbgPrintfW(TEXT("OrloUTIL : Not Get BLFlag Mem\r\n"));
    return -1;
  }
  NKDbgPrintfW(TEXT("OrloUTIL : OrloRAPIEBootMode Set a BL flag\r\n"));
  if (!SetColdBootFlag()) return -1;
  BYTE byaOut[16] = {0};
  DWORD dwReturned = 0;
  KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, byaOut, sizeof byaOut, &dwReturned);
  NKDbgPrintfW(TEXT("OrloUTIL : OrloRAPIEBootMode IOCTL_HAL_REBOOT \r\n"));
  return 0;
}
