// The simulated Windows host that platform/posix stands in for: its version, Windows directory, device
// tree, services, windows and processes. A test builds one in code; a person writes one as a file (format
// in platform/posix/HOST_PROFILE.md) and names it in DRAVIK_HOST_PROFILE.
#ifndef DRAVIK_PLATFORM_POSIX_HOST_PROFILE_H
#define DRAVIK_PLATFORM_POSIX_HOST_PROFILE_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace w32sim {

// When a device is on the bus. Polls count the device-list requests (SetupDiGetClassDevsA) of its class
// since the profile was set; milliseconds run on the layer's clock from the moment the profile was set.
// The device is present while at least appears_after_polls polls have been made and fewer than
// vanishes_after_polls (when not 0), and likewise for the milliseconds: appears_after_polls = 3 keeps it
// out of the first three lists and puts it in the fourth; vanishes_after_polls = 2 shows it in two lists.
struct Presence {
  uint32_t appears_after_polls = 0;
  uint32_t appears_after_ms = 0;
  uint32_t vanishes_after_polls = 0;  // 0: never
  uint32_t vanishes_after_ms = 0;     // 0: never
};

// A device of the "Ports" class: its hardware-key values and what opening its port name opens.
struct PortDevice {
  bool has_portname = true;
  std::string portname;  // "COM7"
  bool has_symbolic_name = true;
  std::string symbolic_name;  // "\\??\\USB#Vid_0e1f&Pid_4505#...#{...}"
  bool hardware_key_opens = true;
  std::string opens;  // tty path that CreateFileA(portname) opens
  Presence presence;
};

struct Endpoint {
  uint8_t address = 0;  // bit 7 set: IN
  uint8_t type = 2;     // 0 control, 1 isochronous, 2 bulk, 3 interrupt
};

// The endpoints of a new interface: bulk OUT 0x01 and bulk IN 0x81.
std::vector<Endpoint> DefaultWinUsbEndpoints();

// A device interface of a class (the sync driver's {25DBCE51-6C8F-4A72-8A6D-B54C2B4FC835} by default).
struct DeviceInterface {
  std::string class_guid = "{25DBCE51-6C8F-4A72-8A6D-B54C2B4FC835}";
  std::string path;             // device path; CreateFileA(path) opens `opens`
  bool detail_readable = true;  // false: SetupDiGetDeviceInterfaceDetailA fails on it
  std::string opens;            // "socket:/path" (WinUSB bulk pipes to the virtual handheld) or a tty path
  bool winusb = true;           // WinUsb_Initialize succeeds on its handle
  std::vector<Endpoint> endpoints = DefaultWinUsbEndpoints();  // bulk OUT 0x01, bulk IN 0x81
  int fail_pipe_query_at = -1;  // WinUsb_QueryPipe fails at this index
  Presence presence;
};

struct Service {
  std::string name;                // "WcesComm", "RapiMgr"
  uint32_t state = 4;              // SERVICE_RUNNING; pending states stay pending unless a delay ends them
  uint32_t start_type = 2;         // SERVICE_AUTO_START
  uint32_t service_type = 0x10;    // 0: QueryServiceConfigA reports no service type
  uint32_t error_control = 1;
  uint32_t stop_ms = 0;            // time a stop request takes to reach "stopped"
  uint32_t start_ms = 0;           // time a start request takes to reach "running"
  uint32_t pause_ms = 0;           // time a pause request takes to reach "paused"
  uint32_t continue_ms = 0;        // time a continue request takes to reach "running"
  bool refuses_controls = false;   // ControlService/StartServiceA fail
  bool can_open = true;            // OpenServiceA fails when false
  bool status_query_fails = false;
  // N > 0: QueryServiceStatus succeeds N more times, then fails from then on: the host counts it down
  // and sets status_query_fails when it reaches 0. 0: no such limit.
  uint32_t status_query_fails_after = 0;
};

struct Window {
  std::string class_name;          // "SyncMgrUI", "DccMan Class"
  bool closes_on_wm_close = true;  // the window goes away when it receives WM_CLOSE
  uint32_t close_posts_needed = 1; // how many WM_CLOSE posts before it goes
};

struct Process {
  uint32_t pid = 0;
  std::string exe;                 // base name of the first module, "rapimgr.exe"
  bool modules_readable = true;    // false: EnumProcessModules / module snapshot refused
  bool can_open = true;            // OpenProcess asking for PROCESS_TERMINATE succeeds
  bool terminable = true;          // TerminateProcess succeeds
};

struct HostProfile {
  uint32_t major_version = 5;
  uint32_t minor_version = 1;
  uint32_t build_number = 2600;
  uint32_t platform_id = 2;  // 1: the 9x family, 2: the NT family
  std::string windows_directory;  // empty: $DRAVIK_WINDOWS_DIR, else $HOME/.dravik/windows
  std::vector<PortDevice> ports;
  std::vector<DeviceInterface> interfaces;
  std::vector<Service> services;
  std::vector<Window> windows;
  std::vector<Process> processes;
  bool scm_available = true;
  bool version_query_fails = false;           // GetVersionExA fails
  bool enum_processes_fails = false;          // EnumProcesses (PSAPI) fails
  bool process_snapshot_fails = false;        // CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS) fails
  uint32_t ports_class_missing_lookups = 0;   // the first N lookups of the "Ports" class name find none
  std::set<std::string> missing_libraries;    // "cfgmgr32", "PSAPI.DLL", "Kernel32.DLL" (case-insensitive)
  std::set<std::string> missing_entry_points; // "CM_Open_DevNode_Key", "EnumProcesses", ...
};

// The profile in force. Starts as the file named by $DRAVIK_HOST_PROFILE, or the default above.
HostProfile& CurrentHostProfile();
// Replaces the profile; resets poll counters and the presence clock.
void SetHostProfile(const HostProfile& profile);
// Reads and writes the file format; on failure *error says why.
bool LoadHostProfileFile(const std::string& path, HostProfile* out, std::string* error);
bool SaveHostProfileFile(const std::string& path, const HostProfile& profile, std::string* error);

// What a name given to CreateFileA opens on this host: a "Ports" device's port name or a present device
// interface's path maps to its `opens` ("socket:/path" or a tty path). As on Windows, a port is named
// "\\.\COM12"; only COM1 to COM9 (and LPT1 to LPT9) also answer to the bare name ("COM7"). False: not a
// device name (a bare "COM12" is then a file name).
bool ResolveDeviceName(const std::string& name, std::string* opens);

// What the simulated host saw, for tests: WM_CLOSE posts per window class, terminated process ids,
// service requests ("STOP WcesComm", "START RapiMgr", "PAUSE X", "CONTINUE X", "CONFIG WcesComm start=4"),
// library loads and releases ("LOAD PSAPI.DLL", "FREE PSAPI.DLL", with the name as the caller wrote it).
struct HostRecord {
  std::vector<std::string> window_posts;
  std::vector<uint32_t> terminated_pids;
  std::vector<std::string> service_events;
  std::vector<std::string> library_events;
};
HostRecord& CurrentHostRecord();

// Objects of the simulated host not yet closed, by kind: "devinfo" (device lists), "key" (registry
// keys), "scm" (service managers), "service", "module" (loaded libraries), "process", "snapshot",
// "winusb" (interfaces). Lets tests check that every handle taken was released.
int OpenSimulatedHandles(const std::string& kind);

}  // namespace w32sim

#endif  // DRAVIK_PLATFORM_POSIX_HOST_PROFILE_H
