#include "discovery.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "../platform/win32.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "../platform/posix/host_profile.h"
#endif

namespace dravik_update {

namespace fs = std::filesystem;

namespace {

const char kVidPid[] = "USB#Vid_0e1f&Pid_4505";
// {25DBCE51-6C8F-4A72-8A6D-B54C2B4FC835}, the sync driver's device interface class.
const GUID kSyncInterfaceClass = {0x25DBCE51, 0x6C8F, 0x4A72, {0x8A, 0x6D, 0xB5, 0x4C, 0x2B, 0x4F, 0xC8, 0x35}};

std::string OpensOnThisHost(const std::string& name) {
#ifndef _WIN32
  std::string opens;
  if (w32sim::ResolveDeviceName(name, &opens)) return opens;
#endif
  (void)name;
  return "";
}

void FindPorts(HostView* view) {
  DWORD needed = 0;
  SetupDiClassGuidsFromNameA("Ports", nullptr, 0, &needed);
  if (needed == 0) return;
  std::vector<GUID> guids(needed);
  if (!SetupDiClassGuidsFromNameA("Ports", guids.data(), needed, &needed)) return;
  HDEVINFO list = SetupDiGetClassDevsA(&guids[0], nullptr, nullptr, DIGCF_PRESENT);
  if (list == INVALID_HANDLE_VALUE) return;
  HMODULE cfgmgr = LoadLibraryA("cfgmgr32");
  auto open_key = cfgmgr ? reinterpret_cast<CM_Open_DevNode_Key_Fn>(
                               reinterpret_cast<void*>(GetProcAddress(cfgmgr, "CM_Open_DevNode_Key")))
                         : nullptr;
  for (DWORD i = 0; open_key != nullptr; ++i) {
    SP_DEVINFO_DATA info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    if (!SetupDiEnumDeviceInfo(list, i, &info)) break;
    HKEY key = nullptr;
    if (open_key(info.DevInst, KEY_QUERY_VALUE, 0, RegDisposition_OpenExisting, &key, CM_REGISTRY_HARDWARE) !=
        CR_SUCCESS) {
      continue;
    }
    char port[64] = {0};
    char symbolic[512] = {0};
    DWORD type = 0, size = sizeof port - 1;
    bool have_port = RegQueryValueExA(key, "portname", nullptr, &type, reinterpret_cast<LPBYTE>(port), &size) ==
                     ERROR_SUCCESS;
    size = sizeof symbolic - 1;
    bool have_symbolic = RegQueryValueExA(key, "SymbolicName", nullptr, &type, reinterpret_cast<LPBYTE>(symbolic),
                                          &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (!have_port || !have_symbolic || std::strstr(symbolic, kVidPid) == nullptr) continue;
    if (_strnicmp(port, "com", 3) != 0 || std::atoi(port + 3) <= 0) continue;
    // Every port answers to its device-namespace name, the one the library opens COM10 and up by.
    view->ports.push_back({port, symbolic, OpensOnThisHost(std::string("\\\\.\\") + port), std::strlen(port) <= 6});
  }
  if (cfgmgr != nullptr) FreeLibrary(cfgmgr);
  SetupDiDestroyDeviceInfoList(list);
}

void FindInterfaces(HostView* view) {
  HDEVINFO list = SetupDiGetClassDevsA(&kSyncInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (list == INVALID_HANDLE_VALUE) return;
  for (DWORD i = 0;; ++i) {
    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(list, nullptr, &kSyncInterfaceClass, i, &data)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS || i > 64) break;
      continue;
    }
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &needed, nullptr);
    if (needed == 0) continue;
    std::vector<uint8_t> buffer(needed + 1, 0);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(list, &data, detail, needed, &needed, nullptr)) continue;
    std::string path = detail->DevicePath;
    if (path.empty()) continue;
    view->interfaces.push_back({path, "", OpensOnThisHost(path), i < 5 && path.size() < 256});
  }
  SetupDiDestroyDeviceInfoList(list);
}

}  // namespace

std::string HostClassName(uint32_t major, uint32_t minor) {
  if (major >= 6) return "Vista or later";
  if (major >= 5 && !(major == 5 && minor == 0)) return "XP plus";
  return "Windows 2000 or older";
}

bool IsVistaOrLaterHost(uint32_t major) { return major >= 6; }

HostView LookAtHost() {
  HostView view;
  DWORD version = GetVersion();
  view.major = version & 0xFFu;
  view.minor = (version >> 8) & 0xFFu;
  char value[16] = {0};
  GetPrivateProfileStringA("Config", "Driver", "0", value, 10, "Tavrine_usb_flash.ini");
  view.driver = std::atoi(value);
  FindPorts(&view);
  FindInterfaces(&view);
  return view;
}

const FoundDevice* DeviceTheLibraryOpens(const HostView& view) {
  const auto& candidates = view.driver == 1 ? view.ports : view.interfaces;
  for (const FoundDevice& d : candidates) {
    if (d.searched) return &d;
  }
  return nullptr;
}

