// Stopping and restarting the desktop sync software around the link.
#ifndef DRAVIK_SYNC_CONTROL_H
#define DRAVIK_SYNC_CONTROL_H

#include "state.h"

// Request value of ControlServiceAndWait that starts the service instead of sending a control code.
constexpr DWORD kServiceStartRequest = 0xFFFFFFFFu;

int ControlServiceByName(const char* action, const char* service);
int ControlServiceAndWait(SC_HANDLE service, DWORD request, DWORD wantedState);
int SetServiceStartType(SC_HANDLE service, DWORD startType);
int CloseSyncSoftware();
int TerminateNamedProcess(const char* name);

#endif  // DRAVIK_SYNC_CONTROL_H
