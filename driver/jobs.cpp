// The job list, the payload sizes of the queued images and the flash worker that runs them.
//
// A job's payload is its file without the first header-length bytes. The files are opened by name each
// time a size or a payload is needed. A job whose payload cannot be had (the file cannot be opened, the
// header is longer than the file, no flash command exists for its feature id, no memory for the payload,
// the file shrank) is never streamed: it adds nothing to the run's total and fills no slot of the format's
// size block, and the worker logs why and goes on with the next.
#include "jobs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "flashing.h"
#include "packet_link.h"
#include "startup.h"
#include "winusb_channel.h"

namespace {

constexpr int32_t kCannotOpen = 401;
constexpr uint8_t kScrambleMask = 0x5B;
constexpr DWORD kPauseAfterJobMs = 1000;
constexpr DWORD kFlashCmdRetryMs = 1000;

// The record a node is built from: 264 bytes.
struct Job {
  uint16_t wFeatureId;
  char szFileName[kMaxJobFileName + 1];
  int32_t nHeaderLen;
};
static_assert(sizeof(Job) == 264, "Job record is 264 bytes");

// The payload size of a job from the size of its file. False (and why) when it has none.
bool PayloadSize(const FlashJob* job, int32_t* size, const char** why) {
  FILE* file = fopen(job->szFileName, "rb");
  if (file == nullptr) {
    *why = "the file cannot be opened";
    return false;
  }
  long fileSize = -1;
  if (fseek(file, 0, SEEK_END) == 0) fileSize = ftell(file);
  fclose(file);
  if (fileSize < 0) {
    *why = "the file size cannot be taken";
    return false;
  }
  if (job->nHeaderLen < 0) {
    *why = "the header length is negative";
    return false;
  }
  if (job->nHeaderLen > fileSize) {
    *why = "the header length exceeds the file size";
    return false;
  }
  const int64_t payload = static_cast<int64_t>(fileSize) - job->nHeaderLen;
  if (payload > INT32_MAX) {
    *why = "the payload is larger than 2 GiB";
    return false;
  }
  *size = static_cast<int32_t>(payload);
  return true;
}

// The names whose payload is stored scrambled; only the whole name counts.
bool IsScrambledName(const char* name) {
  static const char* const kNames[] = {"temp0", "temp1", "temp2", "temp3", "temp4"};
  for (const char* candidate : kNames) {
    if (strcmp(name, candidate) == 0) return true;
  }
  return false;
}

void FreeJobData() {
  delete[] FlashState.pJobData;
  FlashState.pJobData = nullptr;
}

// LoadJobData with the reason of a failure. On success FlashState.pJobData holds the payload.
int32_t LoadPayload(FlashJob* job, const char** why) {
  FreeJobData();  // at most one payload in memory
  int32_t size = 0;
  if (!PayloadSize(job, &size, why)) return kCannotOpen;
  // One byte more than the payload, so that an empty payload has a buffer as well. The read below fills
  // the payload's bytes (or the buffer is dropped): only the extra one is cleared.
  uint8_t* data = new (std::nothrow) uint8_t[static_cast<size_t>(size) + 1];
  if (data == nullptr) {
    *why = "no memory for the payload";
    return size;
  }
  data[size] = 0;
  FILE* file = fopen(job->szFileName, "rb");
  if (file == nullptr) {
    delete[] data;
    *why = "the file cannot be opened";
    return kCannotOpen;
  }
  size_t got = 0;
  if (fseek(file, job->nHeaderLen, SEEK_SET) == 0) got = fread(data, 1, static_cast<size_t>(size), file);
  fclose(file);
  if (got != static_cast<size_t>(size)) {
    delete[] data;
    *why = "the file is shorter than its size said";
    return size;
  }
  if (IsScrambledName(job->szFileName)) {
    for (int32_t i = 0; i < size; ++i) data[i] ^= kScrambleMask;
  }
  FlashState.pJobData = data;
  return size;
}

void LogSkippedJob(const FlashJob* job, const char* why) {
  LogPrintf("ProcessOneJob(): job FeatureID=%d FileName=%s skipped: %s", job->wFeatureId, job->szFileName, why);
}

// A run that cannot go on: drop its jobs and the link, so that the next operation opens the device again,
// and leave the outcome for Client_Progress.
void EndIncompleteRun(FlashJob* jobs) {
  LogPrintf("FlashWorker(): the run ends before completion, the remaining jobs are dropped");
  FreeJobList(jobs);
  if (IsVistaOrLater() || FlashState.bLinkIsWinUsb) ReleaseWinUSB();
  if (IsLinkOpen(FlashState.hLink)) CloseHandle(FlashState.hLink);
  FlashState.hLink = INVALID_HANDLE_VALUE;
  FlashState.bLinkIsWinUsb = false;
  FlashState.nRunOutcome.store(kRunIncomplete);
}

}  // namespace

