// Finding the handheld on the USB bus, opening and configuring the link, and closing it again.
#include "serial_port.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "dravik.h"
#include "jobs.h"
#include "packet_link.h"
#include "startup.h"
#include "sync_control.h"
#include "winusb_channel.h"

namespace {

// The handheld's USB-serial port carries this in its symbolic name (compared case-sensitively).
constexpr const char* kUsbSerialId = "USB#Vid_0e1f&Pid_4505";
constexpr DWORD kPortNameBytes = 7;       // three letters and up to three digits, and the terminator
constexpr DWORD kSymbolicNameBytes = 256;
constexpr int kPortAttemptsPerPass = 100;
constexpr int kInterfaceIndices = 5;
constexpr DWORD kDevicePollMs = 1500;

// Port search state, shared by the passes of GetUsb2SerDevicePreset: the position of the next device
// in the current list, and the configuration manager's entry point, loaded at run time and held
// between calls.
DWORD g_dwPortPosition = 0;
HMODULE g_hCfgMgr = nullptr;
CM_Open_DevNode_Key_Fn g_pfnOpenDevNodeKey = nullptr;

void ReleaseCfgMgr() {
  if (g_hCfgMgr != nullptr) FreeLibrary(g_hCfgMgr);
  g_hCfgMgr = nullptr;
  g_pfnOpenDevNodeKey = nullptr;
}

bool LoadCfgMgr() {
  if (g_pfnOpenDevNodeKey != nullptr) return true;
  g_hCfgMgr = LoadLibraryA("cfgmgr32");
  if (g_hCfgMgr == nullptr) return false;
  g_pfnOpenDevNodeKey = reinterpret_cast<CM_Open_DevNode_Key_Fn>(
      reinterpret_cast<void*>(GetProcAddress(g_hCfgMgr, "CM_Open_DevNode_Key")));
  if (g_pfnOpenDevNodeKey == nullptr) {
    ReleaseCfgMgr();
    return false;
  }
  return true;
}

// Sets the host-dependent read time-out: hosts that are not XP plus need 500 ms for the rest of the
// library's life.
void ApplyVersionReadTimeout() {
  if (!IsXpPlus()) {
    g_RTimeout = 500;
    LogPrintf("OpenComPort(): PC is not XP plus. Need Rtimeout");
  } else {
    LogPrintf("OpenComPort(): PC is XP plus");
  }
}

// Windows opens COM1 to COM9 by their bare names; any other port (COM12, say) only through the device
// namespace, "\\.\COM12": a bare "COM12" would name a file in the current directory. The name that is
// opened goes into out (at least kDevicePathSize bytes); the port name itself stays what the log shows.
const char* NameToOpen(const char* szName, char* out) {
  if (_strnicmp(szName, "com", 3) != 0) return szName;                            // a device path
  if (szName[3] >= '1' && szName[3] <= '9' && szName[4] == '\0') return szName;  // COM1 to COM9
  const size_t nLength = strnlen(szName, kDevicePathSize - 5);
  std::memcpy(out, "\\\\.\\", 4);
  std::memcpy(out + 4, szName, nLength);
  out[4 + nLength] = '\0';
  return out;
}

// The sync services stand in the way of the device on Vista and later; they are stopped before the
// search and started again when the link closes.
void ControlSyncServices(const char* action) {
  if (!ControlServiceByName(action, "WcesComm")) LogPrintf("%s WcesComm Fail!!", action);
  if (!ControlServiceByName(action, "RapiMgr")) LogPrintf("%s RapiMgr Fail!!", action);
}

}  // namespace

void ResetPortPosition() { g_dwPortPosition = 0; }

HDEVINFO BeginEnumeratePorts() {
  DWORD dwCount = 0;
  SetupDiClassGuidsFromNameA("Ports", nullptr, 0, &dwCount);
  if (dwCount == 0) return INVALID_HANDLE_VALUE;
  std::vector<GUID> guids(dwCount);
  if (!SetupDiClassGuidsFromNameA("Ports", guids.data(), dwCount, &dwCount) || dwCount == 0) {
    return INVALID_HANDLE_VALUE;
  }
  return SetupDiGetClassDevsA(&guids[0], nullptr, nullptr, DIGCF_PRESENT);
}

