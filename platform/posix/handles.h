// Handles of the Linux layer: every HANDLE it gives out (files, ttys, sockets, threads, device lists,
// registry keys, services, modules, processes, snapshots, WinUSB interfaces) names an Object in one table.
#ifndef DRAVIK_PLATFORM_POSIX_HANDLES_H
#define DRAVIK_PLATFORM_POSIX_HANDLES_H

#include <atomic>
#include <memory>

#include "../win32.h"

namespace w32sim {

struct Object {
  virtual ~Object() = default;
  // Called by CloseHandle (and the other close functions) before the handle is forgotten.
  virtual BOOL Close() { return TRUE; }
};

// A file descriptor behind a handle: a file, a tty (comm port) or a Unix socket (the WinUSB device).
struct FdObject : Object {
  enum class Kind { File, Tty, Socket };
  int fd = -1;
  Kind kind = Kind::File;
  COMMTIMEOUTS timeouts{};  // comm ports: the time-outs ReadFile and WriteFile honour
  DWORD event_mask = 0;     // comm ports: SetCommMask
  // Comm ports: the receive queue's length when last looked at for EV_RXCHAR, less what reads have taken
  // since. The queue growing beyond it is an arrival.
  std::atomic<int> rx_seen{0};
  DCB dcb{};                // comm ports: the last state set
  // Comm ports: SetCommState made the line raw with reads returning once a byte is there (VMIN 1), so a
  // read without a time-out may block in read() itself. `blocking` is the descriptor's current mode
  // (ttys are opened non-blocking; reads and writes with a time-out need that mode back).
  std::atomic<bool> raw{false};
  std::atomic<bool> blocking{false};
  bool overlapped = false;  // opened with FILE_FLAG_OVERLAPPED
  // Comm ports: the tty is the slave of a pseudo-terminal, whose writes go straight to the master's
  // input: its transmit queue is always empty, so ClearCommError need not ask for it.
  bool pty_slave = false;
  BOOL Close() override;
};

HANDLE RegisterObject(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupObject(HANDLE handle);
template <class T>
std::shared_ptr<T> Lookup(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupObject(handle));
}
// Closes the object and forgets the handle; FALSE with ERROR_INVALID_HANDLE for an unknown handle.
BOOL CloseObject(HANDLE handle);

}  // namespace w32sim

#endif  // DRAVIK_PLATFORM_POSIX_HANDLES_H
