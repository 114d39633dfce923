// The host side's whole contract with the platform: the Win32 services the library calls, by their
// Win32 names. On Windows this is the SDK; elsewhere platform/posix supplies the same names, real where
// Linux has the thing (files, ttys, threads, clocks, INI files) and simulated over a host profile where it
// does not (SetupAPI's device tree, the service control manager, windows, processes, WinUSB pipes).
//
// Each function below carries a line on what the library relies on it to do. Error codes are those of
// GetLastError().
#ifndef DRAVIK_PLATFORM_WIN32_H
#define DRAVIK_PLATFORM_WIN32_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef _WIN32

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <tlhelp32.h>
#include <time.h>
#include <share.h>

// The library reaches CM_Open_DevNode_Key through LoadLibraryA("cfgmgr32") and GetProcAddress, so that it
// loads on hosts without cfgmgr32.dll; this is the entry point's signature.
typedef CONFIGRET(WINAPI* CM_Open_DevNode_Key_Fn)(DEVINST dnDevNode, REGSAM samDesired, ULONG ulHardwareProfile,
                                                  REGDISPOSITION Disposition, PHKEY phkDevice, ULONG ulFlags);

#else  // !_WIN32: the names, types and constants the library uses, for platform/posix.

#define WINAPI
#define CALLBACK
#define __cdecl

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint8_t UCHAR;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef int64_t LONGLONG;
typedef char CHAR;
typedef wchar_t WCHAR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef size_t SIZE_T;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef const char* PCSTR;
typedef wchar_t* LPWSTR;
typedef const wchar_t* LPCWSTR;
typedef BYTE* LPBYTE;
typedef UCHAR* PUCHAR;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef ULONG* PULONG;
typedef BOOL* LPBOOL;

typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE HMODULE;
typedef HANDLE HINSTANCE;
typedef HANDLE HWND;
typedef HANDLE HKEY;
typedef HKEY* PHKEY;
typedef HANDLE SC_HANDLE;
typedef HANDLE HDEVINFO;
typedef intptr_t(WINAPI* FARPROC)(void);
typedef DWORD REGSAM;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INFINITE 0xFFFFFFFFu

// Error codes the library and its tests look at.
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_COMMAND 22L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_DISK_FULL 112L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053L
#define ERROR_SERVICE_ALREADY_RUNNING 1056L
#define ERROR_SERVICE_DISABLED 1058L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061L
#define ERROR_SERVICE_NOT_ACTIVE 1062L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_DEVICE_REMOVED 1617L
#define ERROR_SEM_TIMEOUT 121L

// ---- Files and comm ports (kernel32) ----------------------------------------------------------------

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_ALL 0x10000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define MAXDWORD 0xFFFFFFFFu
#define FILE_ATTRIBUTE_NORMAL 0x80u
// CreateFileA: a handle for overlapped I/O, as WinUsb_Initialize needs. This layer has no OVERLAPPED
// record: ReadFile and WriteFile on such a handle without one fail with ERROR_INVALID_PARAMETER.
#define FILE_FLAG_OVERLAPPED 0x40000000u

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;  // never used: every transfer is synchronous

typedef struct _DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
} DCB, *LPDCB;

#define CBR_115200 115200
#define NOPARITY 0
#define ONESTOPBIT 0

typedef struct _COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMSTAT {
  DWORD fCtsHold : 1;
  DWORD fDsrHold : 1;
  DWORD fRlsdHold : 1;
  DWORD fXoffHold : 1;
  DWORD fXoffSent : 1;
  DWORD fEof : 1;
  DWORD fTxim : 1;
  DWORD fReserved : 25;
  DWORD cbInQue;   // bytes received and not yet read
  DWORD cbOutQue;  // bytes written and not yet sent
} COMSTAT, *LPCOMSTAT;

#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u
#define EV_RXCHAR 0x0001u
#define ODDPARITY 1
#define EVENPARITY 2
#define TWOSTOPBITS 2