bool HasFlashCommand(uint16_t featureId) {
  return featureId == 1 || featureId == 2 || featureId == 3 || featureId == 7 || featureId == 17;
}

int AppendJob(FlashJob** head, uint16_t featureId, const char* fileName, int32_t headerLen) {
  if (fileName == nullptr) {
    LogPrintf("AppendJob(): no file name, the job is refused");
    return -1;
  }
  const size_t length = strlen(fileName);
  if (length > kMaxJobFileName) {
    LogPrintf("AppendJob(): the file name has %u characters, more than %u, the job is refused",
              static_cast<unsigned>(length), static_cast<unsigned>(kMaxJobFileName));
    return -1;
  }
  Job record;
  memset(&record, 0, sizeof(record));
  record.wFeatureId = featureId;
  memcpy(record.szFileName, fileName, length);
  record.nHeaderLen = headerLen;

  FlashJob* node = new (std::nothrow) FlashJob;
  if (node == nullptr) return -1;
  node->wFeatureId = record.wFeatureId;
  memcpy(node->szFileName, record.szFileName, sizeof(node->szFileName));
  node->nHeaderLen = record.nHeaderLen;
  node->pNext = nullptr;

  if (*head == nullptr) {
    *head = node;
  } else {
    FlashJob* tail = *head;
    while (tail->pNext != nullptr) tail = tail->pNext;
    tail->pNext = node;
  }
  return 0;
}

void FreeJobList(FlashJob* head) {
  while (head != nullptr) {
    FlashJob* next = head->pNext;
    delete head;
    head = next;
  }
}

int32_t SumJobSizes(FlashJob* head) {
  int64_t sum = 0;
  for (FlashJob* job = head; job != nullptr; job = job->pNext) {
    int32_t size = 0;
    const char* why = nullptr;
    if (HasFlashCommand(job->wFeatureId) && PayloadSize(job, &size, &why)) sum += size;
  }
  return sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
}

int32_t LoadJobData(FlashJob* job) {
  const char* why = nullptr;
  return LoadPayload(job, &why);
}

void GetEachROMSize(FlashJob* head, Each_ROMSize** out) {
  auto* block = static_cast<Each_ROMSize*>(calloc(1, sizeof(Each_ROMSize)));
  if (block == nullptr) {
    LogPrintf("SendFormatDisk(): Not enough memory!");
    *out = nullptr;
    return;
  }
  for (FlashJob* job = head; job != nullptr; job = job->pNext) {
    int32_t size = 0;
    const char* why = nullptr;
    // A job the worker will skip fills no slot: an earlier job of the same slot is what gets flashed,
    // and its size is what the device must be told.
    if (!PayloadSize(job, &size, &why)) {
      LogPrintf("GetEachROMSize(): FeatureID=%d FileName=%s fills no size slot: %s", job->wFeatureId,
                job->szFileName, why);
      continue;
    }
    const uint32_t dwSize = static_cast<uint32_t>(size);
    switch (job->wFeatureId) {
      case 1:
        block->dwEBOOTSize = dwSize;
        LogPrintf("GetEachROMSize(): EBOOT size=%d", static_cast<int>(block->dwEBOOTSize));
        break;
      case 2:
        block->dwIPLSize = dwSize;
        LogPrintf("GetEachROMSize(): IPL size=%d", static_cast<int>(block->dwIPLSize));
        break;
      case 3:
        if (dwSize > kGsmSlotLimit) {
          block->dwOSSize = dwSize;
          LogPrintf("GetEachROMSize(): OS size=%d", static_cast<int>(block->dwOSSize));
        } else {
          block->dwGSMSize = dwSize;
          LogPrintf("GetEachROMSize(): GSM size=%d", static_cast<int>(block->dwGSMSize));
        }
        break;
      case 17:
        block->dwEXTROMSize = dwSize;
        LogPrintf("GetEachROMSize(): EXTROM size=%d", static_cast<int>(block->dwEXTROMSize));
        break;
      default:
        LogPrintf("GetEachROMSize() Error! No setting size");
        break;
    }
  }
  *out = block;
}

