// The device side's whole contract with the platform: the Windows CE services Quenta and Mirrow call, by
// their CE names. On a CE build this is the SDK (coredll, the device-driver kit, the kernel's I/O
// controls); elsewhere platform/ce supplies the same names over a virtual handheld directory (see
// platform/ce/README.md), simulating what Linux does not have: the flash-disk driver behind "DSK1:" and
// "DSK2:", physical memory, the kernel's controls, the registry, message boxes and the reset.
//
// Text: CE's WCHAR is 16 bits and the file formats carry UTF-16LE (the registry value copied into
// "LangID.dat"), so WCHAR is char16_t here, whatever wchar_t is; string literals are written TEXT("...").
// Each function below carries a line on what the device code relies on it to do.
#ifndef DRAVIK_PLATFORM_WINCE_H
#define DRAVIK_PLATFORM_WINCE_H

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32_WCE

#include <windows.h>
#include <winioctl.h>
#include <ceddk.h>
#include <pkfuncs.h>

// The platform's version query is an OEM control of this handheld's kernel, which no SDK header names.
#ifndef IOCTL_HAL_GET_VERSION_EX
#define IOCTL_HAL_GET_VERSION_EX 0x01012008u
#endif
#ifndef IOCTL_HAL_REBOOT
#define IOCTL_HAL_REBOOT 0x0101003Cu
#endif

#else  // !_WIN32_WCE: the names, types and constants the device code uses, for platform/ce.

#define WINAPI
#define TEXT(quote) u##quote

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint8_t UCHAR;
typedef uint8_t BOOLEAN;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef int64_t LONGLONG;
typedef char CHAR;
typedef char16_t WCHAR;
typedef size_t SIZE_T;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef BYTE* LPBYTE;
typedef BYTE* PBYTE;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef ULONG* PULONG;

typedef void* HANDLE;
typedef HANDLE HMODULE;
typedef HANDLE HINSTANCE;
typedef HANDLE HLOCAL;
typedef HANDLE HWND;
typedef HANDLE HKEY;
typedef HKEY* PHKEY;
typedef intptr_t(WINAPI* FARPROC)(void);
typedef DWORD REGSAM;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_SIZE 0xFFFFFFFFu

// Error codes the device code and its tests look at (GetLastError / registry results).
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_GEN_FAILURE 31L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_FILE_EXISTS 80L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_MORE_DATA 234L
#define ERROR_NOT_SUPPORTED 50L

// ---- Files and devices (coredll) ----------------------------------------------------------------------

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
#define FILE_ATTRIBUTE_NORMAL 0x80u

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;  // never used: every transfer is synchronous

#ifdef __cplusplus
extern "C" {
#endif

// Opens a file or a device. "DSK1:" and "DSK2:" open the flash-disk driver (the handle then takes
// DeviceIoControl); any other name is a file of the handheld: "\Storage Card\..." lies on the SD card,
// every other name (relative names included: CE has no current directory) in the handheld's root folder.
// Dispositions CREATE_NEW, CREATE_ALWAYS (truncates), OPEN_EXISTING, OPEN_ALWAYS, TRUNCATE_EXISTING.
// Files are binary, no text translation. INVALID_HANDLE_VALUE and the last error on failure.
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// Reads up to n bytes at the file position; TRUE with the count read (0 at the end of the file).
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped);
// Writes n bytes at the file position; TRUE with the count written (which may fall short of n).
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
// The file's size (low 32 bits; the high ones through the pointer when given). INVALID_FILE_SIZE with
// a last error other than NO_ERROR on failure.
DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
// Writes what the file system still holds of a file out to its medium; FALSE with the last error when
// it cannot (the card is gone, a write error), after which the file's content on the card is not known.
BOOL WINAPI FlushFileBuffers(HANDLE hFile);
// Closes any handle of this layer; FALSE with ERROR_INVALID_HANDLE for an unknown one.
BOOL WINAPI CloseHandle(HANDLE hObject);
// Removes a file (not a device, not a directory); FALSE with the last error when it cannot.
BOOL WINAPI DeleteFileW(LPCWSTR lpFileName);
// Gives a file a new name. As on CE, it fails (ERROR_ALREADY_EXISTS) when the new name is taken: a caller
// replacing a file deletes the old one first.
BOOL WINAPI MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName);
// Sends a device control to the driver behind a device handle. TRUE when the driver carried it out; FALSE
// when it refused (its status then lies in the control's output record) or the handle is no device.
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped);

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

