// The exports the update application calls: fixed answers about the library and the device, job
// queueing, the start of a flashing run, its progress, and the shutdown. The format and backup exports
// live beside their exchanges; CloseComPort beside the link opening.
//
// Every export writes only the fields of the caller's record named for it, and never keeps the record's
// address. A null record is tolerated: the work is done, nothing is written.
#include <cstring>

#include "commands.h"
#include "dravik.h"
#include "jobs.h"
#include "serial_port.h"
#include "startup.h"
#include "state.h"

namespace {

constexpr const char* kLibraryVersion = "0.00.01";
constexpr const char* kModelId = "qd Orlo tm4821";
constexpr const char* kOSVersion = "0.00.01";
constexpr const char* kComponentVersion = "0.00.02";
constexpr uint32_t kOSLanguage = 1;

enum ComponentRequest : uint16_t { kIsPresent = 1, kVersion = 2, kMatchesExpected = 3 };

// Text for a %s of the log: a null pointer shows as "(null)" on every platform.
const char* Printable(const char* text) { return text != nullptr ? text : "(null)"; }

void PutText(ClientResult* result, const char* text) {
  strncpy(result->szText, text, sizeof(result->szText) - 1);
  result->szText[sizeof(result->szText) - 1] = '\0';
}

void SetStatus(ClientResult* result, uint32_t status) {
  if (result != nullptr) result->dwStatus = status;
}

bool IsPresentComponent(uint16_t component) { return component == 2 || component == 3 || component == 7; }

// The version a component is expected to have, or null when it has none.
const char* ExpectedComponentVersion(uint16_t component) {
  switch (component) {
    case 2:
      return "0.00.01";
    case 3:
    case 7:
      return "0.00.02";
    default:
      return nullptr;
  }
}

}  // namespace

void DRAVIK_API Client_GetLibraryVersion(ClientResult* result) {
  LogPrintf("Client_GetLibraryVersion(): %s", kLibraryVersion);
  if (result == nullptr) return;
  PutText(result, kLibraryVersion);
  result->dwStatus = CLIENT_STATUS_OK;
}

void DRAVIK_API Client_GetModelID(ClientResult* result) {
  LogPrintf("Client_GetModelID(): start");
  if (result == nullptr) return;
  result->dwStatus = CLIENT_STATUS_OK;
  PutText(result, kModelId);
}

void DRAVIK_API Client_GetOSVer(ClientResult* result) {
  LogPrintf("Client_GetOSVer(): start");
  if (result == nullptr) return;
  result->dwStatus = CLIENT_STATUS_OK;
  PutText(result, kOSVersion);
}

void DRAVIK_API Client_GetOSLang(ClientResult* result) {
  LogPrintf("Client_GetOSLang(): start");
  LogPrintf("Client_GetOSLang(): No Asset Data load");
  if (result == nullptr) return;
  result->dwStatus = CLIENT_STATUS_OK;
  result->dwValue = kOSLanguage;
}

void DRAVIK_API Client_GetComponentInfo(uint16_t Request_Type, uint16_t Component_ID, const char* szData,
                                        ClientResult* result) {
  LogPrintf("Client_GetComponentInfo(): Request_Type=%d, Component_ID=%d, szData=%s", Request_Type, Component_ID,
            Printable(szData));
  if (result == nullptr) return;
  switch (Request_Type) {
    case kIsPresent:
      result->dwValue = IsPresentComponent(Component_ID) ? 1 : 0;
      break;
    case kVersion:
      PutText(result, kComponentVersion);
      break;
    case kMatchesExpected: {
      // No text matches nothing; a component without an expected version matches any text.
      const char* expected = ExpectedComponentVersion(Component_ID);
      if (szData == nullptr) {
        result->dwValue = 0;
      } else if (expected == nullptr) {
        result->dwValue = 1;
      } else {
        result->dwValue = strcmp(szData, expected) == 0 ? 1 : 0;
      }
      break;
    }
    default:
      break;
  }
  result->dwStatus = CLIENT_STATUS_OK;
}

void DRAVIK_API Client_Initialize(const char* Model, int32_t Language, ClientResult* result) {
  LogPrintf("Client_Initialize(): Model=%s, Language=%d", Printable(Model), Language);
  if (Model != nullptr && Model[0] != '\0') {
    LogPrintf("Client_Initialize(): Device is a %s", Model);
  } else {
    LogPrintf("Client_Initialize(): Skipping the model verification check");
  }
  if (Language != 0) {
    LogPrintf("Client_Initialize(): Passed the language check");
  } else {
    LogPrintf("Client_Initialize(): Skipping the language check");
  }
  LogPrintf("Client_Initialize(): rebooting device...");
  SetStatus(result, CLIENT_STATUS_OK);
}