std::vector<std::string> RealHandheldTtys() {
  std::vector<std::string> ttys;
#ifndef _WIN32
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/sys/class/tty", ec)) {
    fs::path dev = fs::canonical(entry.path() / "device", ec);
    if (ec) {
      ec.clear();
      continue;
    }
    // Walk up from the tty's interface to the USB device that carries the ids.
    for (int up = 0; up < 4 && !dev.empty(); ++up, dev = dev.parent_path()) {
      std::ifstream vid(dev / "idVendor"), pid(dev / "idProduct");
      if (!vid || !pid) continue;
      std::string v, p;
      vid >> v;
      pid >> p;
      if (v == "0e1f" && p == "4505") ttys.push_back("/dev/" + entry.path().filename().string());
      break;
    }
  }
#endif
  return ttys;
}

bool UsePort(const std::string& tty, const std::string& host_class, std::string* error) {
#ifdef _WIN32
  (void)tty;
  (void)host_class;
  *error = "--port is for Linux; on Windows the library finds the handheld itself";
  return false;
#else
  w32sim::HostProfile profile = w32sim::CurrentHostProfile();
  if (host_class == "2000") {
    profile.major_version = 5;
    profile.minor_version = 0;
    profile.build_number = 2195;
  } else if (host_class == "xp" || host_class.empty()) {
    profile.major_version = 5;
    profile.minor_version = 1;
    profile.build_number = 2600;
  } else {
    *error = "--port drives a USB-serial tty, which the library reaches on the \"2000\" and \"xp\" host classes; "
             "for \"" + host_class + "\" use a host profile (DRAVIK_HOST_PROFILE)";
    return false;
  }
  // The library writes its packets into whatever the path opens: an image file given by a slip of the
  // fingers would be overwritten. A path that is there must be a character device of the tty class
  // (asked of sysfs, without opening it: opening a serial line raises its modem lines); ptys have no sysfs
  // entry. A path that is not there, or that the user may not open, is explained when the open fails.
  struct stat st {};
  if (::stat(tty.c_str(), &st) == 0) {
    bool is_tty = S_ISCHR(st.st_mode);
    if (is_tty) {
      const std::string entry = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                                std::to_string(minor(st.st_rdev)) + "/subsystem";
      std::error_code ec;
      const fs::path subsystem = fs::read_symlink(entry, ec);
      if (!ec) is_tty = subsystem.filename() == "tty";
    }
    if (!is_tty) {
      *error = tty + " is not a tty: give the handheld's tty, such as /dev/ttyACM0 or /dev/ttyUSB0 (`list` shows "
               "the ones the host sees)";
      return false;
    }
  }
  profile.platform_id = 2;
  w32sim::PortDevice port;
  port.portname = "COM3";
  port.symbolic_name = "\\??\\USB#Vid_0e1f&Pid_4505#dravik-update#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
  port.opens = tty;
  w32sim::DeviceInterface iface;
  iface.path = "\\\\?\\usb#vid_0e1f&pid_4505#dravik-update#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}";
  iface.opens = tty;
  iface.winusb = false;
  profile.ports = {port};
  profile.interfaces = {iface};
  w32sim::SetHostProfile(profile);
  return true;
#endif
}

std::string PermissionProblem(const FoundDevice& device) {
#ifndef _WIN32
  const std::string& tty = device.opens;
  if (tty.empty() || tty.compare(0, 7, "socket:") == 0) return "";
  std::error_code ec;
  if (!fs::exists(tty, ec)) return "";
  if (access(tty.c_str(), R_OK | W_OK) == 0) return "";
  return "permission denied on " + tty +
         ": your user may not open the handheld's tty. Fix: install the udev rules "
         "(sudo cp tools/udev/60-dravik.rules /etc/udev/rules.d/ && sudo udevadm control --reload && "
         "sudo udevadm trigger), or add yourself to the tty's group (sudo usermod -aG dialout $USER, then log in "
         "again), and reconnect the handheld";
#else
  (void)device;
  return "";
#endif
}

std::string DescribeOpenError(long code, const std::string& device) {
#ifdef _WIN32
  // On Windows a port or device that will not open is held by another program, not kept from the user.
  switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return device + " is held open by another program (the sync software, a terminal, or a second "
                      "dravik-update); close it and try again";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return device + " does not exist (the handheld was unplugged)";
    default:
      return device + " could not be opened (platform error " + std::to_string(code) + ")";
  }
#endif
  switch (code) {
    case ERROR_ACCESS_DENIED:
      return "permission denied on " + device +
             " (install tools/udev/60-dravik.rules, or add yourself to the tty's group, e.g. "
             "sudo usermod -aG dialout $USER, then log in again)";
    case ERROR_SHARING_VIOLATION:
      return device + " is held open by another program (ModemManager probing it, a terminal, or a second "
                      "dravik-update); close it or install tools/udev/60-dravik.rules";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return device + " does not exist (the handheld was unplugged, or the host profile names a wrong tty)";
    default:
      return device + " could not be opened (platform error " + std::to_string(code) + ")";
  }
}

}  // namespace dravik_update
