// The job list, the payload sizes and the flash worker.
#ifndef DRAVIK_JOBS_H
#define DRAVIK_JOBS_H

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

int AppendJob(FlashJob** head, uint16_t featureId, const char* fileName, int32_t headerLen);
void FreeJobList(FlashJob* head);
DWORD WINAPI FlashWorker(LPVOID unused);
int ProcessOneJob(FlashJob* job);
int32_t SumJobSizes(FlashJob* head);
int32_t LoadJobData(FlashJob* job);
// Builds the block for the list; *out is null when it could not be allocated. The caller frees it.
void GetEachROMSize(FlashJob* head, Each_ROMSize** out);

#endif  // DRAVIK_JOBS_H