void DRAVIK_API Client_ValidateROM(int32_t first, int32_t second, ClientResult* result) {
  LogPrintf("Client_ValidateROM():");
  SetStatus(result, CLIENT_STATUS_OK);
}

void DRAVIK_API Client_VerifyExterns(ClientResult* result) {
  LogPrintf("Client_VerifyExterns():");
  if (result == nullptr) return;
  result->dwStatus = CLIENT_STATUS_OK;
  memset(result->szText, 0, sizeof(result->szText));
}

void DRAVIK_API Client_QueueJob(uint16_t FeatureID, const char* FileName, int32_t HeaderLen, ClientResult* result) {
  LogPrintf("Client_QueueJob(): FeatureID=%d, FileName=%s, HeaderLen=%d", FeatureID, Printable(FileName), HeaderLen);
  if (HeaderLen != 0) {
    LogPrintf("Client_QueueJob(): Assumed flashing a NBF file because the header has length");
  } else {
    LogPrintf("Client_QueueJob(): Assumed flashing a Asset Data File because there is no header");
  }
  AppendJob(&FlashState.pJobs, FeatureID, FileName, HeaderLen);  // queueing reports success whatever happens
  SetStatus(result, CLIENT_STATUS_OK);
}

void DRAVIK_API Client_StartFlash(ClientResult* result) {
  LogPrintf("Client_StartFlash(): start!");
  uint32_t status = CLIENT_STATUS_OK;
  // The earlier worker reports 100 about a second before it ends, a backup thread just before its
  // outcome: both are let finish, so that no two threads share the progress counters.
  AwaitEarlierThread(&FlashState.hWorker);
  AwaitEarlierThread(&FlashState.hBackupThread);
  // After their end: an outcome stored in their last moments is not this run's.
  FlashState.nRunOutcome.store(kRunNone);
  if (FlashState.pJobs == nullptr) {
    status = CLIENT_STATUS_NO_JOB;
  } else if (!IsLinkOpen(FlashState.hLink) && OpenComPort() == 0) {
    status = CLIENT_STATUS_OPEN_FAILED;
  } else {
    FlashState.nProgress.store(0);
    FlashState.hWorker = CreateThread(nullptr, 0, FlashWorker, nullptr, 0, nullptr);
    if (FlashState.hWorker == nullptr) {
      // Without a worker the percent would stay at 0 for ever: the run ends as incomplete (status 102
      // from Client_Progress), its jobs kept for another start.
      LogPrintf("Client_StartFlash(): the flash worker could not be started");
      FlashState.nRunOutcome.store(kRunIncomplete);
    }
  }
  SetStatus(result, status);
  LogPrintf("Client_StartFlash(): %d", static_cast<int>(status));
}

void DRAVIK_API Client_Progress(ClientResult* result) {
  LogPrintf("Client_Progress(): start");
  const int32_t percent = FlashState.nProgress.load();
  const int32_t featureId = FlashState.nCurrentFeatureId.load();
  const bool incomplete = FlashState.nRunOutcome.load() == kRunIncomplete;
  if (result != nullptr) {
    result->dwValue = static_cast<uint32_t>(percent);
    result->dwFeatureId = static_cast<uint32_t>(featureId);
    result->dwStatus = incomplete ? CLIENT_STATUS_RUN_INCOMPLETE : CLIENT_STATUS_OK;
  }
  LogPrintf("Client_Progress(): returning %d %d", percent, featureId);
}

void DRAVIK_API Client_Shutdown(void) {
  LogPrintf("Client_Shutdown(): start");
  // A run shows 100 about a second before its worker ends; the worker is let finish so that it cannot
  // set 100 again after the counters below are reset. (A worker still below 100 is not waited for.)
  if (FlashState.hWorker != nullptr && FlashState.nProgress.load() == 100) {
    WaitForSingleObject(FlashState.hWorker, INFINITE);
  }
  SendRebootCmd(FlashState.hLink, 1);
  LogPrintf("Client_Shutdown(): SendRebootCmd");
  CloseComPort();
  FlashState.nProgress.store(0);
  FlashState.nTotalBytes.store(0);
  FlashState.nBytesSent.store(0);
  FlashState.nOnePercent.store(0);
  FlashState.nRunOutcome.store(kRunNone);
}