// ---- Memory (coredll) ---------------------------------------------------------------------------------

#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

// A heap block of the given size (zeroed with LMEM_ZEROINIT); null when it cannot be had.
HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
// Frees a block of LocalAlloc (null is allowed); gives null.
HLOCAL WINAPI LocalFree(HLOCAL hMem);

// ---- Kernel: I/O controls, run-time binding, time -----------------------------------------------------

#define IOCTL_HAL_GET_VERSION_EX 0x01012008u
#define IOCTL_HAL_REBOOT 0x0101003Cu

// Kernel I/O controls. IOCTL_HAL_GET_VERSION_EX (output of at least 204 bytes) fills the two 64-byte
// ranges at offsets 12 and 140 of the output with the platform's name and build texts (UTF-16LE, zero
// padded) and gives TRUE. IOCTL_HAL_REBOOT restarts the handheld: the running program ends there.
// FALSE for anything else.
BOOL WINAPI KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                            DWORD nOutBufSize, LPDWORD lpBytesReturned);

// "coredll.dll" (any case) is the only library; null when absent.
HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
// Looks an entry point up by its name: "KernelIoControl" in coredll; null when absent.
FARPROC WINAPI GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);

// Waits the given milliseconds (on the layer's clock, which tests may speed up).
void WINAPI Sleep(DWORD dwMilliseconds);

// ---- Registry (coredll) -------------------------------------------------------------------------------

#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define REG_SZ 1u

// Opens a subkey of HKEY_LOCAL_MACHINE; ERROR_SUCCESS and a key handle when the handheld's registry
// holds the key, else ERROR_FILE_NOT_FOUND.
LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
// Reads a string value as UTF-16LE with its terminating zero. *lpcbData holds the buffer's size on entry
// and the value's size on return. ERROR_FILE_NOT_FOUND when the value is missing; ERROR_MORE_DATA when it
// does not fit, the buffer then holding what fitted (on CE its contents are not defined).
LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData);
LONG WINAPI RegCloseKey(HKEY hKey);

// ---- User interface and debug output ------------------------------------------------------------------

#define MB_OK 0x00000000u
#define IDOK 1

// Shows a box; here it is printed to standard error and recorded, and it is dismissed at once (IDOK).
int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);

// printf-style wide-text output to the debug channel: %d %i %u %x %X %c %s (a WCHAR string) %S (a char
// string) %%, with flags, width and precision. Printed to standard error and recorded.
void NKDbgPrintfW(LPCWSTR lpszFmt, ...);
#define RETAILMSG(cond, printf_exp) ((cond) ? (NKDbgPrintfW printf_exp), 1 : 0)

// ---- Device-driver kit: physical memory and registers -------------------------------------------------

typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

// Maps a physical range into the program's address space; null when it cannot be mapped. Writes go to
// the handheld's memory at once and persist; the mapping is never released by the device code.
PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, ULONG NumberOfBytes, BOOLEAN CacheEnable);
void MmUnmapIoSpace(PVOID BaseAddress, ULONG NumberOfBytes);

// 16-bit register accesses through a mapping, in program order. Writing a value with bit 3 (0x0008) set
// to the clock module's register at 0xFFFECE00 + 0x10 resets the handheld: the running program ends there.
USHORT READ_REGISTER_USHORT(volatile USHORT* Register);
void WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value);

#ifdef __cplusplus
}
#endif

#endif  // _WIN32_WCE

#endif  // DRAVIK_PLATFORM_WINCE_H
