// Processes of the profile: OpenProcess/TerminateProcess, the PSAPI functions of "PSAPI.DLL" and the
// toolhelp snapshots of "Kernel32.DLL". Pid 0 is the idle process: EnumProcesses lists it first, and on
// the NT family the process snapshot does too; it cannot be opened. Each process has one module, its
// executable, named as the profile writes it.
#include <algorithm>
#include <cstring>
#include <vector>

#include "handles.h"
#include "host_sim.h"

namespace w32sim {
namespace {

// The module handle of every process's executable (its classic load address).
const HMODULE kExeModule = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x400000));
// A module snapshot of pid 0 is one of the calling process, as toolhelp does.
const char kSelfModule[] = "host.exe";
constexpr DWORD kErrorNoMoreFiles = 18;  // the end of a snapshot

struct ProcessObject : Object {
  CountedObject counted{"process"};
  uint32_t pid = 0;
  DWORD access = 0;
};

struct SnapshotObject : Object {
  CountedObject counted{"snapshot"};
  struct Entry {
    uint32_t pid;
    std::string exe;
  };
  bool modules = false;        // a module snapshot (else processes)
  std::vector<Entry> entries;  // in enumeration order
  size_t next = 0;
};

// Call with HostStateMutex() held.
Process* FindProcess(uint32_t pid) {
  if (pid == 0) return nullptr;
  for (Process& p : CurrentHostProfile().processes) {
    if (p.pid == pid) return &p;
  }
  return nullptr;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::shared_ptr<ProcessObject> LookupProcess(HANDLE h) {
  auto obj = Lookup<ProcessObject>(h);
  if (!obj) SetLastError(ERROR_INVALID_HANDLE);
  return obj;
}

void CopyName(char* dst, size_t size, const std::string& name) {
  size_t n = std::min(name.size(), size - 1);
  std::memcpy(dst, name.data(), n);
  dst[n] = '\0';
}

BOOL SnapshotEntry(HANDLE hSnapshot, bool modules, bool first, void* record) {
  auto snap = Lookup<SnapshotObject>(hSnapshot);
  if (!snap || snap->modules != modules) return Fail(ERROR_INVALID_HANDLE);
  if (record == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD size = *static_cast<DWORD*>(record);
  if (size != (modules ? sizeof(MODULEENTRY32) : sizeof(PROCESSENTRY32))) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (first) snap->next = 0;
  if (snap->next >= snap->entries.size()) return Fail(kErrorNoMoreFiles);
  const SnapshotObject::Entry& e = snap->entries[snap->next++];
  if (modules) {
    auto* me = static_cast<LPMODULEENTRY32>(record);
    std::memset(me, 0, sizeof *me);
    me->dwSize = sizeof *me;
    me->th32ModuleID = 1;
    me->th32ProcessID = e.pid;
    me->GlblcntUsage = 1;
    me->ProccntUsage = 1;
    me->modBaseAddr = reinterpret_cast<BYTE*>(kExeModule);
    me->modBaseSize = 0x10000;
    me->hModule = kExeModule;
    CopyName(me->szModule, sizeof me->szModule, e.exe);
    CopyName(me->szExePath, sizeof me->szExePath, "C:\\Program Files\\" + e.exe);
  } else {
    auto* pe = static_cast<LPPROCESSENTRY32>(record);
    std::memset(pe, 0, sizeof *pe);
    pe->dwSize = sizeof *pe;
    pe->th32ProcessID = e.pid;
    pe->cntThreads = 1;
    pe->pcPriClassBase = 8;
    CopyName(pe->szExeFile, sizeof pe->szExeFile, e.exe);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace

BOOL WINAPI SimEnumProcesses(DWORD* lpidProcess, DWORD cb, LPDWORD lpcbNeeded) {
  if (lpidProcess == nullptr || lpcbNeeded == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<DWORD> ids{0};
  {
    std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
    if (CurrentHostProfile().enum_processes_fails) return Fail(ERROR_ACCESS_DENIED);
    for (const Process& p : CurrentHostProfile().processes) {
      if (p.pid != 0) ids.push_back(p.pid);
    }
  }
  // As on Windows: as many ids as fit, and the bytes written (a full buffer may mean there are more).
  const size_t n = std::min<size_t>(ids.size(), cb / sizeof(DWORD));
  std::copy(ids.begin(), ids.begin() + n, lpidProcess);
  *lpcbNeeded = static_cast<DWORD>(n * sizeof(DWORD));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI SimEnumProcessModules(HANDLE hProcess, HMODULE* lphModule, DWORD cb, LPDWORD lpcbNeeded) {
  auto obj = LookupProcess(hProcess);
  if (!obj) return FALSE;
  if (lpcbNeeded == nullptr || (lphModule == nullptr && cb != 0)) return Fail(ERROR_INVALID_PARAMETER);
  if ((obj->access & (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ)) != (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ)) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  const Process* p = FindProcess(obj->pid);
  if (!p) return Fail(ERROR_INVALID_HANDLE);  // the process has ended
  if (!p->modules_readable) return Fail(ERROR_ACCESS_DENIED);
  // One module, the executable; a buffer too small for it receives nothing but the size needed.
  if (cb >= sizeof(HMODULE)) lphModule[0] = kExeModule;
  *lpcbNeeded = sizeof(HMODULE);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

DWORD WINAPI SimGetModuleBaseNameA(HANDLE hProcess, HMODULE hModule, LPSTR lpBaseName, DWORD nSize) {
  auto obj = LookupProcess(hProcess);
  if (!obj) return 0;
  if (lpBaseName == nullptr || nSize == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if ((obj->access & (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ)) != (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  // A null module names the executable, as on Windows.
  if (hModule != nullptr && hModule != kExeModule) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  const Process* p = FindProcess(obj->pid);
  if (!p) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (!p->modules_readable) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  CopyName(lpBaseName, nSize, p->exe);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(std::strlen(lpBaseName));
}

HANDLE WINAPI SimCreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID) {
  auto snap = std::make_shared<SnapshotObject>();
  {
    std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
    const HostProfile& profile = CurrentHostProfile();
    if (dwFlags & TH32CS_SNAPPROCESS) {
      if (profile.process_snapshot_fails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
      }
      if (profile.platform_id == VER_PLATFORM_WIN32_NT) snap->entries.push_back({0, "[System Process]"});
      for (const Process& p : profile.processes) {
        if (p.pid != 0) snap->entries.push_back({p.pid, p.exe});
      }
    } else if (dwFlags & TH32CS_SNAPMODULE) {
      snap->modules = true;
      if (th32ProcessID == 0) {
        snap->entries.push_back({0, kSelfModule});
      } else {
        const Process* p = FindProcess(th32ProcessID);
        if (!p) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return INVALID_HANDLE_VALUE;
        }
        if (!p->modules_readable) {
          SetLastError(ERROR_ACCESS_DENIED);
          return INVALID_HANDLE_VALUE;
        }
        snap->entries.push_back({p->pid, p->exe});
      }
    } else {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
  }
  HANDLE h = RegisterObject(snap);
  if (h == nullptr) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return h;
}

BOOL WINAPI SimProcess32First(HANDLE hSnapshot, LPPROCESSENTRY32 lppe) {
  return SnapshotEntry(hSnapshot, false, true, lppe);
}
BOOL WINAPI SimProcess32Next(HANDLE hSnapshot, LPPROCESSENTRY32 lppe) {
  return SnapshotEntry(hSnapshot, false, false, lppe);
}
BOOL WINAPI SimModule32First(HANDLE hSnapshot, LPMODULEENTRY32 lpme) {
  return SnapshotEntry(hSnapshot, true, true, lpme);
}
BOOL WINAPI SimModule32Next(HANDLE hSnapshot, LPMODULEENTRY32 lpme) {
  return SnapshotEntry(hSnapshot, true, false, lpme);
}

}  // namespace w32sim

using namespace w32sim;

extern "C" {

HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) {
  auto obj = std::make_shared<ProcessObject>();
  {
    std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
    const Process* p = FindProcess(dwProcessId);
    if (!p) {  // the idle process, or no such process
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    if ((dwDesiredAccess & PROCESS_TERMINATE) && !p->can_open) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    obj->pid = p->pid;
    obj->access = dwDesiredAccess;
  }
  HANDLE h = RegisterObject(obj);
  if (h) SetLastError(ERROR_SUCCESS);
  return h;
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
  auto obj = LookupProcess(hProcess);
  if (!obj) return FALSE;
  if (!(obj->access & PROCESS_TERMINATE)) return Fail(ERROR_ACCESS_DENIED);
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  auto& processes = CurrentHostProfile().processes;
  auto it = std::find_if(processes.begin(), processes.end(),
                         [&](const Process& p) { return p.pid == obj->pid && p.pid != 0; });
  if (it == processes.end() || !it->terminable) return Fail(ERROR_ACCESS_DENIED);  // ended, or refused
  CurrentHostRecord().terminated_pids.push_back(it->pid);
  processes.erase(it);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // extern "C"
