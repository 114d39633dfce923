// Helpers shared by the file, comm-port and thread sources of the Linux layer (not part of the seam).
#ifndef DRAVIK_PLATFORM_POSIX_POSIX_IO_H
#define DRAVIK_PLATFORM_POSIX_POSIX_IO_H

#include <cstdint>
#include <memory>
#include <mutex>

#include "handles.h"

namespace w32sim {

// Guards the comm settings of every FdObject (timeouts, event_mask, dcb): the application's thread sets
// them while a worker thread reads and writes through the same handle.
std::mutex& CommSettingsMutex();

// The Win32 error code for an errno value; `device` maps the errors of a tty or socket whose other end
// went away (EIO, EPIPE, ECONNRESET, ENXIO, ENODEV) to ERROR_DEVICE_REMOVED.
DWORD ErrorFromErrno(int err, bool device);

// The comm-port (tty) object behind a handle, or null with ERROR_INVALID_HANDLE (not a handle of this
// layer) or ERROR_INVALID_FUNCTION (a file or the WinUSB socket: no serial line behind it).
std::shared_ptr<FdObject> LookupTty(HANDLE handle);

// A read took `n` bytes out of a comm port's receive queue: they no longer count towards the length
// that EV_RXCHAR compares with (comm.cpp).
void TakeFromRxSeen(FdObject& tty, DWORD n);

// Sleeps `ms` milliseconds on the layer's clock (clock.cpp).
void SleepVirtual(uint64_t ms);

}  // namespace w32sim

#endif  // DRAVIK_PLATFORM_POSIX_POSIX_IO_H
