// Module-level state of the library, shared by the exports, the flash worker and the backup thread.
// There are no locks: the values the worker writes while the application polls are atomic 32-bit words,
// and the application is relied on not to start a second operation on the link while one runs.
#ifndef DRAVIK_STATE_H
#define DRAVIK_STATE_H

#include <atomic>
#include <cstdint>

#include "../platform/win32.h"

// One queued image.
struct FlashJob {
  uint16_t wFeatureId;
  char szFileName[258];  // at most 257 characters and the terminator
  int32_t nHeaderLen;    // leading bytes of the file that are not sent
  FlashJob* pNext;
};

// The record Client_BackUp hands to the backup thread: 516 bytes.
struct Backup {
  int32_t nType;
  char szPath[512];
};
static_assert(sizeof(Backup) == 516, "Backup record is 516 bytes");

// How the last background run (flashing or backup) ended; Client_Progress reports 102 while it is
// kRunIncomplete, until the next Client_StartFlash, Client_BackUp or Client_Shutdown.
enum RunOutcome : int32_t { kRunNone = 0, kRunCompleted = 1, kRunIncomplete = 2 };

struct FlashStateData {
  HANDLE hLink = nullptr;  // null before the first open, INVALID_HANDLE_VALUE after a failed open or a close
  // True when OpenComPort opened the sync driver's device on Vista or later: the link's bytes then move
  // through the WinUSB pipes. False for a port read and written as a file (and while no link is open).
  bool bLinkIsWinUsb = false;
  FlashJob* pJobs = nullptr;
  std::atomic<int32_t> nProgress{0};
  std::atomic<int32_t> nTotalBytes{0};
  std::atomic<int32_t> nBytesSent{0};
  std::atomic<int32_t> nOnePercent{0};
  std::atomic<int32_t> nCurrentFeatureId{0};
  std::atomic<int32_t> nRunOutcome{kRunNone};
  uint8_t* pJobData = nullptr;
  HANDLE hWorker = nullptr;
  HANDLE hBackupThread = nullptr;
  Backup backup{};
};
extern FlashStateData FlashState;

// Lets the thread of an earlier call (the flash worker or the backup thread whose handle *thread holds)
// end, and releases its handle. A run shows 100 a moment before its thread's last writes to the shared
// figures (the worker's pause of a second, the outcome of a backup); a new run resets the figures only
// after those writes, so that they never land on it, and never runs beside it on the link.
void AwaitEarlierThread(HANDLE* thread);

// A handle counts as open when it is neither null nor INVALID_HANDLE_VALUE.
inline bool IsLinkOpen(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

// The nine configuration values, read once at load from "Tavrine_usb_flash.ini".
extern int32_t g_Driver;
extern int32_t g_RTimeout;
extern int32_t g_WTimeout;
extern int32_t g_DebugON;
extern int32_t g_PurgeTx;
extern int32_t g_PurgeRx;
extern int32_t g_WaitRx;
extern int32_t g_splitReadAck;
extern int32_t g_splitReadAckSize;

// The WinUSB interface and bulk pipes the raw transfers use on Vista and later.
struct WinUsbLinkData {
  WINUSB_INTERFACE_HANDLE hInterface = nullptr;
  UCHAR bOutPipe = 0;
  UCHAR bInPipe = 0;
};
extern WinUsbLinkData WinUsbLink;

// Host version classes, tested afresh wherever they matter.
inline DWORD HostMajorVersion() { return GetVersion() & 0xFFu; }
inline DWORD HostMinorVersion() { return (GetVersion() >> 8) & 0xFFu; }
inline bool IsVistaOrLater() { return HostMajorVersion() >= 6; }
inline bool IsXpPlus() { return HostMajorVersion() >= 5 && !(HostMajorVersion() == 5 && HostMinorVersion() == 0); }

#endif  // DRAVIK_STATE_H
