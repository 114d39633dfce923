// WinUSB for the Windows build, bound at run time: the first call loads winusb.dll and looks its entry
// point up; later calls go straight through. Where the library or the entry point is missing (a host
// before Vista) the call fails with FALSE and ERROR_MOD_NOT_FOUND or ERROR_PROC_NOT_FOUND instead of
// the whole DLL failing to load. winusb.dll stays loaded until the process ends: freeing it from the
// unload path would run under the loader lock.
#include "platform/win32.h"

namespace {

HMODULE volatile g_winusb = nullptr;

// Loads winusb.dll once; a race between two first callers only costs an extra reference.
HMODULE WinUsbModule() {
  HMODULE module = g_winusb;
  if (module) return module;
  module = LoadLibraryA("winusb.dll");
  if (!module) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  PVOID previous = InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&g_winusb), module, nullptr);
  if (previous) {
    FreeLibrary(module);
    module = static_cast<HMODULE>(previous);
  }
  return module;
}

// The entry point `name`, cached in *slot; null with the last error set when it cannot be had.
template <class Fn>
Fn Bind(const char* name, PVOID volatile* slot) {
  PVOID proc = *slot;
  if (!proc) {
    HMODULE module = WinUsbModule();
    if (!module) return nullptr;
    proc = reinterpret_cast<PVOID>(GetProcAddress(module, name));
    if (!proc) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
    InterlockedExchangePointer(slot, proc);
  }
  return reinterpret_cast<Fn>(proc);
}

#define DRAVIK_BIND(name) \
  static PVOID volatile slot_##name = nullptr; \
  auto fn = Bind<decltype(&name)>(#name, &slot_##name); \
  if (!fn) return FALSE

}  // namespace

extern "C" {

BOOL WINAPI WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle) {
  DRAVIK_BIND(WinUsb_Initialize);
  return fn(DeviceHandle, InterfaceHandle);
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle) {
  DRAVIK_BIND(WinUsb_Free);
  return fn(InterfaceHandle);
}

BOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber,
                                          DRAVIK_USB_INTERFACE_DESCRIPTOR* UsbAltInterfaceDescriptor) {
  DRAVIK_BIND(WinUsb_QueryInterfaceSettings);
  return fn(InterfaceHandle, AlternateInterfaceNumber, UsbAltInterfaceDescriptor);
}

BOOL WINAPI WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber,
                             UCHAR PipeIndex, DRAVIK_WINUSB_PIPE_INFORMATION* PipeInformation) {
  DRAVIK_BIND(WinUsb_QueryPipe);
  return fn(InterfaceHandle, AlternateInterfaceNumber, PipeIndex, PipeInformation);
}

BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                             ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped) {
  DRAVIK_BIND(WinUsb_WritePipe);
  return fn(InterfaceHandle, PipeID, Buffer, BufferLength, LengthTransferred, Overlapped);
}

BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                            ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped) {
  DRAVIK_BIND(WinUsb_ReadPipe);
  return fn(InterfaceHandle, PipeID, Buffer, BufferLength, LengthTransferred, Overlapped);
}

}  // extern "C"
