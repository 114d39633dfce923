// Control of the simulated Windows CE platform (platform/ce), for tests and tools: which virtual
// handheld the services work on, failures to inject below the seam, and what the services recorded
// (debug output, message boxes, register writes, resets).
#ifndef DRAVIK_PLATFORM_CE_CESIM_H
#define DRAVIK_PLATFORM_CE_CESIM_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "flashdisk_driver.h"
#include "storage.h"
#include "wince.h"

namespace cesim {

// ---- The handheld -------------------------------------------------------------------------------------

// The handheld directory the services work on. Until set, $HANDHELD_DIR, else "./handheld".
void SetHandheldDirectory(const std::string& directory);
std::string HandheldDirectory();
handheld::Storage& Handheld();
handheld::flashdisk::Driver& FlashDisk();
// The host path behind a CE file name: "\Storage Card\x" -> <dir>/sdcard/x, any other name -> <dir>/root/x.
// Empty for names that leave those folders ("..").
std::string HostPath(const std::u16string& ce_name);

// Back to a clean simulation: faults, records, driver state (keys, mounts), open handles, the reset
// hook and the echo. The handheld directory and its content stay.
void ResetSimulation();

// ---- Failures to inject -------------------------------------------------------------------------------

void SetLibraryMissing(bool missing);           // LoadLibraryW("coredll.dll") gives null
void SetKernelIoControlMissing(bool missing);   // GetProcAddressW(..., "KernelIoControl") gives null
void SetVersionQueryFails(bool fails);          // IOCTL_HAL_GET_VERSION_EX gives FALSE
// Every MmMapIoSpace whose range covers the physical address fails.
void FailMapping(uint32_t physical);
// A driver control fails with the status (see handheld::flashdisk::Fault for the fields).
void FailControl(uint32_t code, uint32_t status, int sub = -1, int skip = 0, int times = -1, bool perform = false);
// CreateFileW of a device ("DSK1:", "DSK2:") fails after `skip` good opens, `times` times (-1: always).
void FailDeviceOpen(const std::u16string& name, int skip = 0, int times = -1);
// LocalAlloc gives null after `skip` good allocations, `times` times.
void FailAllocation(int skip = 0, int times = 1);
// After this many bytes in total, ReadFile gives TRUE with 0 bytes / WriteFile writes nothing more.
void LimitFileReads(uint64_t bytes);
// Every ReadFile of a file brings at most this many bytes (0: as many as asked), as a card's driver may.
void ShortenFileReads(uint32_t bytes_per_read);
// The first ReadFile of a file made once this many more bytes have been read fails (ERROR_READ_FAULT);
// the reads after it go on from where the file stands, as after a card's passing read error.
void FailFileReadAfter(uint64_t bytes);
void LimitFileWrites(uint64_t bytes);
void SetFileSizeFails(bool fails);              // GetFileSize gives INVALID_FILE_SIZE
// MoveFileW gives FALSE (ERROR_ACCESS_DENIED) after `skip` good moves, `times` times (-1: always).
void FailFileMoves(int skip = 0, int times = -1);
void SetFileFlushFails(bool fails);             // FlushFileBuffers gives FALSE (ERROR_WRITE_FAULT)

// ---- What the services recorded -----------------------------------------------------------------------

// The debug output (NKDbgPrintfW), as UTF-8.
std::string DebugOutput();
void ClearDebugOutput();
// Whether debug output and message boxes are also printed to standard error (default: yes).
void SetEcho(bool echo);

struct MessageBoxRecord {
  std::string text;
  std::string caption;
  uint32_t type = 0;
};
std::vector<MessageBoxRecord> MessageBoxes();

struct RegisterWrite {
  uint32_t physical = 0;
  uint16_t value = 0;
};
std::vector<RegisterWrite> RegisterWrites();

// Handles of this layer open now (files, devices, registry keys) and LocalAlloc blocks not yet freed.
size_t OpenHandleCount();
int LiveAllocations();

// Resets of the handheld so far (IOCTL_HAL_REBOOT, clock-module reset).
int ResetCount();
// What runs after a reset has restarted the handheld. The default ends the program as the real reset
// does (buffers flushed, exit code 0); tests install a hook that returns, so that the caller goes on.
void SetResetHook(std::function<void()> hook);

// ---- Clock --------------------------------------------------------------------------------------------

// Virtual ms per real ms for Sleep (default: $DRAVIK_CLOCK_SCALE, else 1).
void SetClockScale(uint32_t scale);
// Milliseconds asked of Sleep so far.
uint64_t SleptMilliseconds();

// ---- Text ---------------------------------------------------------------------------------------------

std::string ToUtf8(const std::u16string& text);
std::string ToUtf8(const WCHAR* text);
std::u16string ToUtf16(const std::string& utf8);

}  // namespace cesim

#endif  // DRAVIK_PLATFORM_CE_CESIM_H
