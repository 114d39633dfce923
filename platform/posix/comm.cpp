// Comm-port services on a tty through termios. SetCommState puts the line in raw binary mode (no
// CR/LF translation, no echo, no signals, no flow control unless the DCB asks for it) at the DCB's baud
// and framing. The comm time-outs are kept in the handle's object and honoured by ReadFile/WriteFile.
// Handles that are not ttys (files, the WinUSB device) fail these calls with ERROR_INVALID_FUNCTION
// (ClearCommError with ERROR_INVALID_HANDLE).
//
// EV_RXCHAR is an edge, as on Windows: a wait ends on bytes that arrive after SetCommMask or after the
// previous event was reported, not on bytes already queued. Linux shows only the queue's length, so an
// arrival is the queue growing beyond the length last seen (at SetCommMask, at the last event), less what
// reads and purges have taken since. Bytes that arrived and were read away before a wait began are not
// seen: such a wait waits for the next byte, where Windows would end at once.
#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <mutex>

#include "handles.h"
#include "posix_io.h"

namespace w32sim {
namespace {

struct BaudMap {
  DWORD baud;
  speed_t speed;
};
const BaudMap kBauds[] = {
    {110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool SpeedFor(DWORD baud, speed_t* speed) {
  for (const BaudMap& m : kBauds) {
    if (m.baud == baud) {
      *speed = m.speed;
      return true;
    }
  }
  return false;
}

DWORD BaudFor(speed_t speed) {
  for (const BaudMap& m : kBauds)
    if (m.speed == speed) return m.baud;
  return 0;
}

BOOL FailErrno(int err) {
  SetLastError(ErrorFromErrno(err, true));
  return FALSE;
}

// Bytes received and not yet read, or -1 (errno set).
int QueuedBytes(int fd) {
  int queued = 0;
  return ioctl(fd, FIONREAD, &queued) == 0 ? queued : -1;
}

}  // namespace

void TakeFromRxSeen(FdObject& tty, DWORD n) {
  int seen = tty.rx_seen.load();
  while (seen > 0) {
    const int left = n >= static_cast<DWORD>(seen) ? 0 : seen - static_cast<int>(n);
    if (tty.rx_seen.compare_exchange_weak(seen, left)) break;
  }
}
}  // namespace w32sim

extern "C" {

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  auto tty = w32sim::LookupTty(hFile);
  if (!tty) return FALSE;
  if (!lpDCB) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  termios t;
  if (tcgetattr(tty->fd, &t) != 0) return w32sim::FailErrno(errno);
  DCB dcb;
  {
    std::lock_guard<std::mutex> lock(w32sim::CommSettingsMutex());
    dcb = tty->dcb;  // keeps the fields termios has no place for (XonLim, EvtChar, ...)
  }
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = w32sim::BaudFor(cfgetospeed(&t));
  dcb.fBinary = 1;
  switch (t.c_cflag & CSIZE) {
    case CS5: dcb.ByteSize = 5; break;
    case CS6: dcb.ByteSize = 6; break;
    case CS7: dcb.ByteSize = 7; break;
    default: dcb.ByteSize = 8; break;
  }
  dcb.fParity = (t.c_iflag & INPCK) ? 1 : 0;
  dcb.Parity = !(t.c_cflag & PARENB) ? NOPARITY : (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  dcb.StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
  dcb.fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
  dcb.fOutX = (t.c_iflag & IXON) ? 1 : 0;
  dcb.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
  dcb.fNull = 0;
  dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
  dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  *lpDCB = dcb;
  return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  auto tty = w32sim::LookupTty(hFile);
  if (!tty) return FALSE;
  if (!lpDCB) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  speed_t speed;
  if (!w32sim::SpeedFor(lpDCB->BaudRate, &speed) || lpDCB->ByteSize < 5 || lpDCB->ByteSize > 8 ||
      lpDCB->Parity > EVENPARITY || (lpDCB->StopBits != ONESTOPBIT && lpDCB->StopBits != TWOSTOPBITS)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  termios t;
  if (tcgetattr(tty->fd, &t) != 0) return w32sim::FailErrno(errno);
  cfmakeraw(&t);  // no line editing, echo, signals, CR/LF translation or stripping
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[lpDCB->ByteSize - 5] | CREAD | CLOCAL;
  if (lpDCB->Parity != NOPARITY) t.c_cflag |= PARENB | (lpDCB->Parity == ODDPARITY ? PARODD : 0);
  if (lpDCB->StopBits == TWOSTOPBITS) t.c_cflag |= CSTOPB;
  if (lpDCB->fOutxCtsFlow) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  if (lpDCB->fParity && lpDCB->Parity != NOPARITY) t.c_iflag |= INPCK;
  if (lpDCB->fOutX) t.c_iflag |= IXON;
  if (lpDCB->fInX) t.c_iflag |= IXOFF;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  if (tcsetattr(tty->fd, TCSANOW, &t) != 0) return w32sim::FailErrno(errno);
  tty->raw.store(true);
  std::lock_guard<std::mutex> lock(w32sim::CommSettingsMutex());
  tty->dcb = *lpDCB;
  tty->dcb.DCBlength = sizeof(DCB);
  return TRUE;
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  auto tty = w32sim::LookupTty(hFile);
  if (!tty) return FALSE;
  if (!lpCommTimeouts) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(w32sim::CommSettingsMutex());
  *lpCommTimeouts = tty->timeouts;
  return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  auto tty = w32sim::LookupTty(hFile);
  if (!tty) return FALSE;
  if (!lpCommTimeouts) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(w32sim::CommSettingsMutex());
  tty->timeouts = *lpCommTimeouts;
  return TRUE;
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  auto tty = w32sim::LookupTty(hFile);
  if (!tty) return FALSE;
  if (dwFlags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Transfers are synchronous, so there is no pending request to abort. Nor is anything waiting to be
  // sent: a write that has returned counts as sent, as a synchronous write on Windows completes once the
  // driver has sent it, so the transmit clear drops nothing (the kernel's output queue of a tty, and the
  // other end's input on a pty, hold bytes of writes already reported complete). The receive clear drops
  // what has arrived and not been read.
  const bool rx = dwFlags & PURGE_RXCLEAR;
  if (rx && tcflush(tty->fd, TCIFLUSH) != 0) return w32sim::FailErrno(errno);
  if (rx) tty->rx_seen.store(0);  // what arrives after the purge is an arrival
  return TRUE;
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  auto tty = w32sim::LookupTty(hFile);
  if (!tty) return FALSE;
  // Events that happened before are forgotten: what is queued now does not count as arriving.
  const int queued = w32sim::QueuedBytes(tty->fd);
  tty->rx_seen.store(queued > 0 ? queued : 0);
  std::lock_guard<std::mutex> lock(w32sim::CommSettingsMutex());
  tty->event_mask = dwEvtMask;
  return TRUE;
}

// Of the events only EV_RXCHAR can happen here: the wait ends when a byte arrives (see the top of the
// file), and leaves it to be read. It fails with ERROR_DEVICE_REMOVED when the other end of the tty has
// gone, and at once with ERROR_INVALID_PARAMETER when no event is armed (it could never end).
BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  auto tty = w32sim::LookupTty(hFile);
  if (!tty) return FALSE;
  DWORD mask;
  {
    std::lock_guard<std::mutex> lock(w32sim::CommSettingsMutex());
    mask = tty->event_mask;
  }
  if (lpEvtMask) *lpEvtMask = 0;
  if (!(mask & EV_RXCHAR)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int seen = tty->rx_seen.load();
  for (;;) {
    const int queued = w32sim::QueuedBytes(tty->fd);
    if (queued > seen) {
      tty->rx_seen.store(queued);
      if (lpEvtMask) *lpEvtMask = EV_RXCHAR;
      return TRUE;
    }
    // Shorter than last seen: bytes went without a read of this handle (a purge). Nothing reads during
    // the wait, so from here on any growth is an arrival.
    if (queued >= 0) seen = queued;
    // With bytes queued, poll() would report them at once: then it only watches for a hang-up, and the
    // queue is looked at again every millisecond.
    pollfd p{tty->fd, static_cast<short>(queued > 0 ? 0 : POLLIN), 0};
    const int r = poll(&p, 1, queued > 0 ? 1 : -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      return w32sim::FailErrno(errno);
    }
    if (p.revents & POLLNVAL) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (w32sim::QueuedBytes(tty->fd) > seen) continue;  // an arrival: reported above
    if (p.revents & (POLLHUP | POLLERR)) {
      SetLastError(ERROR_DEVICE_REMOVED);
      return FALSE;
    }
    // Readable but nothing more queued (a zero-length wake-up): wait again, without spinning.
    if (p.revents & POLLIN) poll(nullptr, 0, 1);
  }
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  auto tty = w32sim::LookupTty(hFile);
  if (!tty) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const int queued = w32sim::QueuedBytes(tty->fd);
  if (queued < 0) return w32sim::FailErrno(errno);
  int unsent = 0;
  // A system call less for every look at a pseudo-terminal's queues, where a frame exchange makes one
  // per packet.
  if (!tty->pty_slave && ioctl(tty->fd, TIOCOUTQ, &unsent) != 0) unsent = 0;
  if (lpErrors) *lpErrors = 0;
  if (lpStat) {
    *lpStat = COMSTAT{};
    lpStat->cbInQue = static_cast<DWORD>(queued);
    lpStat->cbOutQue = static_cast<DWORD>(unsent > 0 ? unsent : 0);
  }
  return TRUE;
}

}  // extern "C"
