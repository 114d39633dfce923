// The disk format and backup exchanges and their read-back into files.
#ifndef DRAVIK_FORMAT_BACKUP_H
#define DRAVIK_FORMAT_BACKUP_H

#include <cstdint>

#include "state.h"

int SendFormatDisk(HANDLE link, int cmd, const char* path);
int ReadBackup(HANDLE link, const char* path);
int SendBackUp(HANDLE link, int cmd, const char* path);
int ReadBackupEx(HANDLE link, const char* path, uint32_t size);
DWORD WINAPI BackUpThread(LPVOID record);

#endif  // DRAVIK_FORMAT_BACKUP_H