void EndEnumeratePorts(HDEVINFO list) {
  if (list != INVALID_HANDLE_VALUE && list != nullptr) SetupDiDestroyDeviceInfoList(list);
}

int EnumeratePortsNext(HDEVINFO list, char* out) {
  if (!LoadCfgMgr()) return 0;
  for (;;) {
    SP_DEVINFO_DATA device;
    std::memset(&device, 0, sizeof(device));
    device.cbSize = sizeof(device);
    if (!SetupDiEnumDeviceInfo(list, g_dwPortPosition++, &device)) {
      ReleaseCfgMgr();  // the list is exhausted
      return 0;
    }
    HKEY hKey = nullptr;
    if (g_pfnOpenDevNodeKey(device.DevInst, KEY_QUERY_VALUE, 0, RegDisposition_OpenExisting, &hKey,
                            CM_REGISTRY_HARDWARE) != CR_SUCCESS) {
      return 0;
    }
    // One byte more than offered to the registry, zeroed, so the values are always terminated.
    char szPort[kPortNameBytes + 1] = {};
    DWORD dwType = 0;
    DWORD cbData = kPortNameBytes;
    // A value that fills all 7 bytes without a terminator is longer than a port name can be.
    if (RegQueryValueExA(hKey, "portname", nullptr, &dwType, reinterpret_cast<LPBYTE>(szPort), &cbData) !=
            ERROR_SUCCESS ||
        std::strlen(szPort) >= kPortNameBytes) {
      RegCloseKey(hKey);
      return 0;
    }
    char szSymbolic[kSymbolicNameBytes + 1] = {};
    cbData = kSymbolicNameBytes;
    const LONG lResult =
        RegQueryValueExA(hKey, "SymbolicName", nullptr, &dwType, reinterpret_cast<LPBYTE>(szSymbolic), &cbData);
    RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS) return 0;
    if (std::strstr(szSymbolic, kUsbSerialId) == nullptr) return 0;
    // A matching device that is not a COM port (LPT1, say) is passed over within the same attempt.
    if (_strnicmp(szPort, "com", 3) != 0) continue;
    if (std::atoi(szPort + 3) > 0) {
      std::strcpy(out, szPort);
      return 1;
    }
    ReleaseCfgMgr();
    return 0;
  }
}

void GetUsb2SerDevicePreset(char* out) {
  char szName[kPortNameBytes + 1] = {};
  bool bFound = false;
  while (!bFound) {
    Sleep(kDevicePollMs);
    ResetPortPosition();
    LogPrintf("GetUsb2SerDevicePreset BeginEnumeratePorts\r\n");
    HDEVINFO hList = BeginEnumeratePorts();
    if (hList == INVALID_HANDLE_VALUE) {
      LogPrintf("GetUsb2SerDevicePreset BeginEnumeratePorts Invalid Handle\r\n");
      continue;
    }
    for (int nAttempt = 0; nAttempt < kPortAttemptsPerPass; ++nAttempt) {
      LogPrintf("GetUsb2SerDevicePreset EnumeratePortsNext Begin\r\n");
      if (EnumeratePortsNext(hList, szName) == 1) {
        bFound = true;
        break;
      }
      LogPrintf("GetUsb2SerDevicePreset EnumeratePortsNext %d NULL\r\n", nAttempt);
    }
    EndEnumeratePorts(hList);
    LogPrintf("GetUsb2SerDevicePreset EndEnumeratePorts\r\n");
  }
  LogPrintf("GetUsb2SerDevicePreset EndEnumeratePorts\r\n");
  std::strcpy(out, szName);
}