#ifdef __cplusplus
extern "C" {
#endif

// Opens a file, or a comm port: a name the host profile maps to a device (a port as "\\.\COM12", COM1 to
// COM9 also by the bare name "COM7", as on Windows; an interface path) opens what the profile says (a tty, or the virtual handheld's WinUSB socket); a path naming a tty opens
// it as a comm port. Gives INVALID_HANDLE_VALUE and sets the last error on failure (ERROR_FILE_NOT_FOUND,
// ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION for a port already open with no sharing).
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// Reads up to n bytes. On a comm port it returns when all bytes are there or the total read time-out
// (multiplier x n + constant; all zero: no time-out) has passed, with the count read (TRUE, possibly 0).
// It fails (FALSE, last error ERROR_DEVICE_REMOVED or ERROR_GEN_FAILURE) when the device is gone.
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped);
// Writes n bytes, bounded on a comm port by the total write time-out; the count written is set.
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
// Closes any handle of this layer; FALSE with ERROR_INVALID_HANDLE for null or INVALID_HANDLE_VALUE.
BOOL WINAPI CloseHandle(HANDLE hObject);
BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB);
// Puts the tty in raw binary mode at the DCB's baud, 8N1, no translation, no echo, no flow control.
BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
// Discards what is queued in the directions the PURGE_ bits name.
BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags);
BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask);
// Blocks until an armed event happens; sets the event mask. EV_RXCHAR is an edge: a byte that arrives after
// SetCommMask or after the last event reported; bytes already waiting do not end the wait.
BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
// Sets the queue counts (cbInQue, cbOutQue) and no error bits; FALSE, ERROR_INVALID_HANDLE if not a port.
BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

// ---- Library entry ------------------------------------------------------------------------------------

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

// ---- Threads and time ---------------------------------------------------------------------------------

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u

// Starts a thread running the routine; the handle can be waited on and must be closed.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// The calling thread's id, as CreateThread reported it; unique among the threads running.
DWORD WINAPI GetCurrentThreadId(void);
BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
// Sleeps on the layer's clock: a test may run that clock faster than real time.
void WINAPI Sleep(DWORD dwMilliseconds);
// Milliseconds on the layer's clock since it started (wraps after 49.7 days, like the real one).
DWORD WINAPI GetTickCount(void);

// ---- Versions -----------------------------------------------------------------------------------------

typedef struct _OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;

#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

// Low byte: major version; next byte: minor version (from the host profile).
DWORD WINAPI GetVersion(void);
// Fills the record from the host profile; FALSE when dwOSVersionInfoSize is not sizeof the record.
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);

// ---- Private-profile (INI) files ----------------------------------------------------------------------

// A bare file name is resolved in the host's Windows directory. Section and key names match without
// regard to case. The value (or the default) is copied, cut to nSize - 1 characters; returns its length.
DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                      LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName);
// Sets one key, keeping every other section and key; creates the file on first write.
BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                       LPCSTR lpFileName);

// ---- Run-time loading ---------------------------------------------------------------------------------

// "cfgmgr32", "PSAPI.DLL" and "Kernel32.DLL" load when the host profile has them (names compared without
// regard to case, ".dll" optional); GetProcAddress finds the entry points the profile lists.
HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);

// ---- Processes ----------------------------------------------------------------------------------------

#define PROCESS_TERMINATE 0x0001u
#define PROCESS_VM_READ 0x0010u
#define PROCESS_QUERY_INFORMATION 0x0400u

HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);
BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode);

// Toolhelp records ("Kernel32.DLL" on the 9x family); the functions are reached through GetProcAddress.
#define TH32CS_SNAPPROCESS 0x00000002u
#define TH32CS_SNAPMODULE 0x00000008u
#define MAX_MODULE_NAME32 255

typedef struct tagPROCESSENTRY32 {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  ULONG_PTR th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  CHAR szExeFile[MAX_PATH];
} PROCESSENTRY32, *LPPROCESSENTRY32;

typedef struct tagMODULEENTRY32 {
  DWORD dwSize;
  DWORD th32ModuleID;
  DWORD th32ProcessID;
  DWORD GlblcntUsage;
  DWORD ProccntUsage;
  BYTE* modBaseAddr;
  DWORD modBaseSize;
  HMODULE hModule;
  char szModule[MAX_MODULE_NAME32 + 1];
  char szExePath[MAX_PATH];
} MODULEENTRY32, *LPMODULEENTRY32;

// ---- Windows (user32) ---------------------------------------------------------------------------------

#define WM_CLOSE 0x0010u

// The top-level window of that class in the host profile, or null.
HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName);
// Records the message at the window (the simulated sync software closes on WM_CLOSE when the profile says so).
BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);

