// Internals shared by the simulated host's source files (SetupAPI, registry, modules, services, windows,
// processes, WinUSB): the state that moves while the profile stays the same (poll counts, the presence
// clock, pending service requests, found windows, sockets opened for device interfaces), its lock, and
// small helpers. Not part of the layer's contract.
#ifndef DRAVIK_PLATFORM_POSIX_HOST_SIM_H
#define DRAVIK_PLATFORM_POSIX_HOST_SIM_H

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "../win32.h"
#include "host_profile.h"

namespace w32sim {

// Class GUID registered under the class name "Ports".
extern const char* const kPortsClassGuid;
// Device instances (SP_DEVINFO_DATA.DevInst): ports are kPortDevInstBase + their index in the profile,
// the devices owning interfaces kInterfaceDevInstBase + the interface's index.
constexpr DWORD kPortDevInstBase = 0x1000;
constexpr DWORD kInterfaceDevInstBase = 0x2000;

// Guards the host state below, CurrentHostProfile() and CurrentHostRecord() inside the simulated host's
// functions. Never held across a blocking transfer.
std::recursive_mutex& HostStateMutex();

struct ServiceTimer {
  uint64_t deadline_ms = 0;   // on the layer's clock
  uint32_t final_state = 0;   // the state the service reaches at the deadline
};

struct FoundWindow {
  HWND hwnd = nullptr;
  uint32_t posts = 0;  // WM_CLOSE posts received
};

struct HostState {
  uint64_t epoch_ms = 0;                              // layer's clock when the profile was set
  std::map<std::string, uint32_t> polls;             // poll key -> device-list requests made
  std::map<std::string, ServiceTimer> service_timers;  // upper-cased service name -> pending request
  std::map<std::string, FoundWindow> windows;          // upper-cased class name -> its handle
  uintptr_t next_hwnd = 0x10010;
  std::map<std::string, size_t> socket_interfaces;     // socket path -> index in profile.interfaces
  std::string last_socket_path;                        // the last "socket:" target a name resolved to
};

// The host state; call with HostStateMutex() held.
HostState& State();

// Poll keys: device lists of a setup class, and device-interface lists of an interface class.
std::string DevicePollKey(const std::string& class_guid);
std::string InterfacePollKey(const std::string& class_guid);
// Polls made so far under a key; CountPoll adds one and gives the count before it.
uint32_t PollsMade(const std::string& key);
uint32_t CountPoll(const std::string& key);
// Virtual milliseconds since the profile was set.
uint64_t ProfileElapsedMs();
// Whether a device with this presence is on the bus after `polls` polls of its class at `elapsed_ms`.
bool PresentAt(const Presence& presence, uint32_t polls, uint64_t elapsed_ms);
// Whether the port / interface at an index of the current profile is present now.
bool PortPresentNow(size_t index);
bool InterfacePresentNow(size_t index);

// Which profile interface a socket opened through ResolveDeviceName belongs to; -1 when unknown.
int InterfaceForSocket(const std::string& socket_path);

// Text helpers.
bool EqualsNoCase(const std::string& a, const std::string& b);
std::string UpperCase(std::string text);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional, any letter case) <-> GUID.
bool ParseGuid(const std::string& text, GUID* out);
std::string FormatGuid(const GUID& guid);
// Library names compare without regard to case and with ".dll" optional: "psapi" for "PSAPI.DLL".
std::string LibraryKey(const std::string& name);

// The entry points GetProcAddress hands out (registry.cpp, processes.cpp), with their Win32 signatures.
CONFIGRET WINAPI SimCmOpenDevNodeKey(DEVINST dnDevNode, REGSAM samDesired, ULONG ulHardwareProfile,
                                     REGDISPOSITION Disposition, PHKEY phkDevice, ULONG ulFlags);
BOOL WINAPI SimEnumProcesses(DWORD* lpidProcess, DWORD cb, LPDWORD lpcbNeeded);
BOOL WINAPI SimEnumProcessModules(HANDLE hProcess, HMODULE* lphModule, DWORD cb, LPDWORD lpcbNeeded);
DWORD WINAPI SimGetModuleBaseNameA(HANDLE hProcess, HMODULE hModule, LPSTR lpBaseName, DWORD nSize);
HANDLE WINAPI SimCreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID);
BOOL WINAPI SimProcess32First(HANDLE hSnapshot, LPPROCESSENTRY32 lppe);
BOOL WINAPI SimProcess32Next(HANDLE hSnapshot, LPPROCESSENTRY32 lppe);
BOOL WINAPI SimModule32First(HANDLE hSnapshot, LPMODULEENTRY32 lpme);
BOOL WINAPI SimModule32Next(HANDLE hSnapshot, LPMODULEENTRY32 lpme);

// Counts live objects of a kind for OpenSimulatedHandles (host_profile.h). Embed one in an object.
class CountedObject {
 public:
  explicit CountedObject(const char* kind);
  ~CountedObject();
  CountedObject(const CountedObject&) = delete;
  CountedObject& operator=(const CountedObject&) = delete;

 private:
  const char* kind_;
};

}  // namespace w32sim

#endif  // DRAVIK_PLATFORM_POSIX_HOST_SIM_H