int FindInterfacePath(const GUID* interfaceClass, char* out) {
  out[0] = '\0';
  HDEVINFO hList = SetupDiGetClassDevsA(interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (hList == INVALID_HANDLE_VALUE) return 0;

  int nFound = 0;
  for (DWORD dwIndex = 0; dwIndex < kInterfaceIndices && nFound == 0; ++dwIndex) {
    SP_DEVICE_INTERFACE_DATA interfaceData;
    std::memset(&interfaceData, 0, sizeof(interfaceData));
    interfaceData.cbSize = sizeof(interfaceData);
    if (!SetupDiEnumDeviceInterfaces(hList, nullptr, interfaceClass, dwIndex, &interfaceData)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
      continue;
    }
    // Two calls: the first for the size of the detail record, the second, with the record's size field
    // set to its fixed part, for the record itself.
    DWORD cbNeeded = 0;
    SetupDiGetDeviceInterfaceDetailA(hList, &interfaceData, nullptr, 0, &cbNeeded, nullptr);
    if (cbNeeded == 0) continue;
    DWORD cbRecord = cbNeeded;
    if (cbRecord < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) cbRecord = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    auto* detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(std::calloc(1, cbRecord + 1));
    if (detail == nullptr) continue;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(hList, &interfaceData, detail, cbRecord, nullptr, nullptr)) {
      const size_t nPathRoom = cbRecord - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
      const size_t nLength = strnlen(detail->DevicePath, nPathRoom);
      // A path that does not fit the 256-byte buffer is passed over like an unreadable interface.
      if (nLength > 0 && nLength < kDevicePathSize) {
        std::memcpy(out, detail->DevicePath, nLength);
        out[nLength] = '\0';
        nFound = 1;
      }
    }
    std::free(detail);
  }
  SetupDiDestroyDeviceInfoList(hList);
  return nFound;
}

void GetWceusbshDevicePreset(char* out) {
  char szPath[kDevicePathSize];
  for (;;) {
    Sleep(kDevicePollMs);
    std::memset(szPath, 0, sizeof(szPath));
    LogPrintf("GetWceusbshDevicePreset\r\n");
    if (FindInterfacePath(&kSyncDriverInterfaceClass, szPath)) break;
  }
  Sleep(1000);
  std::strcpy(out, szPath);
}

