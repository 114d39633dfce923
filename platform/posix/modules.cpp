// Run-time loading of the simulated system libraries: "cfgmgr32" (CM_Open_DevNode_Key), "PSAPI.DLL"
// (EnumProcesses, EnumProcessModules, GetModuleBaseNameA) and "Kernel32.DLL" (the toolhelp functions).
// Library names compare without regard to case, ".dll" optional; entry point names are exact, as on
// Windows. A library or entry point the profile lists as missing is not found.
#include <cstring>

#include "handles.h"
#include "host_sim.h"

namespace w32sim {
namespace {

struct EntryPoint {
  const char* name;
  FARPROC proc;
};

template <class F>
FARPROC AsProc(F f) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(f));
}

struct Library {
  const char* key;  // LibraryKey of the name
  std::vector<EntryPoint> entries;
};

const std::vector<Library>& Libraries() {
  static const std::vector<Library> libs = {
      {"CFGMGR32", {{"CM_Open_DevNode_Key", AsProc(&SimCmOpenDevNodeKey)}}},
      {"PSAPI",
       {{"EnumProcesses", AsProc(&SimEnumProcesses)},
        {"EnumProcessModules", AsProc(&SimEnumProcessModules)},
        {"GetModuleBaseNameA", AsProc(&SimGetModuleBaseNameA)}}},
      {"KERNEL32",
       {{"CreateToolhelp32Snapshot", AsProc(&SimCreateToolhelp32Snapshot)},
        {"Process32First", AsProc(&SimProcess32First)},
        {"Process32Next", AsProc(&SimProcess32Next)},
        {"Module32First", AsProc(&SimModule32First)},
        {"Module32Next", AsProc(&SimModule32Next)}}},
  };
  return libs;
}

struct ModuleObject : Object {
  CountedObject counted{"module"};
  const Library* library = nullptr;
  std::string name;  // as the caller wrote it
};

}  // namespace
}  // namespace w32sim

using namespace w32sim;

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string key = LibraryKey(lpLibFileName);
  const Library* found = nullptr;
  for (const Library& lib : Libraries()) {
    if (key == lib.key) found = &lib;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
    for (const std::string& missing : CurrentHostProfile().missing_libraries) {
      if (LibraryKey(missing) == key) found = nullptr;
    }
    if (found) CurrentHostRecord().library_events.push_back(std::string("LOAD ") + lpLibFileName);
  }
  if (!found) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  auto module = std::make_shared<ModuleObject>();
  module->library = found;
  module->name = lpLibFileName;
  HMODULE h = RegisterObject(module);
  if (h) SetLastError(ERROR_SUCCESS);
  return h;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  auto module = Lookup<ModuleObject>(hModule);
  if (!module) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Lookups by ordinal (a pointer value below 0x10000) are not offered.
  if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
    if (CurrentHostProfile().missing_entry_points.count(lpProcName)) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
  }
  for (const EntryPoint& e : module->library->entries) {
    if (std::strcmp(e.name, lpProcName) == 0) {
      SetLastError(ERROR_SUCCESS);
      return e.proc;
    }
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  auto module = Lookup<ModuleObject>(hLibModule);
  if (!module) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
    CurrentHostRecord().library_events.push_back("FREE " + module->name);
  }
  return CloseObject(hLibModule);
}

}  // extern "C"
