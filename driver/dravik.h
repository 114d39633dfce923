// The interface of the Dravik library: the result record and the sixteen exports the update application
// calls (plain C names, cdecl). The application owns every record and string it passes; the library never
// keeps their addresses after a call.
#ifndef DRAVIK_DRAVIK_H
#define DRAVIK_DRAVIK_H

#include <stdint.h>

#ifdef _WIN32
#define DRAVIK_API __declspec(dllexport) __cdecl
#else
#define DRAVIK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Little-endian, 1040 bytes, filled by the exports. An export writes only the fields named for it.
typedef struct ClientResult {
  uint32_t dwReserved;   // never read or written by the library
  uint32_t dwFeatureId;  // Client_Progress: feature id of the job the worker started last
  uint32_t dwStatus;     // CLIENT_STATUS_OK, or 101 / 901 from Client_StartFlash
  uint32_t dwValue;      // yes/no, OS language, progress percent
  char szText[1024];     // NUL-terminated text answers
} ClientResult;

#define CLIENT_STATUS_OK 0xFFF0u             // success
#define CLIENT_STATUS_OPEN_FAILED 101u       // the link was not open and could not be opened
#define CLIENT_STATUS_RUN_INCOMPLETE 102u    // the last background run ended without completing
#define CLIENT_STATUS_NO_JOB 901u            // the job list is empty

void DRAVIK_API Client_GetLibraryVersion(ClientResult* result);
void DRAVIK_API Client_GetModelID(ClientResult* result);
void DRAVIK_API Client_GetOSVer(ClientResult* result);
void DRAVIK_API Client_GetOSLang(ClientResult* result);
void DRAVIK_API Client_GetComponentInfo(uint16_t Request_Type, uint16_t Component_ID, const char* szData,
                                        ClientResult* result);
void DRAVIK_API Client_Initialize(const char* Model, int32_t Language, ClientResult* result);
void DRAVIK_API Client_ValidateROM(int32_t first, int32_t second, ClientResult* result);
void DRAVIK_API Client_VerifyExterns(ClientResult* result);
void DRAVIK_API Client_QueueJob(uint16_t FeatureID, const char* FileName, int32_t HeaderLen, ClientResult* result);
void DRAVIK_API Client_FormatDisk(ClientResult* result);
void DRAVIK_API Client_FormatDiskEx(int32_t Type, const char* Backup, ClientResult* result);
void DRAVIK_API Client_StartFlash(ClientResult* result);
void DRAVIK_API Client_Progress(ClientResult* result);
void DRAVIK_API Client_BackUp(int32_t Type, const char* Backup, ClientResult* result);
void DRAVIK_API Client_Shutdown(void);
void DRAVIK_API CloseComPort(void);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(ClientResult) == 1040, "ClientResult is part of the binary interface");
#endif

#endif  // DRAVIK_DRAVIK_H
