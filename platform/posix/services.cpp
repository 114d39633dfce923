// The service control manager over the profile's services. A stop, start, pause or continue request puts
// the service in the pending state for the time the profile gives (on the layer's clock), after which it
// is in the stopped, running or paused state; a state the profile itself makes pending stays so. Every
// request is written to CurrentHostRecord().service_events, refused ones included.
#include <cstring>

#include "clock.h"
#include "handles.h"
#include "host_sim.h"

namespace w32sim {
namespace {

constexpr DWORD kControlInterrogate = 4;
constexpr DWORD kAcceptStop = 0x1;
constexpr DWORD kAcceptPauseContinue = 0x2;
constexpr DWORD kErrorInvalidServiceControl = 1052;

struct ScManagerObject : Object {
  CountedObject counted{"scm"};
};

struct ServiceObject : Object {
  CountedObject counted{"service"};
  std::string name;  // as the profile writes it
};

// The profile's service for a handle, with its pending request carried forward to now. Call with
// HostStateMutex() held. Null with ERROR_INVALID_HANDLE when the handle or the service is gone.
Service* ServiceOf(SC_HANDLE h) {
  auto obj = Lookup<ServiceObject>(h);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  for (Service& s : CurrentHostProfile().services) {
    if (!EqualsNoCase(s.name, obj->name)) continue;
    auto& timers = State().service_timers;
    auto it = timers.find(UpperCase(s.name));
    if (it != timers.end() && VirtualMilliseconds() >= it->second.deadline_ms) {
      s.state = it->second.final_state;
      timers.erase(it);
    }
    return &s;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

// Moves the service to `pending` for `ms`, then to `final_state`; at once when ms is 0.
void Begin(Service& s, uint32_t pending, uint32_t final_state, uint32_t ms) {
  auto& timers = State().service_timers;
  if (ms == 0) {
    s.state = final_state;
    timers.erase(UpperCase(s.name));
    return;
  }
  s.state = pending;
  timers[UpperCase(s.name)] = ServiceTimer{VirtualMilliseconds() + ms, final_state};
}

void FillStatus(const Service& s, LPSERVICE_STATUS out) {
  if (out == nullptr) return;
  std::memset(out, 0, sizeof *out);
  out->dwServiceType = s.service_type;
  out->dwCurrentState = s.state;
  if (s.state == SERVICE_RUNNING) out->dwControlsAccepted = kAcceptStop | kAcceptPauseContinue;
  if (s.state == SERVICE_PAUSED) out->dwControlsAccepted = kAcceptStop | kAcceptPauseContinue;
  auto it = State().service_timers.find(UpperCase(s.name));
  if (it != State().service_timers.end()) {
    uint64_t now = VirtualMilliseconds();
    out->dwCheckPoint = 1;
    out->dwWaitHint = it->second.deadline_ms > now ? static_cast<DWORD>(it->second.deadline_ms - now) : 0;
  }
}

void Record(const std::string& event) { CurrentHostRecord().service_events.push_back(event); }

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace
}  // namespace w32sim

using namespace w32sim;

extern "C" {

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
  {
    std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
    if (!CurrentHostProfile().scm_available || (lpMachineName != nullptr && *lpMachineName != '\0')) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
  }
  SC_HANDLE h = RegisterObject(std::make_shared<ScManagerObject>());
  if (h) SetLastError(ERROR_SUCCESS);
  return h;
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
  if (!Lookup<ScManagerObject>(hSCManager)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (lpServiceName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto obj = std::make_shared<ServiceObject>();
  {
    std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
    const Service* found = nullptr;
    for (const Service& s : CurrentHostProfile().services) {
      if (EqualsNoCase(s.name, lpServiceName)) {
        found = &s;
        break;
      }
    }
    if (!found) {
      SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
      return nullptr;
    }
    if (!found->can_open) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    obj->name = found->name;
  }
  SC_HANDLE h = RegisterObject(obj);
  if (h) SetLastError(ERROR_SUCCESS);
  return h;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  Service* s = ServiceOf(hService);
  if (!s) return FALSE;
  if (lpServiceStatus == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (s->status_query_fails) return Fail(ERROR_ACCESS_DENIED);
  // The last query the limit allows still succeeds; the ones after it fail.
  if (s->status_query_fails_after > 0 && --s->status_query_fails_after == 0) s->status_query_fails = true;
  FillStatus(*s, lpServiceStatus);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  Service* s = ServiceOf(hService);
  if (!s) return FALSE;
  const char* word = dwControl == SERVICE_CONTROL_STOP       ? "STOP"
                     : dwControl == SERVICE_CONTROL_PAUSE    ? "PAUSE"
                     : dwControl == SERVICE_CONTROL_CONTINUE ? "CONTINUE"
                     : dwControl == kControlInterrogate      ? nullptr
                                                             : "CONTROL";
  if (word) {
    std::string event = std::string(word) + " " + s->name;
    if (std::strcmp(word, "CONTROL") == 0) event = "CONTROL " + std::to_string(dwControl) + " " + s->name;
    Record(event);
  }
  if (dwControl == kControlInterrogate) {
    FillStatus(*s, lpServiceStatus);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (!word || std::strcmp(word, "CONTROL") == 0) return Fail(kErrorInvalidServiceControl);
  if (s->refuses_controls) return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  const uint32_t state = s->state;
  if (state == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
  if (state != SERVICE_RUNNING && state != SERVICE_PAUSED) return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  switch (dwControl) {
    case SERVICE_CONTROL_STOP:
      Begin(*s, SERVICE_STOP_PENDING, SERVICE_STOPPED, s->stop_ms);
      break;
    case SERVICE_CONTROL_PAUSE:
      if (state == SERVICE_RUNNING) Begin(*s, SERVICE_PAUSE_PENDING, SERVICE_PAUSED, s->pause_ms);
      break;
    case SERVICE_CONTROL_CONTINUE:
      if (state == SERVICE_PAUSED) Begin(*s, SERVICE_CONTINUE_PENDING, SERVICE_RUNNING, s->continue_ms);
      break;
  }
  FillStatus(*s, lpServiceStatus);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors) {
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  Service* s = ServiceOf(hService);
  if (!s) return FALSE;
  Record("START " + s->name);
  if (s->refuses_controls) return Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
  if (s->start_type == SERVICE_DISABLED) return Fail(ERROR_SERVICE_DISABLED);
  if (s->state != SERVICE_STOPPED) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
  Begin(*s, SERVICE_START_PENDING, SERVICE_RUNNING, s->start_ms);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI QueryServiceConfigA(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGA lpServiceConfig, DWORD cbBufSize,
                                LPDWORD pcbBytesNeeded) {
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  Service* s = ServiceOf(hService);
  if (!s) return FALSE;
  if (pcbBytesNeeded == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  // The strings follow the record in the caller's buffer, as on Windows.
  const std::string binary = "C:\\Windows\\System32\\" + s->name + ".exe";
  const std::string group;
  const std::string dependencies;  // an empty double-terminated list
  const std::string start_name = "LocalSystem";
  const std::string display = s->name;
  const DWORD needed = static_cast<DWORD>(sizeof(QUERY_SERVICE_CONFIGA) + binary.size() + 1 + group.size() + 1 +
                                          dependencies.size() + 2 + start_name.size() + 1 + display.size() + 1);
  *pcbBytesNeeded = needed;
  if (lpServiceConfig == nullptr || cbBufSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memset(lpServiceConfig, 0, needed);
  char* p = reinterpret_cast<char*>(lpServiceConfig) + sizeof(QUERY_SERVICE_CONFIGA);
  auto put = [&p](const std::string& text, size_t terminators) {
    char* start = p;
    std::memcpy(p, text.data(), text.size());
    p += text.size() + terminators;  // the buffer was zeroed
    return start;
  };
  lpServiceConfig->dwServiceType = s->service_type;
  lpServiceConfig->dwStartType = s->start_type;
  lpServiceConfig->dwErrorControl = s->error_control;
  lpServiceConfig->lpBinaryPathName = put(binary, 1);
  lpServiceConfig->lpLoadOrderGroup = put(group, 1);
  lpServiceConfig->dwTagId = 0;
  lpServiceConfig->lpDependencies = put(dependencies, 2);
  lpServiceConfig->lpServiceStartName = put(start_name, 1);
  lpServiceConfig->lpDisplayName = put(display, 1);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI ChangeServiceConfigA(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType,
                                 DWORD dwErrorControl, LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup,
                                 LPDWORD lpdwTagId, LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                                 LPCSTR lpPassword, LPCSTR lpDisplayName) {
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  Service* s = ServiceOf(hService);
  if (!s) return FALSE;
  // "CONFIG WcesComm start=4"; a service type or error control that changes is added as type=/error=.
  std::string event = "CONFIG " + s->name + " start=";
  event += dwStartType == SERVICE_NO_CHANGE ? std::string("unchanged") : std::to_string(dwStartType);
  if (dwServiceType != SERVICE_NO_CHANGE && dwServiceType != s->service_type) {
    event += " type=" + std::to_string(dwServiceType);
  }
  if (dwErrorControl != SERVICE_NO_CHANGE && dwErrorControl != s->error_control) {
    event += " error=" + std::to_string(dwErrorControl);
  }
  Record(event);
  if ((dwStartType != SERVICE_NO_CHANGE && dwStartType > SERVICE_DISABLED) ||
      (dwServiceType != SERVICE_NO_CHANGE && dwServiceType == 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (dwServiceType != SERVICE_NO_CHANGE) s->service_type = dwServiceType;
  if (dwStartType != SERVICE_NO_CHANGE) s->start_type = dwStartType;
  if (dwErrorControl != SERVICE_NO_CHANGE) s->error_control = dwErrorControl;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  if (!Lookup<ScManagerObject>(hSCObject) && !Lookup<ServiceObject>(hSCObject)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return CloseObject(hSCObject);
}

}  // extern "C"
