// Stopping and restarting the desktop sync software around the link: its services on Vista and later,
// its windows and processes before Vista.
#include "sync_control.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "startup.h"

namespace {

// Entry points reached at run time: "PSAPI.DLL" on the NT family, the toolhelp functions of
// "Kernel32.DLL" on the 9x family. The signatures are those of the real libraries.
typedef BOOL(WINAPI* EnumProcesses_Fn)(DWORD* lpidProcess, DWORD cb, LPDWORD lpcbNeeded);
typedef BOOL(WINAPI* EnumProcessModules_Fn)(HANDLE hProcess, HMODULE* lphModule, DWORD cb, LPDWORD lpcbNeeded);
typedef DWORD(WINAPI* GetModuleBaseNameA_Fn)(HANDLE hProcess, HMODULE hModule, LPSTR lpBaseName, DWORD nSize);
typedef HANDLE(WINAPI* CreateToolhelp32Snapshot_Fn)(DWORD dwFlags, DWORD th32ProcessID);
typedef BOOL(WINAPI* Process32First_Fn)(HANDLE hSnapshot, LPPROCESSENTRY32 lppe);
typedef BOOL(WINAPI* Process32Next_Fn)(HANDLE hSnapshot, LPPROCESSENTRY32 lppe);
typedef BOOL(WINAPI* Module32First_Fn)(HANDLE hSnapshot, LPMODULEENTRY32 lpme);
typedef BOOL(WINAPI* Module32Next_Fn)(HANDLE hSnapshot, LPMODULEENTRY32 lpme);

template <class Fn>
Fn LookUp(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Closes the service control manager handles an operation opened, whichever way it leaves.
struct ServiceHandle {
  SC_HANDLE h = nullptr;
  ~ServiceHandle() {
    if (h != nullptr) CloseServiceHandle(h);
  }
};

struct ModuleHandle {
  HMODULE h = nullptr;
  ~ModuleHandle() {
    if (h != nullptr) FreeLibrary(h);
  }
};

struct SnapshotHandle {
  HANDLE h = INVALID_HANDLE_VALUE;
  ~SnapshotHandle() {
    if (h != INVALID_HANDLE_VALUE && h != nullptr) CloseHandle(h);
  }
};

// The executables of the sync software, in the order they are terminated.
const char* const kSyncProcesses[] = {"wcesmgr.exe", "wcescomm.exe", "rapimgr.exe"};
constexpr size_t kMaxProcessName = 260;
constexpr DWORD kProcessIdBufferBytes = 1000;  // at most 250 process ids are examined
constexpr int kWindowCloseRounds9x = 6;

void UpperCase(char* s) {
  for (; *s != '\0'; ++s) *s = static_cast<char>(std::toupper(static_cast<unsigned char>(*s)));
}

// NT family: enumerate process ids through PSAPI and terminate the first whose first module's base name,
// upper-cased, equals the target.
int TerminateNamedProcessNt(const char* target) {
  ModuleHandle psapi;
  psapi.h = LoadLibraryA("PSAPI.DLL");
  if (psapi.h == nullptr) return 0;
  auto enumProcesses = LookUp<EnumProcesses_Fn>(psapi.h, "EnumProcesses");
  auto enumProcessModules = LookUp<EnumProcessModules_Fn>(psapi.h, "EnumProcessModules");
  auto getModuleBaseName = LookUp<GetModuleBaseNameA_Fn>(psapi.h, "GetModuleBaseNameA");
  if (enumProcesses == nullptr || enumProcessModules == nullptr || getModuleBaseName == nullptr) return 0;

  DWORD adwProcesses[kProcessIdBufferBytes / sizeof(DWORD)] = {};
  DWORD cbNeeded = 0;
  if (!enumProcesses(adwProcesses, kProcessIdBufferBytes, &cbNeeded)) return 0;
  DWORD dwCount = cbNeeded / sizeof(DWORD);
  if (dwCount > kProcessIdBufferBytes / sizeof(DWORD)) dwCount = kProcessIdBufferBytes / sizeof(DWORD);

  for (DWORD i = 0; i < dwCount; ++i) {
    const DWORD dwPid = adwProcesses[i];
    char szName[kMaxProcessName + 1] = "Unknown";
    if (dwPid != 0) {
      HANDLE hProcess = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, dwPid);
      if (hProcess != nullptr) {
        HMODULE hModule = nullptr;
        DWORD cbModules = 0;
        if (enumProcessModules(hProcess, &hModule, sizeof(hModule), &cbModules)) {
          char szBase[kMaxProcessName + 1] = {};
          if (getModuleBaseName(hProcess, hModule, szBase, kMaxProcessName) > 0) {
            std::memcpy(szName, szBase, sizeof szName);  // szBase is zero-filled and as large
            szName[kMaxProcessName] = '\0';
          }
        }
        CloseHandle(hProcess);
      }
    }
    UpperCase(szName);
    if (std::strcmp(szName, target) != 0) continue;

    // The first match ends the operation, whatever the open and the termination give.
    HANDLE hProcess = OpenProcess(PROCESS_TERMINATE, FALSE, dwPid);
    if (hProcess == nullptr) return 0;
    const BOOL bTerminated = TerminateProcess(hProcess, 0);
    CloseHandle(hProcess);
    return bTerminated ? 1 : 0;
  }
  return 0;
}

// 9x family: walk the toolhelp snapshots and terminate the first process that has a module whose name,
// as the platform reports it, equals the target.
int TerminateNamedProcess9x(const char* target) {
  ModuleHandle kernel;
  kernel.h = LoadLibraryA("Kernel32.DLL");
  if (kernel.h == nullptr) {
    LogPrintf("Do not find Kernel32.DLL \n");
    return 0;
  }
  auto createSnapshot = LookUp<CreateToolhelp32Snapshot_Fn>(kernel.h, "CreateToolhelp32Snapshot");
  auto process32First = LookUp<Process32First_Fn>(kernel.h, "Process32First");
  auto process32Next = LookUp<Process32Next_Fn>(kernel.h, "Process32Next");
  auto module32First = LookUp<Module32First_Fn>(kernel.h, "Module32First");
  auto module32Next = LookUp<Module32Next_Fn>(kernel.h, "Module32Next");
  if (createSnapshot == nullptr || process32First == nullptr || process32Next == nullptr ||
      module32First == nullptr || module32Next == nullptr) {
    LogPrintf("Do not find functions \n");
    return 0;
  }

  SnapshotHandle processes;
  processes.h = createSnapshot(TH32CS_SNAPPROCESS, 0);
  if (processes.h == INVALID_HANDLE_VALUE || processes.h == nullptr) {
    LogPrintf("Do not get a handle snapshot \n");
    return 0;
  }

  PROCESSENTRY32 pe;
  std::memset(&pe, 0, sizeof(pe));
  pe.dwSize = sizeof(pe);
  for (BOOL bMore = process32First(processes.h, &pe); bMore; bMore = process32Next(processes.h, &pe)) {
    SnapshotHandle modules;
    modules.h = createSnapshot(TH32CS_SNAPMODULE, pe.th32ProcessID);
    if (modules.h == INVALID_HANDLE_VALUE || modules.h == nullptr) {
      LogPrintf("Do not get a handle snapshot2 \n");
      return 0;
    }
    MODULEENTRY32 me;
    std::memset(&me, 0, sizeof(me));
    me.dwSize = sizeof(me);
    for (BOOL bMod = module32First(modules.h, &me); bMod; bMod = module32Next(modules.h, &me)) {
      me.szModule[sizeof(me.szModule) - 1] = '\0';
      if (std::strcmp(me.szModule, target) != 0) continue;

      HANDLE hProcess = OpenProcess(PROCESS_TERMINATE, FALSE, pe.th32ProcessID);
      if (hProcess == nullptr) {
        LogPrintf("Unable to open process, %d \n", static_cast<int>(GetLastError()));
        return 0;
      }
      const BOOL bTerminated = TerminateProcess(hProcess, 0);
      const DWORD dwError = GetLastError();
      CloseHandle(hProcess);
      if (bTerminated) {
        LogPrintf("terminate process \n");
        return 1;
      }
      LogPrintf("Cannot terminate process, %d \n", static_cast<int>(dwError));
      return 0;
    }
  }
  return 0;
}

}  // namespace

