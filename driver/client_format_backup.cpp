// The exports that format the handheld's disk and take a backup of one partition.
//
// A format runs on the caller's thread; a backup runs on its own thread and is followed through
// Client_Progress. Neither runs its exchange on a link that could not be opened: the exchange would
// write and read on it without end. They report 0xFFF0 in every case; a backup that did not complete
// shows as status 102 in Client_Progress.
#include <cstring>

#include "dravik.h"
#include "format_backup.h"
#include "serial_port.h"
#include "startup.h"
#include "state.h"

namespace {

constexpr size_t kMaxBackupPath = sizeof(Backup::szPath) - 1;  // 511 characters and the terminator

void FinishResult(ClientResult* result) {
  if (result == nullptr) return;
  result->dwStatus = CLIENT_STATUS_OK;
  std::memset(result->szText, 0, sizeof(result->szText));
}

// Opens the link when it is not open; true when it is open afterwards.
bool EnsureLinkOpen() {
  if (!IsLinkOpen(FlashState.hLink)) OpenComPort();
  return IsLinkOpen(FlashState.hLink);
}

void FormatOnOpenLink(const char* who, int32_t type, const char* path) {
  if (!EnsureLinkOpen()) {
    LogPrintf("%s(): the device link could not be opened, no format sent", who);
    return;
  }
  SendFormatDisk(FlashState.hLink, type, path);
}

}  // namespace

extern "C" {

void DRAVIK_API Client_FormatDisk(ClientResult* result) {
  LogPrintf("Client_FormatDisk():");
  FormatOnOpenLink("Client_FormatDisk", 0, "");
  FinishResult(result);
}

void DRAVIK_API Client_FormatDiskEx(int32_t Type, const char* Backup, ClientResult* result) {
  const char* path = Backup != nullptr ? Backup : "";
  LogPrintf("Client_FormatDiskEx(): Type=%d Backup=%s", Type, path);
  FormatOnOpenLink("Client_FormatDiskEx", Type, path);
  FinishResult(result);
}

void DRAVIK_API Client_BackUp(int32_t Type, const char* Backup, ClientResult* result) {
  const char* path = Backup != nullptr ? Backup : "";
  const size_t length = std::strlen(path);
  // A flashing run or a backup that shows 100 has not quite ended: its thread's last writes to the
  // progress and the outcome must not land on this backup (a backup that fails at once would show as
  // done), and the record below is the earlier backup thread's until it ends.
  AwaitEarlierThread(&FlashState.hWorker);
  AwaitEarlierThread(&FlashState.hBackupThread);
  std::memset(&FlashState.backup, 0, sizeof(FlashState.backup));
  FlashState.backup.nType = Type;
  if (length <= kMaxBackupPath) std::memcpy(FlashState.backup.szPath, path, length);
  LogPrintf("Client_BackUp(): Type=%d Backup=%s", Type, path);
  FlashState.nRunOutcome.store(kRunNone);
  FlashState.nProgress.store(0);

  if (Backup == nullptr) {
    LogPrintf("Client_BackUp(): no backup path given, backup refused");
    FlashState.nRunOutcome.store(kRunIncomplete);
  } else if (length > kMaxBackupPath) {
    LogPrintf("Client_BackUp(): backup path of %u characters is longer than %u, backup refused",
              static_cast<unsigned>(length), static_cast<unsigned>(kMaxBackupPath));
    FlashState.nRunOutcome.store(kRunIncomplete);
  } else if (!EnsureLinkOpen()) {
    LogPrintf("Client_BackUp(): the device link could not be opened, no backup taken");
    FlashState.nRunOutcome.store(kRunIncomplete);
  } else {
    FlashState.hBackupThread = CreateThread(nullptr, 0, BackUpThread, &FlashState.backup, 0, nullptr);
    if (FlashState.hBackupThread == nullptr) {
      LogPrintf("Client_BackUp(): the backup thread could not be started");
      FlashState.nRunOutcome.store(kRunIncomplete);
    }
  }
  FinishResult(result);
}

}  // extern "C"
