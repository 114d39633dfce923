// SetupAPI over the host profile: the "Ports" setup class and the device interfaces of the profile.
// A device list is a snapshot of the devices present when it was made; making one counts a poll of the
// class, which is what brings devices that appear "after N polls" onto the bus.
#include <cstring>
#include <vector>

#include "handles.h"
#include "host_sim.h"

namespace w32sim {
namespace {

struct DeviceListObject : Object {
  CountedObject counted{"devinfo"};
  struct Entry {
    GUID class_guid;
    DWORD dev_inst;
    bool is_interface;
    std::string path;  // interfaces
    bool detail_readable = true;
  };
  std::vector<Entry> devices;     // what SetupDiEnumDeviceInfo walks
  std::vector<Entry> interfaces;  // what SetupDiEnumDeviceInterfaces walks
};

std::shared_ptr<DeviceListObject> LookupList(HDEVINFO h) {
  auto list = Lookup<DeviceListObject>(h);
  if (!list) SetLastError(ERROR_INVALID_HANDLE);
  return list;
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

}  // namespace
}  // namespace w32sim

using namespace w32sim;

extern "C" {

BOOL WINAPI SetupDiClassGuidsFromNameA(PCSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                       PDWORD RequiredSize) {
  if (ClassName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<GUID> guids;
  bool registered = true;
  if (EqualsNoCase(ClassName, "Ports")) {
    std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
    registered = CountPoll("C:Ports") >= CurrentHostProfile().ports_class_missing_lookups;
  }
  if (EqualsNoCase(ClassName, "Ports") && registered) {
    GUID g{};
    ParseGuid(kPortsClassGuid, &g);
    guids.push_back(g);
  }
  if (RequiredSize) *RequiredSize = static_cast<DWORD>(guids.size());
  if (ClassGuidListSize < guids.size() || (ClassGuidList == nullptr && !guids.empty())) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  for (size_t i = 0; i < guids.size(); ++i) ClassGuidList[i] = guids[i];
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags) {
  const bool all_classes = (Flags & DIGCF_ALLCLASSES) != 0;
  if (ClassGuid == nullptr && !all_classes) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const bool present_only = (Flags & DIGCF_PRESENT) != 0;
  const bool interfaces = (Flags & DIGCF_DEVICEINTERFACE) != 0;
  const std::string wanted = ClassGuid ? FormatGuid(*ClassGuid) : std::string();
  auto list = std::make_shared<DeviceListObject>();
  {
    std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
    const HostProfile& profile = CurrentHostProfile();
    const uint64_t elapsed = ProfileElapsedMs();
    if (!interfaces) {
      if (all_classes || EqualsNoCase(wanted, kPortsClassGuid)) {
        const uint32_t polls = CountPoll(DevicePollKey(kPortsClassGuid));
        GUID ports{};
        ParseGuid(kPortsClassGuid, &ports);
        for (size_t i = 0; i < profile.ports.size(); ++i) {
          if (present_only && !PresentAt(profile.ports[i].presence, polls, elapsed)) continue;
          list->devices.push_back({ports, static_cast<DWORD>(kPortDevInstBase + i), false, "", true});
        }
      }
    } else {
      // Each interface class listed counts one poll, taken before any of its interfaces is judged.
      std::map<std::string, uint32_t> polls;
      for (const DeviceInterface& itf : profile.interfaces) {
        std::string key = InterfacePollKey(itf.class_guid);
        if ((all_classes || EqualsNoCase(itf.class_guid, wanted)) && !polls.count(key)) {
          polls[key] = CountPoll(key);
        }
      }
      if (!all_classes && polls.empty()) CountPoll(InterfacePollKey(wanted));
      for (size_t i = 0; i < profile.interfaces.size(); ++i) {
        const DeviceInterface& itf = profile.interfaces[i];
        auto it = polls.find(InterfacePollKey(itf.class_guid));
        if (it == polls.end()) continue;
        if (present_only && !PresentAt(itf.presence, it->second, elapsed)) continue;
        GUID g{};
        ParseGuid(itf.class_guid, &g);
        DeviceListObject::Entry e{g, static_cast<DWORD>(kInterfaceDevInstBase + i), true, itf.path,
                                  itf.detail_readable};
        list->devices.push_back(e);
        list->interfaces.push_back(e);
      }
    }
  }
  HANDLE h = RegisterObject(list);
  if (h == nullptr) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return h;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
  auto list = LookupList(DeviceInfoSet);
  if (!list) return FALSE;
  if (DeviceInfoData == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (MemberIndex >= list->devices.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  const auto& e = list->devices[MemberIndex];
  DeviceInfoData->ClassGuid = e.class_guid;
  DeviceInfoData->DevInst = e.dev_inst;
  DeviceInfoData->Reserved = MemberIndex + 1;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  auto list = LookupList(DeviceInfoSet);
  if (!list) return FALSE;
  if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  // The interfaces of the wanted class, optionally of one device only.
  DWORD seen = 0;
  for (size_t i = 0; i < list->interfaces.size(); ++i) {
    const auto& e = list->interfaces[i];
    if (!SameGuid(e.class_guid, *InterfaceClassGuid)) continue;
    if (DeviceInfoData && DeviceInfoData->DevInst != e.dev_inst) continue;
    if (seen++ != MemberIndex) continue;
    DeviceInterfaceData->InterfaceClassGuid = e.class_guid;
    DeviceInterfaceData->Flags = 0x1;  // SPINT_ACTIVE
    DeviceInterfaceData->Reserved = i + 1;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  SetLastError(ERROR_NO_MORE_ITEMS);
  return FALSE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
  auto list = LookupList(DeviceInfoSet);
  if (!list) return FALSE;
  if (DeviceInterfaceData == nullptr || DeviceInterfaceData->Reserved == 0 ||
      DeviceInterfaceData->Reserved > list->interfaces.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto& e = list->interfaces[DeviceInterfaceData->Reserved - 1];
  const size_t fixed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  DWORD needed = static_cast<DWORD>(fixed + e.path.size() + 1);
  if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) needed = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (DeviceInterfaceDetailData == nullptr) {
    if (DeviceInterfaceDetailDataSize != 0) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    if (RequiredSize) *RequiredSize = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (DeviceInterfaceDetailDataSize < needed) {
    if (RequiredSize) *RequiredSize = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // The size is known from the device tree; reading the path itself is what fails on an interface
  // whose detail cannot be read (the device is going away, say).
  if (!e.detail_readable) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  std::memcpy(DeviceInterfaceDetailData->DevicePath, e.path.c_str(), e.path.size() + 1);
  if (RequiredSize) *RequiredSize = needed;
  if (DeviceInfoData) {
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    DeviceInfoData->ClassGuid = e.class_guid;
    DeviceInfoData->DevInst = e.dev_inst;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  if (!LookupList(DeviceInfoSet)) return FALSE;
  return CloseObject(DeviceInfoSet);
}

}  // extern "C"