int ControlServiceAndWait(SC_HANDLE service, DWORD request, DWORD wantedState) {
  SERVICE_STATUS status;
  std::memset(&status, 0, sizeof(status));
  const BOOL bAccepted = request == kServiceStartRequest ? StartServiceA(service, 0, nullptr)
                                                         : ControlService(service, request, &status);
  if (!bAccepted) return 0;

  // 1 s, then up to 11 queries 1 s apart; a failed query or the wanted state ends the polling early.
  Sleep(1000);
  for (int nQuery = 0; nQuery < 11; ++nQuery) {
    if (nQuery > 0) Sleep(1000);
    if (!QueryServiceStatus(service, &status)) break;
    if (status.dwCurrentState == wantedState) break;
  }
  if (!QueryServiceStatus(service, &status)) return 0;
  return status.dwCurrentState == wantedState ? 1 : 0;
}

namespace {

// The service's configuration in `buffer`, or null when it cannot be read.
LPQUERY_SERVICE_CONFIGA ReadServiceConfig(SC_HANDLE service, std::vector<uint8_t>* buffer) {
  DWORD cbNeeded = 0;
  QueryServiceConfigA(service, nullptr, 0, &cbNeeded);
  if (cbNeeded < sizeof(QUERY_SERVICE_CONFIGA)) cbNeeded = sizeof(QUERY_SERVICE_CONFIGA);
  buffer->assign(cbNeeded, 0);
  auto* config = reinterpret_cast<LPQUERY_SERVICE_CONFIGA>(buffer->data());
  return QueryServiceConfigA(service, config, cbNeeded, &cbNeeded) ? config : nullptr;
}

}  // namespace

int SetServiceStartType(SC_HANDLE service, DWORD startType) {
  std::vector<uint8_t> buffer;
  const LPQUERY_SERVICE_CONFIGA config = ReadServiceConfig(service, &buffer);
  if (config == nullptr || config->dwServiceType == 0) return 0;
  return ChangeServiceConfigA(service, config->dwServiceType, startType, config->dwErrorControl, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr)
             ? 1
             : 0;
}

