#include "bootflag.h"

const BootFlagMarker BootLoaderModeMarker = {"This Device is Under BL Mode!!!"};
const BootFlagMarker ColdBootMarker = {"This Device is Under CB Mode!!!"};

bool WriteBootFlagMarker(DWORD dwPhysicalAddress, const BootFlagMarker& marker) {
  PHYSICAL_ADDRESS pa;
  pa.QuadPart = dwPhysicalAddress;
  volatile BYTE* pFlag = static_cast<volatile BYTE*>(MmMapIoSpace(pa, sizeof marker, FALSE));
  if (pFlag == nullptr) return false;
  for (DWORD i = 0; i < sizeof marker; ++i) pFlag[i] = static_cast<BYTE>(marker.szText[i]);
  return true;
}

int SetColdBootFlag(void) {
  if (!WriteBootFlagMarker(kColdBootFlagAddress, ColdBootMarker)) {
    NKDbgPrintfW(TEXT("COLD_BOOT_FLAG set err\r\n"));
    return 0;
  }
  NKDbgPrintfW(TEXT("COLD_BOOT_FLAG set ok\r\n"));
  return 1;
}