int ProcessOneJob(FlashJob* job) {
  if (!HasFlashCommand(job->wFeatureId)) {
    LogSkippedJob(job, "no flash command for the feature id");
    return kJobDone;
  }
  const char* why = nullptr;
  const int32_t transferSize = LoadPayload(job, &why);
  if (FlashState.pJobData == nullptr) {
    LogSkippedJob(job, why);
    return kJobDone;
  }

  FlashState.nCurrentFeatureId.store(job->wFeatureId);
  LogPrintf("ProcessOneJob():SendFlashCmd %d %d\r\n", job->wFeatureId, FlashState.nCurrentFeatureId.load());
  if (IsVistaOrLater() && !InitWinUSB(FlashState.hLink)) LogPrintf("InitWinUSB Error!");

  const uint32_t dwAddress = 0;
  while (SendFlashCmd(FlashState.hLink, job->wFeatureId, static_cast<uint32_t>(transferSize), dwAddress) == 0) {
    LogPrintf("ProcessOneJob():SendFlashCmd id=%d id=%d transf=%d add=%x\r\n", job->wFeatureId,
              FlashState.nCurrentFeatureId.load(), transferSize, static_cast<unsigned>(dwAddress));
    if (const char* end = LinkRetryEndReason(kLinkQuietLimitMs)) {
      LogPrintf("ProcessOneJob(): %s, the flash command was not accepted", end);
      FreeJobData();
      return kJobRunFailed;
    }
    Sleep(kFlashCmdRetryMs);
  }
  if (!SendImageData(FlashState.hLink, FlashState.pJobData, static_cast<uint32_t>(transferSize)) ||
      !WaitForFlashComplete(FlashState.hLink)) {
    FreeJobData();
    return kJobRunFailed;
  }
  if (job->pNext == nullptr) FlashState.nProgress.store(100);
  FreeJobData();
  return kJobDone;
}

DWORD WINAPI FlashWorker(LPVOID unused) {
  // The run owns its list from here on: a CloseComPort or a new list queued once the run has reported
  // 100 cannot touch the nodes the worker still walks and frees.
  FlashJob* jobs = FlashState.pJobs;
  if (jobs == nullptr) return 0;
  FlashState.pJobs = nullptr;

  FlashState.nTotalBytes.store(0);
  FlashState.nOnePercent.store(0);
  FlashState.nProgress.store(0);
  FlashState.nBytesSent.store(0);
  const int32_t total = SumJobSizes(jobs);
  FlashState.nTotalBytes.store(total);
  FlashState.nOnePercent.store(total / 100);
  ResetLinkHealth();

  for (FlashJob* job = jobs; job != nullptr; job = job->pNext) {
    if (ProcessOneJob(job) == kJobRunFailed) {
      EndIncompleteRun(jobs);
      return 0;
    }
    Sleep(kPauseAfterJobMs);
  }
  FlashState.nProgress.store(100);
  FreeJobList(jobs);
  FlashState.nRunOutcome.store(kRunCompleted);
  return 0;
}
