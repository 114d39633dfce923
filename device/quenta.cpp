#include "quenta.h"

#include <string.h>

#include "flashdisk.h"

namespace {

constexpr DWORD kClockModuleRegisters = 0xFFFECE00;  // OMAP730_CLKM_REGS_PA
constexpr DWORD kClockModuleWindow = 0x104;

// KernelIoControl as bound at run time.
typedef BOOL(WINAPI* KernelIoControlProc)(DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD);

void ErrorBox(LPCWSTR szText) { MessageBoxW(nullptr, szText, TEXT("Error"), MB_OK); }

// Asks the platform for its extended version output; the buffer stays zero when that cannot be done.
void QueryVersionEx(BYTE* pbyaVersion) {
  memset(pbyaVersion, 0, kVersionExSize);
  KernelIoControlProc pfnKernelIoControl = nullptr;
  HMODULE hCoreDll = LoadLibraryW(TEXT("coredll.dll"));
  if (hCoreDll == nullptr) {
    ErrorBox(TEXT("Load COREDLL.DLL fail!"));
  } else {
    FARPROC proc = GetProcAddressW(hCoreDll, TEXT("KernelIoControl"));
    pfnKernelIoControl = reinterpret_cast<KernelIoControlProc>(reinterpret_cast<void (*)(void)>(proc));
  }
  if (pfnKernelIoControl == nullptr) {
    ErrorBox(TEXT("Fail to get the address of KernelIoControl()!"));
    return;
  }
  DWORD dwReturned = 0;
  if (!pfnKernelIoControl(IOCTL_HAL_GET_VERSION_EX, pbyaVersion, kVersionExSize, pbyaVersion, kVersionExSize,
                          &dwReturned)) {
    ErrorBox(TEXT("Call IOCTL_HAL_GET_VERSION_EX fail!"));
    memset(pbyaVersion, 0, kVersionExSize);  // nothing half-filled reaches the file
  }
}

}  // namespace

int GetExtendedRomVersion(BYTE* pBuffer) {
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Software\\VARN\\Extended_ROM"), 0, 0, &hKey) != ERROR_SUCCESS) {
    memset(pBuffer, 0, 64);
    return 0;
  }
  DWORD dwType = 0;
  DWORD dwBytes = 64;
  LONG lResult = RegQueryValueExW(hKey, TEXT("Version"), nullptr, &dwType, pBuffer, &dwBytes);
  RegCloseKey(hKey);
  if (lResult == ERROR_SUCCESS) return 1;
  // What a query that failed left in the buffer is not defined (a value too long for it may be there in
  // part): none of it may reach "LangID.dat" as a version.
  memset(pBuffer, 0, 64);
  return 0;
}

int RebootMyDevice(void) {
  PHYSICAL_ADDRESS pa;
  pa.QuadPart = kClockModuleRegisters;
  volatile BYTE* pClkm = static_cast<volatile BYTE*>(MmMapIoSpace(pa, kClockModuleWindow, FALSE));
  if (pClkm == nullptr) {
    NKDbgPrintfW(TEXT("OMAP730_CLKM_REGS_PA MmMapIoSpace err\r\n"));
    return 0;
  }
  NKDbgPrintfW(TEXT("RebootMyDevice\r\n"));
  Sleep(100);
  volatile USHORT* pReg100 = reinterpret_cast<volatile USHORT*>(pClkm + 0x100);
  volatile USHORT* pReg10 = reinterpret_cast<volatile USHORT*>(pClkm + 0x10);
  WRITE_REGISTER_USHORT(pReg100, static_cast<USHORT>(READ_REGISTER_USHORT(pReg100) & 0xFFE9));
  WRITE_REGISTER_USHORT(pReg10, 0x0008);  // resets the processor
  NKDbgPrintfW(TEXT("reboot....should not never be here\r\n"));
  return 0;
}

int QuentaMain(void) {
  DeviceInfoRecord record;
  memset(&record, 0, sizeof record);
  GetIPLSize(&record.dwIPLSize);
  GetExtendedRomVersion(record.byaRomVersion);
  BYTE byaVersion[kVersionExSize];
  QueryVersionEx(byaVersion);
  memcpy(record.byaPlatformVersion, byaVersion + 12, 64);
  memcpy(record.byaPlatformBuild, byaVersion + 140, 64);

  HANDLE hFile = CreateFileW(TEXT("LangID.dat"), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
  if (hFile == INVALID_HANDLE_VALUE) return 0;
  // Little-endian on the handheld, whatever the record's host.
  const BYTE byaSize[4] = {static_cast<BYTE>(record.dwIPLSize), static_cast<BYTE>(record.dwIPLSize >> 8),
                           static_cast<BYTE>(record.dwIPLSize >> 16), static_cast<BYTE>(record.dwIPLSize >> 24)};
  const struct {
    const BYTE* data;
    DWORD size;
  } fields[] = {{record.byaPlatformVersion, 64}, {record.byaPlatformBuild, 64}, {record.byaRomVersion, 64},
                {byaSize, 4}};
  bool whole = true;
  for (const auto& field : fields) {
    DWORD dwWritten = 0;
    if (!WriteFile(hFile, field.data, field.size, &dwWritten, nullptr) || dwWritten != field.size) {
      whole = false;
      break;
    }
  }
  CloseHandle(hFile);
  // A record cut short (a full store) would be read with its fields out of place: no file is better.
  if (!whole) {
    NKDbgPrintfW(TEXT("LangID.dat could not be written whole; it is removed\r\n"));
    DeleteFileW(TEXT("LangID.dat"));
  }
  return 0;
}
