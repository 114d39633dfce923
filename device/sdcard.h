// SD-card routines: whole images moved between files (any path; "\Storage Card\..." is the SD card) and
// the flash disk, in 64 KB chunks of 128 sectors.
//
// Every routine gives 0 for success and -1 for failure; the compares give the difference they found
// instead (the first differing flash byte minus the file byte, a negative difference lowered by one so
// that a difference can never read as -1). Routines with a progress output store the latest percentage
// there after every piece; the caller supplies it.
#ifndef DRAVIK_DEVICE_SDCARD_H
#define DRAVIK_DEVICE_SDCARD_H

#include "wince.h"

constexpr DWORD kChunkSize = 65536;        // 128 sectors
constexpr DWORD kChunkSectors = 128;
constexpr DWORD kGsmFfsSize = 65536;       // the GSMFFS area at the start of GSM
constexpr DWORD kGsmDumpSize = 0x500000;   // 5242880

// Boot areas from a file read whole.
int FlashEBOOTFromSD(LPCWSTR szPath, int* pnProgress);
int FlashIPLFromSD(LPCWSTR szPath, int* pnProgress);
// Partitions from a file, chunk by chunk. FlashGSMFromSD leaves the GSMFFS area (the first chunk) as it
// is; FlashGsmFFS writes from the start of GSM.
int FlashOSFromSD(LPCWSTR szPath, int* pnProgress);
int FlashGSMFromSD(LPCWSTR szPath, int* pnProgress);
int FlashEROMFromSD(LPCWSTR szPath, int* pnProgress);
int FlashGsmFFS(LPCWSTR szPath);
// Flash contents into a file: the GSMFFS area, the first 5 MB of GSM, the whole extended-ROM partition.
int GetGsmFFS(LPCWSTR szPath);
int DumpGSMtoSD(LPCWSTR szPath, int* pnProgress);
int DumpEROMtoSD(LPCWSTR szPath, int* pnProgress);
// The GSMFFS area into the CFG boot area.
int BackupGsmFFS(void);
// A file against a partition. CmpGSMwithSD leaves the first chunk out when the driver reports the
// GSMFFS area.
int CmpGSMFFS(LPCWSTR szPath);
int CmpOSwithSD(LPCWSTR szPath, int* pnProgress);
int CmpGSMwithSD(LPCWSTR szPath, int* pnProgress);
int CmpEROMwithSD(LPCWSTR szPath, int* pnProgress);

#endif  // DRAVIK_DEVICE_SDCARD_H
