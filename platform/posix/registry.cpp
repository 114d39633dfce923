// Hardware registry keys of the "Ports" devices: CM_Open_DevNode_Key (reached through
// GetProcAddress(LoadLibraryA("cfgmgr32"), ...)) opens the key of a device that a device list named, and
// RegQueryValueExA reads its values "portname" and "SymbolicName" as REG_SZ strings.
#include <cstring>
#include <map>

#include "handles.h"
#include "host_sim.h"

namespace w32sim {
namespace {

constexpr CONFIGRET kCrNoSuchDevnode = 0x0Du;
constexpr CONFIGRET kCrInvalidPointer = 0x03u;
constexpr ULONG kRegistrySoftware = 1u;  // CM_REGISTRY_SOFTWARE

// A key holds a copy of the device's values taken when it was opened.
struct RegistryKeyObject : Object {
  CountedObject counted{"key"};
  std::map<std::string, std::string> values;  // upper-cased value name -> string
};

}  // namespace

CONFIGRET WINAPI SimCmOpenDevNodeKey(DEVINST dnDevNode, REGSAM samDesired, ULONG ulHardwareProfile,
                                     REGDISPOSITION Disposition, PHKEY phkDevice, ULONG ulFlags) {
  if (phkDevice == nullptr) return kCrInvalidPointer;
  *phkDevice = nullptr;
  auto key = std::make_shared<RegistryKeyObject>();
  {
    std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
    const HostProfile& profile = CurrentHostProfile();
    // The devices owning interfaces have no hardware values here.
    if (dnDevNode >= kInterfaceDevInstBase && dnDevNode < kInterfaceDevInstBase + profile.interfaces.size()) {
      return CR_NO_SUCH_REGISTRY_KEY;
    }
    if (dnDevNode < kPortDevInstBase || dnDevNode >= kPortDevInstBase + profile.ports.size()) {
      return kCrNoSuchDevnode;
    }
    const PortDevice& port = profile.ports[dnDevNode - kPortDevInstBase];
    if ((ulFlags & kRegistrySoftware) != 0 || !port.hardware_key_opens) return CR_NO_SUCH_REGISTRY_KEY;
    if (port.has_portname) key->values["PORTNAME"] = port.portname;
    if (port.has_symbolic_name) key->values["SYMBOLICNAME"] = port.symbolic_name;
  }
  HANDLE h = RegisterObject(key);
  if (h == nullptr) return CR_FAILURE;
  *phkDevice = h;
  return CR_SUCCESS;
}

}  // namespace w32sim

using namespace w32sim;

extern "C" {

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
  auto key = Lookup<RegistryKeyObject>(hKey);
  if (!key) return ERROR_INVALID_HANDLE;
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
  auto it = key->values.find(UpperCase(lpValueName ? lpValueName : ""));
  if (it == key->values.end()) return ERROR_FILE_NOT_FOUND;
  const DWORD size = static_cast<DWORD>(it->second.size() + 1);  // with the terminator
  if (lpType) *lpType = REG_SZ;
  if (lpData == nullptr) {
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  std::memcpy(lpData, it->second.c_str(), size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  if (!Lookup<RegistryKeyObject>(hKey)) return ERROR_INVALID_HANDLE;
  CloseObject(hKey);
  return ERROR_SUCCESS;
}

}  // extern "C"
