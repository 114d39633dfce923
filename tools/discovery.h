// What the host sees of the handheld, found the way the library's own discovery finds it: the USB-serial
// ports of the "Ports" class with the handheld's vendor and product in their symbolic name, and the device
// interfaces of the sync driver's class. On Linux the platform layer answers these calls from the host
// profile; a real tty is put into a profile of its own with --port.
#ifndef DRAVIK_TOOLS_DISCOVERY_H
#define DRAVIK_TOOLS_DISCOVERY_H

#include <cstdint>
#include <string>
#include <vector>

namespace dravik_update {

struct FoundDevice {
  std::string name;     // port name ("COM7") or device interface path
  std::string detail;   // symbolic name of a port
  std::string opens;    // Linux: what the platform opens for the name (a tty, "socket:PATH"); empty elsewhere
  bool searched = true; // false: the library's search does not reach it (sixth interface and later)
};

struct HostView {
  uint32_t major = 0, minor = 0;
  int driver = 0;  // the library's "Driver" setting: 1 USB-serial port, otherwise the sync driver
  std::vector<FoundDevice> ports;       // "Ports" devices of vendor 0e1f, product 4505 with a COM name
  std::vector<FoundDevice> interfaces;  // sync-driver interfaces
};

// "Windows 2000 or older", "XP plus", "Vista or later".
std::string HostClassName(uint32_t major, uint32_t minor);
bool IsVistaOrLaterHost(uint32_t major);

HostView LookAtHost();
// The device the library would open on this host: the first port with driver 1, else the first interface.
const FoundDevice* DeviceTheLibraryOpens(const HostView& view);

// Linux: ttys of USB devices with vendor 0e1f and product 4505 (from sysfs), for the user to pass to --port.
std::vector<std::string> RealHandheldTtys();

// Linux: makes the platform layer present the tty as the handheld on a host of the class ("2000", "xp").
bool UsePort(const std::string& tty, const std::string& host_class, std::string* error);

// When the device the library would open is a tty the user may not open, the message that says so and how
// to fix it; empty otherwise.
std::string PermissionProblem(const FoundDevice& device);

// The text for a platform error code the library logged with "err: %i".
std::string DescribeOpenError(long code, const std::string& device);

}  // namespace dravik_update

#endif  // DRAVIK_TOOLS_DISCOVERY_H