int ControlServiceByName(const char* action, const char* service) {
  if (action == nullptr || service == nullptr) return 0;
  wchar_t wszAction[32] = {};
  if (std::mbstowcs(wszAction, action, 31) == static_cast<size_t>(-1)) return 0;
  char szService[MAX_PATH + 1] = {};
  std::strncpy(szService, service, MAX_PATH);

  ServiceHandle manager;
  manager.h = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager.h == nullptr) return 0;
  ServiceHandle handle;
  handle.h = OpenServiceA(manager.h, szService, GENERIC_ALL);
  if (handle.h == nullptr) return 0;
  SERVICE_STATUS status;
  std::memset(&status, 0, sizeof(status));
  if (!QueryServiceStatus(handle.h, &status)) return 0;
  const DWORD dwState = status.dwCurrentState;

  if (_wcsicmp(wszAction, L"PAUSE") == 0) {
    if (dwState == SERVICE_RUNNING) return ControlServiceAndWait(handle.h, SERVICE_CONTROL_PAUSE, SERVICE_PAUSED);
    return dwState == SERVICE_PAUSED ? 1 : 0;
  }
  if (_wcsicmp(wszAction, L"CONTINUE") == 0) {
    if (dwState == SERVICE_PAUSED) return ControlServiceAndWait(handle.h, SERVICE_CONTROL_CONTINUE, SERVICE_RUNNING);
    return dwState == SERVICE_RUNNING ? 1 : 0;
  }
  if (_wcsicmp(wszAction, L"START") == 0) {
    if (dwState == SERVICE_STOPPED) {
      SetServiceStartType(handle.h, SERVICE_AUTO_START);
      return ControlServiceAndWait(handle.h, kServiceStartRequest, SERVICE_RUNNING);
    }
    if (dwState == SERVICE_RUNNING) {
      // A service that refused to stop, or had not stopped when its wait ended, was disabled all the
      // same; it is enabled again here, or it would stay disabled after the run, and not start with the
      // next boot.
      std::vector<uint8_t> buffer;
      const LPQUERY_SERVICE_CONFIGA config = ReadServiceConfig(handle.h, &buffer);
      if (config != nullptr && config->dwStartType == SERVICE_DISABLED) {
        SetServiceStartType(handle.h, SERVICE_AUTO_START);
      }
      return 1;
    }
    return 0;
  }
  if (_wcsicmp(wszAction, L"STOP") == 0) {
    if (dwState == SERVICE_RUNNING) {
      // The service is disabled even when it did not stop in time, so that it does not come back.
      const int nResult = ControlServiceAndWait(handle.h, SERVICE_CONTROL_STOP, SERVICE_STOPPED);
      SetServiceStartType(handle.h, SERVICE_DISABLED);
      return nResult;
    }
    return dwState == SERVICE_STOPPED ? 1 : 0;
  }
  return 0;
}

int CloseSyncSoftware() {
  HWND hDccMan = FindWindowA("DccMan Class", nullptr);
  HWND hSyncMgr = FindWindowA("SyncMgrUI", nullptr);
  if (hSyncMgr != nullptr) PostMessageA(hSyncMgr, WM_CLOSE, 0, 0);
  if (hDccMan != nullptr) PostMessageA(hDccMan, WM_CLOSE, 0, 0);

  OSVERSIONINFOA version;
  std::memset(&version, 0, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionExA(&version)) return 0;

  // The 9x family needs the posting repeated while both windows are still there.
  if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
    for (int nRound = 0; nRound < kWindowCloseRounds9x; ++nRound) {
      hDccMan = FindWindowA("DccMan Class", nullptr);
      hSyncMgr = FindWindowA("SyncMgrUI", nullptr);
      LogPrintf("Windows Closing...\n");
      if (hDccMan == nullptr || hSyncMgr == nullptr) break;
      PostMessageA(hSyncMgr, WM_CLOSE, 0, 0);
      PostMessageA(hDccMan, WM_CLOSE, 0, 0);
      Sleep(1000);
    }
  }
  LogPrintf("Windows Closing end\n");
  Sleep(1000);

  for (const char* szExe : kSyncProcesses) TerminateNamedProcess(szExe);
  return 1;
}

int TerminateNamedProcess(const char* name) {
  const size_t nLength = name == nullptr ? 0 : std::strlen(name);
  if (nLength < 1 || nLength > kMaxProcessName) {
    LogPrintf("Terminate process length error \n");
    return 0;
  }
  char szTarget[kMaxProcessName + 1] = {};
  std::memcpy(szTarget, name, nLength);
  UpperCase(szTarget);

  OSVERSIONINFOA version;
  std::memset(&version, 0, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionExA(&version)) {
    LogPrintf("Get version error \n");
    return 0;
  }
  if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) return TerminateNamedProcessNt(szTarget);
  if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) return TerminateNamedProcess9x(szTarget);
  LogPrintf("Not support version \n");
  return 0;
}
