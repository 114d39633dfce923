// The moving part of the simulated host: poll counts and the presence clock that decide which devices
// are on the bus, the names CreateFileA resolves to devices, and the shared helpers of the host's files.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "host_sim.h"

namespace w32sim {

const char* const kPortsClassGuid = "{4D36E978-E325-11CE-BFC1-08002BE10318}";

// The lock and the state are never destroyed: a library thread may still reach the simulated host while
// the program's static objects go.
std::recursive_mutex& HostStateMutex() {
  static std::recursive_mutex* m = new std::recursive_mutex;
  return *m;
}

HostState& State() {
  static HostState* state = [] {
    HostState* s = new HostState;
    s->epoch_ms = VirtualMilliseconds();
    return s;
  }();
  return *state;
}

void OnHostProfileReplaced() {
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  HostState& s = State();
  uintptr_t next_hwnd = s.next_hwnd;  // window handles stay unique across profiles
  s = HostState{};
  s.next_hwnd = next_hwnd;
  s.epoch_ms = VirtualMilliseconds();
}

std::string DevicePollKey(const std::string& class_guid) { return "D" + UpperCase(class_guid); }
std::string InterfacePollKey(const std::string& class_guid) { return "I" + UpperCase(class_guid); }

uint32_t PollsMade(const std::string& key) {
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  auto it = State().polls.find(key);
  return it == State().polls.end() ? 0 : it->second;
}

uint32_t CountPoll(const std::string& key) {
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  uint32_t& count = State().polls[key];
  uint32_t before = count;
  if (count != UINT32_MAX) ++count;
  return before;
}

uint64_t ProfileElapsedMs() {
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  uint64_t now = VirtualMilliseconds();
  uint64_t epoch = State().epoch_ms;
  return now > epoch ? now - epoch : 0;
}

bool PresentAt(const Presence& p, uint32_t polls, uint64_t elapsed_ms) {
  if (polls < p.appears_after_polls) return false;
  if (elapsed_ms < p.appears_after_ms) return false;
  if (p.vanishes_after_polls != 0 && polls >= p.vanishes_after_polls) return false;
  if (p.vanishes_after_ms != 0 && elapsed_ms >= p.vanishes_after_ms) return false;
  return true;
}

bool PortPresentNow(size_t index) {
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  const HostProfile& profile = CurrentHostProfile();
  if (index >= profile.ports.size()) return false;
  return PresentAt(profile.ports[index].presence, PollsMade(DevicePollKey(kPortsClassGuid)), ProfileElapsedMs());
}

bool InterfacePresentNow(size_t index) {
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  const HostProfile& profile = CurrentHostProfile();
  if (index >= profile.interfaces.size()) return false;
  const DeviceInterface& itf = profile.interfaces[index];
  return PresentAt(itf.presence, PollsMade(InterfacePollKey(itf.class_guid)), ProfileElapsedMs());
}

namespace {

// Windows keeps bare names for COM1 to COM9 and LPT1 to LPT9 only; any other bare name ("COM12") is a file
// name, and a port of that name is reached as "\\.\COM12" (which reaches COM1 to COM9 as well).
bool IsBareDosDeviceName(const std::string& name) {
  if (name.size() != 4 || name[3] < '1' || name[3] > '9') return false;
  const std::string stem = UpperCase(name.substr(0, 3));
  return stem == "COM" || stem == "LPT";
}

// The port name a CreateFileA name reaches, or "" when it reaches no port.
std::string PortNameReached(const std::string& name) {
  static const char kDeviceNamespace[] = "\\\\.\\";
  const size_t prefix = sizeof kDeviceNamespace - 1;
  if (name.compare(0, prefix, kDeviceNamespace) == 0) return name.substr(prefix);
  return IsBareDosDeviceName(name) ? name : "";
}

}  // namespace

bool ResolveDeviceName(const std::string& name, std::string* opens) {
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  const HostProfile& profile = CurrentHostProfile();
  const std::string port_name = PortNameReached(name);
  for (size_t i = 0; i < profile.ports.size() && !port_name.empty(); ++i) {
    const PortDevice& port = profile.ports[i];
    if (port.has_portname && !port.portname.empty() && EqualsNoCase(port.portname, port_name) && PortPresentNow(i)) {
      if (opens) *opens = port.opens;
      return true;
    }
  }
  for (size_t i = 0; i < profile.interfaces.size(); ++i) {
    const DeviceInterface& itf = profile.interfaces[i];
    if (!itf.path.empty() && EqualsNoCase(itf.path, name) && InterfacePresentNow(i)) {
      if (opens) *opens = itf.opens;
      static const char kSocket[] = "socket:";
      if (itf.opens.compare(0, sizeof kSocket - 1, kSocket) == 0) {
        std::string socket_path = itf.opens.substr(sizeof kSocket - 1);
        State().socket_interfaces[socket_path] = i;
        State().last_socket_path = socket_path;
      }
      return true;
    }
  }
  return false;
}

int InterfaceForSocket(const std::string& socket_path) {
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  const HostProfile& profile = CurrentHostProfile();
  HostState& s = State();
  auto valid = [&](size_t index) { return index < profile.interfaces.size(); };
  auto it = s.socket_interfaces.find(socket_path);
  if (it != s.socket_interfaces.end() && valid(it->second)) return static_cast<int>(it->second);
  // A socket opened some other way: the interface whose target names that socket.
  for (size_t i = 0; i < profile.interfaces.size(); ++i) {
    if (profile.interfaces[i].opens == "socket:" + socket_path) return static_cast<int>(i);
  }
  // The peer's address can differ from the path that was opened (a relative path, a symlink): the
  // socket is then the last one a device interface name resolved to.
  it = s.socket_interfaces.find(s.last_socket_path);
  if (!s.last_socket_path.empty() && it != s.socket_interfaces.end() && valid(it->second)) {
    return static_cast<int>(it->second);
  }
  return -1;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool ParseGuid(const std::string& text, GUID* out) {
  std::string t = text;
  if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
  if (t.size() != 36) return false;
  for (size_t i = 0; i < t.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? t[i] != '-' : !std::isxdigit(static_cast<unsigned char>(t[i]))) return false;
  }
  auto hex = [&](size_t pos, size_t len) { return std::stoul(t.substr(pos, len), nullptr, 16); };
  GUID g{};
  g.Data1 = static_cast<uint32_t>(hex(0, 8));
  g.Data2 = static_cast<uint16_t>(hex(9, 4));
  g.Data3 = static_cast<uint16_t>(hex(14, 4));
  g.Data4[0] = static_cast<uint8_t>(hex(19, 2));
  g.Data4[1] = static_cast<uint8_t>(hex(21, 2));
  for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<uint8_t>(hex(24 + 2 * i, 2));
  if (out) *out = g;
  return true;
}

std::string FormatGuid(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

std::string LibraryKey(const std::string& name) {
  std::string key = UpperCase(name);
  if (key.size() > 4 && key.compare(key.size() - 4, 4, ".DLL") == 0) key.resize(key.size() - 4);
  return key;
}

namespace {
std::mutex& CountMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::map<std::string, int>& Counts() {
  static std::map<std::string, int>* counts = new std::map<std::string, int>;
  return *counts;
}
}  // namespace

CountedObject::CountedObject(const char* kind) : kind_(kind) {
  std::lock_guard<std::mutex> lock(CountMutex());
  ++Counts()[kind_];
}

CountedObject::~CountedObject() {
  std::lock_guard<std::mutex> lock(CountMutex());
  --Counts()[kind_];
}

int OpenSimulatedHandles(const std::string& kind) {
  std::lock_guard<std::mutex> lock(CountMutex());
  auto it = Counts().find(kind);
  return it == Counts().end() ? 0 : it->second;
}

}  // namespace w32sim
