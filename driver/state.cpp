// The library's module-level state: the flash state shared by the exports and the background threads, the
// nine configuration values and the WinUSB interface of the link.
#include "state.h"

FlashStateData FlashState;

int32_t g_Driver = 0;
int32_t g_RTimeout = 0;
int32_t g_WTimeout = 0;
int32_t g_DebugON = 0;
int32_t g_PurgeTx = 0;
int32_t g_PurgeRx = 0;
int32_t g_WaitRx = 0;
int32_t g_splitReadAck = 0;
int32_t g_splitReadAckSize = 0;

WinUsbLinkData WinUsbLink;

void AwaitEarlierThread(HANDLE* thread) {
  if (*thread == nullptr) return;
  WaitForSingleObject(*thread, INFINITE);
  CloseHandle(*thread);
  *thread = nullptr;
}
