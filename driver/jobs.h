// The job list, the payload sizes and the flash worker.
#ifndef DRAVIK_JOBS_H
#define DRAVIK_JOBS_H

#include <cstddef>
#include <cstdint>

#include "state.h"

// The 32-byte block of queued partition payload sizes carried by the format command.
struct Each_ROMSize {
  uint32_t dwGSMSize;
  uint32_t dwEBOOTSize;
  uint32_t dwIPLSize;
  uint32_t dwOSSize;
  uint32_t dwEXTROMSize;
  uint8_t byaReserved[12];
};
static_assert(sizeof(Each_ROMSize) == 32, "Each_ROMSize is 32 bytes");

// What ProcessOneJob reports: the job ran to its end (or was skipped), or the link failed and the run
// has to stop.
constexpr int kJobDone = 0;
constexpr int kJobRunFailed = -1;

// Longest file name a job can hold.
constexpr size_t kMaxJobFileName = 257;
// Feature id 3 payloads up to this size go to the GSM slot, larger ones to the OS slot.
constexpr uint32_t kGsmSlotLimit = 0x600000;

// 0 when the job was added at the tail; -1 when it was refused (no name, a name longer than 257
// characters) or no node could be allocated. The list is then unchanged.
int AppendJob(FlashJob** head, uint16_t featureId, const char* fileName, int32_t headerLen);
void FreeJobList(FlashJob* head);
DWORD WINAPI FlashWorker(LPVOID unused);
int ProcessOneJob(FlashJob* job);
int32_t SumJobSizes(FlashJob* head);
// The payload size after loading the payload into FlashState.pJobData; 401 when the file cannot be
// opened. When the payload cannot be loaded, FlashState.pJobData stays null.
int32_t LoadJobData(FlashJob* job);
// Does the feature id have a flash command?
bool HasFlashCommand(uint16_t featureId);
// Builds the block for the list; *out is null when it could not be allocated. The caller frees it with
// free().
void GetEachROMSize(FlashJob* head, Each_ROMSize** out);

#endif  // DRAVIK_JOBS_H