// ---- Registry (advapi32) ------------------------------------------------------------------------------

#define KEY_QUERY_VALUE 0x0001u
#define KEY_READ 0x20019u
#define REG_SZ 1u

// Reads a value of a key opened by CM_Open_DevNode_Key. ERROR_MORE_DATA (234) when it does not fit the
// buffer, ERROR_FILE_NOT_FOUND when the value is absent.
LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData);
LONG WINAPI RegCloseKey(HKEY hKey);
#define ERROR_MORE_DATA 234L

// ---- Service control manager (advapi32) ---------------------------------------------------------------

#define SC_MANAGER_ALL_ACCESS 0xF003Fu
#define SERVICE_ALL_ACCESS 0xF01FFu
#define SERVICE_NO_CHANGE 0xFFFFFFFFu
#define SERVICE_WIN32_OWN_PROCESS 0x10u
#define SERVICE_STOPPED 1u
#define SERVICE_START_PENDING 2u
#define SERVICE_STOP_PENDING 3u
#define SERVICE_RUNNING 4u
#define SERVICE_CONTINUE_PENDING 5u
#define SERVICE_PAUSE_PENDING 6u
#define SERVICE_PAUSED 7u
#define SERVICE_CONTROL_STOP 1u
#define SERVICE_CONTROL_PAUSE 2u
#define SERVICE_CONTROL_CONTINUE 3u
#define SERVICE_AUTO_START 2u
#define SERVICE_DEMAND_START 3u
#define SERVICE_DISABLED 4u
#define SERVICE_ERROR_NORMAL 1u

typedef struct _SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;

typedef struct _QUERY_SERVICE_CONFIGA {
  DWORD dwServiceType;
  DWORD dwStartType;
  DWORD dwErrorControl;
  LPSTR lpBinaryPathName;
  LPSTR lpLoadOrderGroup;
  DWORD dwTagId;
  LPSTR lpDependencies;
  LPSTR lpServiceStartName;
  LPSTR lpDisplayName;
} QUERY_SERVICE_CONFIGA, *LPQUERY_SERVICE_CONFIGA;

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess);
SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess);
// The state moves on the layer's clock: a stop or start request puts the service in its pending state
// for the time the profile gives, then in the stopped or running state.
BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus);
BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus);
BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors);
// Two-call size protocol: with a short buffer FALSE and ERROR_INSUFFICIENT_BUFFER and the size needed.
BOOL WINAPI QueryServiceConfigA(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGA lpServiceConfig, DWORD cbBufSize,
                                LPDWORD pcbBytesNeeded);
BOOL WINAPI ChangeServiceConfigA(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType,
                                 DWORD dwErrorControl, LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup,
                                 LPDWORD lpdwTagId, LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                                 LPCSTR lpPassword, LPCSTR lpDisplayName);
BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject);

// ---- SetupAPI and the configuration manager -----------------------------------------------------------

typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef const GUID* LPCGUID;
typedef GUID* LPGUID;

#define DIGCF_DEFAULT 0x1u
#define DIGCF_PRESENT 0x2u
#define DIGCF_ALLCLASSES 0x4u
#define DIGCF_PROFILE 0x8u
#define DIGCF_DEVICEINTERFACE 0x10u

typedef DWORD DEVINST;
typedef DWORD CONFIGRET;
typedef ULONG REGDISPOSITION;
#define CR_SUCCESS 0u
#define CR_FAILURE 0x13u
#define CR_NO_SUCH_REGISTRY_KEY 0x2Eu
#define CM_REGISTRY_HARDWARE 0u
#define RegDisposition_OpenExisting 1u

typedef struct _SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
  DWORD cbSize;  // must be sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), the fixed part, or the call fails
  CHAR DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

// The class GUIDs registered under a class name ("Ports"): with a too small list, FALSE with
// ERROR_INSUFFICIENT_BUFFER and the count needed.
BOOL WINAPI SetupDiClassGuidsFromNameA(PCSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                       PDWORD RequiredSize);
// The devices (or device interfaces, with DIGCF_DEVICEINTERFACE) of a class present in the host profile
// now; INVALID_HANDLE_VALUE on failure.
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags);
// FALSE with ERROR_NO_MORE_ITEMS past the last device.
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData);
// FALSE with ERROR_NO_MORE_ITEMS past the last interface.
BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
// Two-call size protocol: with no buffer FALSE, ERROR_INSUFFICIENT_BUFFER and the size needed; with a
// buffer whose cbSize is wrong FALSE and ERROR_INVALID_USER_BUFFER (1784).
BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
#define ERROR_INVALID_USER_BUFFER 1784L

