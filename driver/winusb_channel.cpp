// The WinUSB channel: finding the handheld's device interface and setting up its bulk pipes.
#include "winusb_channel.h"

#include <cstdlib>
#include <cstring>

const GUID kSyncDriverInterfaceClass = {0x25DBCE51, 0x6C8F, 0x4A72, {0x8A, 0x6D, 0xB5, 0x4C, 0x2B, 0x4F, 0xC8, 0x35}};

namespace {
constexpr UCHAR kEndpointDirectionIn = 0x80;
}

void ReleaseWinUSB() {
  if (WinUsbLink.hInterface != nullptr) {
    WinUsb_Free(WinUsbLink.hInterface);
    WinUsbLink.hInterface = nullptr;
  }
}

int InitWinUSB(HANDLE link) {
  ReleaseWinUSB();
  if (!WinUsb_Initialize(link, &WinUsbLink.hInterface)) {
    WinUsbLink.hInterface = nullptr;
    return 0;
  }
  DRAVIK_USB_INTERFACE_DESCRIPTOR descriptor;
  std::memset(&descriptor, 0, sizeof(descriptor));
  if (!WinUsb_QueryInterfaceSettings(WinUsbLink.hInterface, 0, &descriptor)) return 0;

  for (UCHAR bIndex = 0; bIndex < descriptor.bNumEndpoints; ++bIndex) {
    DRAVIK_WINUSB_PIPE_INFORMATION pipe;
    std::memset(&pipe, 0, sizeof(pipe));
    if (!WinUsb_QueryPipe(WinUsbLink.hInterface, 0, bIndex, &pipe)) return 0;
    if (pipe.PipeType != DravikPipeTypeBulk) continue;
    if (pipe.PipeId & kEndpointDirectionIn) {
      WinUsbLink.bInPipe = pipe.PipeId;
    } else {
      WinUsbLink.bOutPipe = pipe.PipeId;
    }
  }
  return 1;
}

char* GetDevicePnpPath() {
  HDEVINFO hList = SetupDiGetClassDevsA(&kSyncDriverInterfaceClass, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (hList == INVALID_HANDLE_VALUE) return nullptr;

  char* pszPath = nullptr;
  for (DWORD dwIndex = 0;; ++dwIndex) {
    SP_DEVICE_INTERFACE_DATA interfaceData;
    std::memset(&interfaceData, 0, sizeof(interfaceData));
    interfaceData.cbSize = sizeof(interfaceData);
    if (!SetupDiEnumDeviceInterfaces(hList, nullptr, &kSyncDriverInterfaceClass, dwIndex, &interfaceData)) break;

    DWORD cbNeeded = 0;
    SetupDiGetDeviceInterfaceDetailA(hList, &interfaceData, nullptr, 0, &cbNeeded, nullptr);
    DWORD cbRecord = cbNeeded;
    if (cbRecord < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) cbRecord = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    auto* detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(std::calloc(1, cbRecord + 1));
    if (detail == nullptr) break;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(hList, &interfaceData, detail, cbRecord, nullptr, nullptr)) {
      // The record was allocated one byte longer and zeroed, so the path is terminated.
      const size_t nPathRoom = cbRecord - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
      const size_t nLength = strnlen(detail->DevicePath, nPathRoom);
      if (nLength > 0 && nLength < kDevicePathSize) {
        pszPath = static_cast<char*>(std::malloc(nLength + 1));
        if (pszPath != nullptr) {
          std::memcpy(pszPath, detail->DevicePath, nLength);
          pszPath[nLength] = '\0';
        }
        std::free(detail);
        break;
      }
    }
    std::free(detail);
  }
  SetupDiDestroyDeviceInfoList(hList);
  return pszPath;
}