int OpenComPort() {
  FlashState.hLink = INVALID_HANDLE_VALUE;
  FlashState.bLinkIsWinUsb = false;
  char szCOM[kDevicePathSize] = {};

  const bool bVista = IsVistaOrLater();
  if (bVista) {
    LogPrintf("IsWinVerVista!!");
    ControlSyncServices("STOP");
    char* pszPnpPath = nullptr;
    do {
      Sleep(kDevicePollMs);
      pszPnpPath = GetDevicePnpPath();
      LogPrintf("while until get PnpPath\r\n");
    } while (pszPnpPath == nullptr);
    LogPrintf("OpenComPort(): GetDevicePnpPath() %s\r\n", pszPnpPath);
    // The path found here only tells that the device is there; the driver's own search gives the name
    // that is opened, into a buffer of the full path size.
    std::free(pszPnpPath);
    if (g_Driver == 1) {
      GetUsb2SerDevicePreset(szCOM);
    } else {
      GetWceusbshDevicePreset(szCOM);
      LogPrintf("OpenComPort(): id_mypc_end %s\r\n", szCOM);
    }
  } else if (g_Driver == 1) {
    LogPrintf("OpenComPort(): Usbsys driver\r\n");
    GetUsb2SerDevicePreset(szCOM);
    LogPrintf("OpenComPort(): Usbsys driver %s\r\n", szCOM);
  } else {
    LogPrintf("OpenComPort(): Wceusbsh\r\n");
    GetWceusbshDevicePreset(szCOM);
    LogPrintf("OpenComPort(): Wceusbsh %s\r\n", szCOM);
    CloseSyncSoftware();
  }

  // On Vista and later the sync driver's device is the WinUSB device; a port opened for the USB-serial
  // driver is read and written as a file on every host. WinUSB does overlapped I/O inside, so
  // WinUsb_Initialize needs a handle opened for it; the port keeps its synchronous handle.
  const bool bLinkIsWinUsb = bVista && g_Driver != 1;
  char szOpen[kDevicePathSize] = {};
  FlashState.hLink = CreateFileA(NameToOpen(szCOM, szOpen), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 bLinkIsWinUsb ? FILE_FLAG_OVERLAPPED : 0, nullptr);
  if (FlashState.hLink == INVALID_HANDLE_VALUE) LogPrintf("err: %i\r\n", static_cast<int>(GetLastError()));

  ApplyVersionReadTimeout();
  if (FlashState.hLink == INVALID_HANDLE_VALUE || FlashState.hLink == nullptr) {
    FlashState.hLink = INVALID_HANDLE_VALUE;
    LogPrintf("OpenComPort(): Fail");
    return 0;
  }
  FlashState.bLinkIsWinUsb = bLinkIsWinUsb;

  // Line settings over what the driver reports; on the WinUSB device these calls fail and that is fine.
  DCB dcb;
  std::memset(&dcb, 0, sizeof(dcb));
  dcb.DCBlength = sizeof(dcb);
  GetCommState(FlashState.hLink, &dcb);
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.fParity = FALSE;
  dcb.StopBits = ONESTOPBIT;
  dcb.fNull = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  SetCommState(FlashState.hLink, &dcb);

  PurgeComm(FlashState.hLink, PURGE_TXCLEAR | PURGE_RXCLEAR);

  ApplyVersionReadTimeout();

  COMMTIMEOUTS cto;
  std::memset(&cto, 0, sizeof(cto));
  GetCommTimeouts(FlashState.hLink, &cto);
  cto.ReadTotalTimeoutMultiplier = static_cast<DWORD>(g_RTimeout);
  cto.ReadTotalTimeoutConstant = static_cast<DWORD>(g_RTimeout);
  cto.WriteTotalTimeoutMultiplier = static_cast<DWORD>(g_WTimeout);
  cto.WriteTotalTimeoutConstant = static_cast<DWORD>(g_WTimeout);
  LogPrintf("OpenComPort(): cto.RIT=%d cto.RTM=%d cto.RTC=%d", static_cast<int>(cto.ReadIntervalTimeout),
            static_cast<int>(cto.ReadTotalTimeoutMultiplier), static_cast<int>(cto.ReadTotalTimeoutConstant));
  LogPrintf("OpenComPort(): cto.WTM=%d cto.WTC=%d", static_cast<int>(cto.WriteTotalTimeoutMultiplier),
            static_cast<int>(cto.WriteTotalTimeoutConstant));
  SetCommTimeouts(FlashState.hLink, &cto);

  LogPrintf("OpenComPort(): sucessful");

  if (!IsXpPlus()) {
    // Old hosts lose the first packet after the open: send one the device acknowledges and ignores.
    LogPrintf("OpenComPort(): win2k sent garbage packet Begin.");
    uint8_t byaPacket[kPacketFrameSize] = {};
    std::memcpy(byaPacket, "garbage!", 8);
    USBWritePacket(FlashState.hLink, byaPacket, kPacketFrameSize);
    LogPrintf("OpenComPort(): win2k sent garbage packet End.");
  }
  return 1;
}

void DRAVIK_API CloseComPort(void) {
  // The WinUSB interface goes with the device handle it was made on.
  ReleaseWinUSB();
  if (FlashState.hLink != nullptr) {
    // An invalid handle is not handed to CloseHandle: on Windows its value is the process's own
    // pseudo-handle, and closing it raises an exception under a debugger.
    if (FlashState.hLink != INVALID_HANDLE_VALUE) CloseHandle(FlashState.hLink);
    FlashState.hLink = INVALID_HANDLE_VALUE;
    LogPrintf("CloseComPort(): sucessful");
  }
  FlashState.bLinkIsWinUsb = false;
  if (FlashState.pJobs != nullptr) {
    FreeJobList(FlashState.pJobs);
    FlashState.pJobs = nullptr;
  }
  if (IsVistaOrLater()) ControlSyncServices("START");
}