// CM_Open_DevNode_Key has no declaration here: the library reaches it through
// LoadLibraryA("cfgmgr32") and GetProcAddress, with this signature.
typedef CONFIGRET(WINAPI* CM_Open_DevNode_Key_Fn)(DEVINST dnDevNode, REGSAM samDesired, ULONG ulHardwareProfile,
                                                  REGDISPOSITION Disposition, PHKEY phkDevice, ULONG ulFlags);

// ---- C runtime pieces with Windows meaning ------------------------------------------------------------

typedef int64_t __time64_t;
// Calendar time in seconds on the layer's clock. Not for the library: Windows 2000's msvcrt.dll lacks it
// (scripts/check-dll-exports.sh refuses the import); its budgets use GetTickCount.
__time64_t _time64(__time64_t* t);
int _stricmp(const char* a, const char* b);
int _strnicmp(const char* a, const char* b, size_t n);
int _wcsicmp(const wchar_t* a, const wchar_t* b);
#define _SH_DENYNO 0x40
// Opens a file as the Windows C runtime does: in text mode ("t", or no "b"), each line feed written is
// stored as CR LF. shflag is accepted for the Windows signature; Linux files are always shared.
FILE* _fsopen(const char* filename, const char* mode, int shflag);

#ifdef __cplusplus
}
#endif

#endif  // !_WIN32

// ---- WinUSB: on every platform the library declares it here ----------------------------------------
// On Windows winusb.dll is bound at run time by platform/windows, so that the library loads on hosts
// without it; on Linux platform/posix carries the bytes to the virtual handheld's socket.

typedef PVOID WINUSB_INTERFACE_HANDLE, *PWINUSB_INTERFACE_HANDLE;

typedef struct _DRAVIK_USB_INTERFACE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bInterfaceNumber;
  UCHAR bAlternateSetting;
  UCHAR bNumEndpoints;
  UCHAR bInterfaceClass;
  UCHAR bInterfaceSubClass;
  UCHAR bInterfaceProtocol;
  UCHAR iInterface;
} DRAVIK_USB_INTERFACE_DESCRIPTOR;

typedef enum _DRAVIK_USBD_PIPE_TYPE {
  DravikPipeTypeControl = 0,
  DravikPipeTypeIsochronous = 1,
  DravikPipeTypeBulk = 2,
  DravikPipeTypeInterrupt = 3
} DRAVIK_USBD_PIPE_TYPE;

typedef struct _DRAVIK_WINUSB_PIPE_INFORMATION {
  DRAVIK_USBD_PIPE_TYPE PipeType;
  UCHAR PipeId;
  USHORT MaximumPacketSize;
  UCHAR Interval;
} DRAVIK_WINUSB_PIPE_INFORMATION;

#ifdef __cplusplus
extern "C" {
#endif

// Turns an open device handle into a WinUSB interface; FALSE (and the last error) when the handle is not
// a WinUSB device. The handle must be opened with FILE_FLAG_OVERLAPPED (WinUSB does overlapped I/O on it
// inside); platform/posix refuses one opened without it with ERROR_INVALID_PARAMETER (Windows documents
// the flag as required but names no error for its absence).
BOOL WINAPI WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle);
BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle);
// The interface descriptor of an alternate setting; bNumEndpoints is the number of pipes.
BOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber,
                                          DRAVIK_USB_INTERFACE_DESCRIPTOR* UsbAltInterfaceDescriptor);
// Type and id (endpoint address) of the pipe at an index.
BOOL WINAPI WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber,
                             UCHAR PipeIndex, DRAVIK_WINUSB_PIPE_INFORMATION* PipeInformation);
// Synchronous bulk transfers with no time-out of their own; the count transferred is set. They fail on a
// pipe id the interface does not have, and when the device is gone.
BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                             ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped);
BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                            ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped);

#ifdef __cplusplus
}
#endif

#endif  // DRAVIK_PLATFORM_WIN32_H
