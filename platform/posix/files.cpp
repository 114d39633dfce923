// Files, comm ports (ttys) and the WinUSB device (a Unix stream socket to the virtual handheld) behind
// CreateFileA, ReadFile, WriteFile and CloseHandle, with Windows' last-error codes.
//
// A transfer first reads or writes what it can at once, and waits in poll() only for what is not there
// yet, so that the comm time-outs (multiplier x bytes + constant, all zero: no time-out) bound it in real
// time. Ttys are kept non-blocking; a socket is blocking and is read blocking when no time-out applies
// (MSG_DONTWAIT everywhere else). A tty whose other end
// has gone (a pty whose master closed: EIO or POLLHUP) and a socket whose peer closed (0 bytes) make the
// transfer fail with ERROR_DEVICE_REMOVED; a time-out is a success with the count moved so far.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <string>

#include "handles.h"
#include "host_profile.h"
#include "posix_io.h"

namespace w32sim {
namespace {

thread_local DWORD t_last_error = 0;

// Sockets opened with no sharing, so that a second open of the same WinUSB device fails as on Windows.
// (Ttys use flock on the device node instead, which also keeps other processes out.)
struct SocketRegistry {
  std::mutex mutex;
  std::map<std::string, int> exclusive;  // socket path -> fd holding it
};
SocketRegistry& Sockets() {
  static SocketRegistry* r = new SocketRegistry;
  return *r;
}

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

DWORD ErrorForMissing(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return ERROR_FILE_NOT_FOUND;
  struct stat st;
  std::string dir = path.substr(0, slash);
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
  return ERROR_FILE_NOT_FOUND;
}

// Linux numbers the slaves of its pseudo-terminals (/dev/pts/N) with character majors 136 to 143.
bool IsPtySlave(const struct stat& st) {
  const unsigned major_number = major(st.st_rdev);
  return S_ISCHR(st.st_mode) && major_number >= 136 && major_number <= 143;
}

int OpenFlags(DWORD access, DWORD disposition, DWORD* error) {
  int flags = O_CLOEXEC | O_NOCTTY;
  bool read = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
  bool write = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
  flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING:
      if (!write) {
        *error = ERROR_INVALID_PARAMETER;
        return -1;
      }
      flags |= O_TRUNC;
      break;
    default: *error = ERROR_INVALID_PARAMETER; return -1;
  }
  return flags;
}

HANDLE OpenSocket(const std::string& path, DWORD share) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) return Fail(ERROR_PATH_NOT_FOUND);
  std::memcpy(addr.sun_path, path.data(), path.size());
  SocketRegistry& reg = Sockets();
  std::lock_guard<std::mutex> lock(reg.mutex);
  if (reg.exclusive.count(path)) return Fail(ERROR_SHARING_VIOLATION);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail(ErrorFromErrno(errno, false));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    int err = errno;
    close(fd);
    // Nobody listening: the device is not on the bus.
    return Fail(err == ECONNREFUSED || err == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(err, false));
  }
  // The socket stays blocking: a transfer without a time-out blocks in the read or write itself, and
  // whatever must not block asks with MSG_DONTWAIT.
  auto object = std::make_shared<FdObject>();
  object->fd = fd;
  object->kind = FdObject::Kind::Socket;
  HANDLE h = RegisterObject(object);
  if (share == 0) reg.exclusive[path] = fd;
  SetLastError(ERROR_SUCCESS);
  return h;
}

// Opens a path; a tty becomes a comm port (exclusive unless shared), anything else a file.
HANDLE OpenPath(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
  DWORD error = ERROR_SUCCESS;
  int flags = OpenFlags(access, disposition, &error);
  if (flags < 0) return Fail(error);
  struct stat before;
  bool was_there = stat(path.c_str(), &before) == 0;
  int fd = open(path.c_str(), flags | O_NONBLOCK, 0666);
  if (fd < 0) {
    int err = errno;
    if (err == ENOENT) return Fail(ErrorForMissing(path));
    if (err == ENOTDIR) return Fail(ERROR_PATH_NOT_FOUND);
    return Fail(ErrorFromErrno(err, false));
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return Fail(ERROR_ACCESS_DENIED);
  }
  auto object = std::make_shared<FdObject>();
  object->fd = fd;
  if (isatty(fd)) {
    // A comm port: Windows never shares one, so with no sharing asked a second open is refused.
    if (flock(fd, (share == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
      close(fd);
      return Fail(ERROR_SHARING_VIOLATION);
    }
    object->kind = FdObject::Kind::Tty;
    object->pty_slave = IsPtySlave(st);
  } else {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    object->kind = FdObject::Kind::File;
  }
  HANDLE h = RegisterObject(object);
  bool reports_existing = disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS;
  SetLastError(reports_existing && was_there ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

using Steady = std::chrono::steady_clock;

// Milliseconds left until the deadline for poll(): -1 without a deadline, 0 once it has passed.
int PollTimeout(bool bounded, Steady::time_point deadline) {
  if (!bounded) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

BOOL DeviceGone(DWORD* count, DWORD done) {
  if (count) *count = done;
  SetLastError(ERROR_DEVICE_REMOVED);
  return FALSE;
}

// Puts a tty's descriptor in blocking or non-blocking mode; a call only when the mode changes.
void SetBlocking(FdObject& obj, bool blocking) {
  if (obj.blocking.load() == blocking) return;
  const int flags = fcntl(obj.fd, F_GETFL);
  if (flags < 0) return;
  if (fcntl(obj.fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0) obj.blocking.store(blocking);
}

// One read that never blocks: a socket is asked with MSG_DONTWAIT, a tty is non-blocking itself.
ssize_t ReadNow(const FdObject& obj, uint8_t* to, size_t n) {
  return obj.kind == FdObject::Kind::Socket ? recv(obj.fd, to, n, MSG_DONTWAIT) : read(obj.fd, to, n);
}

BOOL ReadDevice(FdObject& obj, uint8_t* buffer, DWORD n, LPDWORD count) {
  COMMTIMEOUTS to;
  {
    std::lock_guard<std::mutex> lock(CommSettingsMutex());
    to = obj.timeouts;
  }
  bool bounded = true;
  bool return_on_any = false;
  uint64_t total_ms;
  if (to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == 0 &&
      to.ReadTotalTimeoutConstant == 0) {
    total_ms = 0;  // return at once with what is there
  } else if (to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == MAXDWORD &&
             to.ReadTotalTimeoutConstant != 0 && to.ReadTotalTimeoutConstant != MAXDWORD) {
    total_ms = to.ReadTotalTimeoutConstant;  // return with the first bytes, or after the constant
    return_on_any = true;
  } else {
    total_ms = static_cast<uint64_t>(to.ReadTotalTimeoutMultiplier) * n + to.ReadTotalTimeoutConstant;
    bounded = total_ms != 0;
  }
  const bool socket = obj.kind == FdObject::Kind::Socket;
  // A tty's interval time-out: once a byte has come, a gap that long between bytes ends the read (with
  // success and what came), whatever is left of the total.
  const DWORD interval_ms =
      !socket && to.ReadIntervalTimeout != MAXDWORD && !return_on_any ? to.ReadIntervalTimeout : 0;
  // A raw tty read without a time-out blocks in read() itself, as a plain read loop would: one call per
  // transfer instead of a read, a poll and a read again. It returns once a byte is there; it reads 0
  // only when the line has hung up, and fails with EIO once the other end of a pty has gone.
  const bool block_in_read = !socket && !bounded && !return_on_any && interval_ms == 0 && obj.raw.load();
  if (!socket) SetBlocking(obj, block_in_read);
  if (block_in_read) {
    DWORD got = 0;
    while (got < n) {
      ssize_t k = read(obj.fd, buffer + got, n - got);
      if (k > 0) {
        got += static_cast<DWORD>(k);
        continue;
      }
      if (k == 0) return DeviceGone(count, got);
      if (errno == EINTR) continue;
      if (count) *count = got;
      SetLastError(ErrorFromErrno(errno, true));
      return FALSE;
    }
    if (count) *count = got;
    return TRUE;
  }
  // The deadline is taken only when a wait needs it: a read whose bytes are there makes no clock call.
  bool have_deadline = false;
  Steady::time_point deadline;
  DWORD got = 0;
  short revents = 0;  // of the last wait; 0 when the read came first
  while (got < n) {
    // Read first: in a frame exchange the bytes are often there already, and a read costs what a poll
    // costs. A socket without a time-out is read blocking (one call, as a plain read loop would); the
    // wait in poll() is for what must end by a deadline, and for a tty (kept non-blocking).
    ssize_t k = socket && !bounded ? recv(obj.fd, buffer + got, n - got, 0) : ReadNow(obj, buffer + got, n - got);
    if (k > 0) {
      got += static_cast<DWORD>(k);
      if (return_on_any) break;
      revents = 0;
      continue;
    }
    if (k == 0) {
      // A socket's peer closed; a tty reads 0 only once hung up.
      if (socket || (revents & (POLLHUP | POLLERR))) return DeviceGone(count, got);
    } else {
      int err = errno;
      if (err == EINTR) continue;
      if (err != EAGAIN && err != EWOULDBLOCK) {
        if (count) *count = got;
        SetLastError(ErrorFromErrno(err, true));
        return FALSE;
      }
      if (revents & (POLLHUP | POLLERR)) return DeviceGone(count, got);
    }
    // Nothing there yet: wait for it.
    if (bounded && !have_deadline) {
      deadline = Steady::now() + std::chrono::milliseconds(total_ms);
      have_deadline = true;
    }
    pollfd p{obj.fd, POLLIN, 0};
    int wait_ms = PollTimeout(bounded, deadline);
    if (interval_ms > 0 && got > 0 && (wait_ms < 0 || static_cast<DWORD>(wait_ms) > interval_ms)) {
      wait_ms = static_cast<int>(std::min<DWORD>(interval_ms, INT_MAX));
    }
    int r = poll(&p, 1, wait_ms);
    if (r < 0) {
      if (errno == EINTR) continue;
      if (count) *count = got;
      SetLastError(ErrorFromErrno(errno, true));
      return FALSE;
    }
    if (r == 0) break;  // time-out (total or interval): success with what came
    if (p.revents & POLLNVAL) {
      if (count) *count = got;
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    revents = p.revents;
  }
  if (count) *count = got;
  return TRUE;
}

BOOL WriteDevice(FdObject& obj, const uint8_t* data, DWORD n, LPDWORD count) {
  COMMTIMEOUTS to;
  {
    std::lock_guard<std::mutex> lock(CommSettingsMutex());
    to = obj.timeouts;
  }
  uint64_t total_ms = static_cast<uint64_t>(to.WriteTotalTimeoutMultiplier) * n + to.WriteTotalTimeoutConstant;
  bool bounded = total_ms != 0;
  // A tty left blocking by a read: a write without a time-out may block in write() as well (it waits as
  // long either way); one with a time-out must not.
  if (obj.kind != FdObject::Kind::Socket && bounded) SetBlocking(obj, false);
  bool have_deadline = false;
  Steady::time_point deadline;
  DWORD done = 0;
  while (done < n) {
    // Write first; wait only while the line takes no more (the peer does not read).
    ssize_t k = obj.kind == FdObject::Kind::Socket
                    ? send(obj.fd, data + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                    : write(obj.fd, data + done, n - done);
    if (k > 0) {
      done += static_cast<DWORD>(k);
      continue;
    }
    int err = k == 0 ? EAGAIN : errno;
    if (err == EINTR) continue;
    if (err != EAGAIN && err != EWOULDBLOCK) {
      // EIO (a tty whose other end has gone), EPIPE or ECONNRESET (a socket whose peer closed) read as
      // ERROR_DEVICE_REMOVED, EBADF as ERROR_INVALID_HANDLE.
      if (count) *count = done;
      SetLastError(ErrorFromErrno(err, true));
      return FALSE;
    }
    if (bounded && !have_deadline) {
      deadline = Steady::now() + std::chrono::milliseconds(total_ms);
      have_deadline = true;
    }
    pollfd p{obj.fd, POLLOUT, 0};
    int r = poll(&p, 1, PollTimeout(bounded, deadline));
    if (r < 0) {
      if (errno == EINTR) continue;
      if (count) *count = done;
      SetLastError(ErrorFromErrno(errno, true));
      return FALSE;
    }
    if (r == 0) break;  // time-out: success with what went out
    if (p.revents & POLLNVAL) {
      if (count) *count = done;
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if ((p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLOUT)) return DeviceGone(count, done);
  }
  if (count) *count = done;
  return TRUE;
}

}  // namespace

std::mutex& CommSettingsMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

DWORD ErrorFromErrno(int err, bool device) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC: return ERROR_DISK_FULL;
    case EBUSY:
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTTY: return ERROR_INVALID_FUNCTION;
    case EIO:
    case EPIPE:
    case ECONNRESET:
    case ENXIO:
    case ENODEV:
    case ENOTCONN: return device ? ERROR_DEVICE_REMOVED : ERROR_GEN_FAILURE;
    default: return ERROR_GEN_FAILURE;
  }
}

std::shared_ptr<FdObject> LookupTty(HANDLE handle) {
  auto obj = Lookup<FdObject>(handle);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (obj->kind != FdObject::Kind::Tty) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return nullptr;
  }
  return obj;
}

BOOL FdObject::Close() {
  if (fd < 0) return TRUE;
  if (kind == Kind::Socket) {
    SocketRegistry& reg = Sockets();
    std::lock_guard<std::mutex> lock(reg.mutex);
    for (auto it = reg.exclusive.begin(); it != reg.exclusive.end(); ++it) {
      if (it->second == fd) {
        reg.exclusive.erase(it);
        break;
      }
    }
    close(fd);  // under the registry lock, so the fd number cannot be reused and registered meanwhile
  } else {
    close(fd);
  }
  fd = -1;
  return TRUE;
}

}  // namespace w32sim

using w32sim::FdObject;

extern "C" {

DWORD WINAPI GetLastError(void) { return w32sim::t_last_error; }
void WINAPI SetLastError(DWORD dwErrCode) { w32sim::t_last_error = dwErrCode; }

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (!lpFileName || !*lpFileName) return w32sim::Fail(ERROR_PATH_NOT_FOUND);
  std::string opens;
  HANDLE h;
  if (w32sim::ResolveDeviceName(lpFileName, &opens)) {
    static const char kSocket[] = "socket:";
    if (opens.compare(0, sizeof(kSocket) - 1, kSocket) == 0) {
      h = w32sim::OpenSocket(opens.substr(sizeof(kSocket) - 1), dwShareMode);
    } else if (opens.empty()) {
      return w32sim::Fail(ERROR_FILE_NOT_FOUND);
    } else {
      // A device is opened, never created.
      h = w32sim::OpenPath(opens, dwDesiredAccess, dwShareMode, OPEN_EXISTING);
    }
  } else {
    h = w32sim::OpenPath(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition);
  }
  if (h != INVALID_HANDLE_VALUE && (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0) {
    if (auto obj = w32sim::Lookup<FdObject>(h)) obj->overlapped = true;
  }
  return h;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  auto obj = w32sim::Lookup<FdObject>(hFile);
  if (!obj || obj->fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (obj->overlapped && !lpOverlapped) {
    SetLastError(ERROR_INVALID_PARAMETER);  // no OVERLAPPED record: see FILE_FLAG_OVERLAPPED
    return FALSE;
  }
  if (nNumberOfBytesToRead == 0) return TRUE;
  if (!lpBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* buffer = static_cast<uint8_t*>(lpBuffer);
  if (obj->kind != FdObject::Kind::File) {
    DWORD got = 0;
    const BOOL ok = w32sim::ReadDevice(*obj, buffer, nNumberOfBytesToRead, &got);
    if (obj->kind == FdObject::Kind::Tty) w32sim::TakeFromRxSeen(*obj, got);
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = got;
    return ok;
  }
  DWORD got = 0;
  while (got < nNumberOfBytesToRead) {
    ssize_t k = read(obj->fd, buffer + got, nNumberOfBytesToRead - got);
    if (k > 0) {
      got += static_cast<DWORD>(k);
      continue;
    }
    if (k == 0) break;  // end of file: success with what was read
    if (errno == EINTR) continue;
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = got;
    // A handle opened without read access.
    SetLastError(errno == EBADF ? ERROR_ACCESS_DENIED : w32sim::ErrorFromErrno(errno, false));
    return FALSE;
  }
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = got;
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  auto obj = w32sim::Lookup<FdObject>(hFile);
  if (!obj || obj->fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (obj->overlapped && !lpOverlapped) {
    SetLastError(ERROR_INVALID_PARAMETER);  // no OVERLAPPED record: see FILE_FLAG_OVERLAPPED
    return FALSE;
  }
  if (nNumberOfBytesToWrite == 0) return TRUE;
  if (!lpBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto* data = static_cast<const uint8_t*>(lpBuffer);
  if (obj->kind != FdObject::Kind::File)
    return w32sim::WriteDevice(*obj, data, nNumberOfBytesToWrite, lpNumberOfBytesWritten);
  DWORD done = 0;
  while (done < nNumberOfBytesToWrite) {
    ssize_t k = write(obj->fd, data + done, nNumberOfBytesToWrite - done);
    if (k > 0) {
      done += static_cast<DWORD>(k);
      continue;
    }
    if (k < 0 && errno == EINTR) continue;
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
    int err = k < 0 ? errno : ENOSPC;
    // EBADF here is a handle opened without write access.
    SetLastError(err == EBADF ? ERROR_ACCESS_DENIED : w32sim::ErrorFromErrno(err, false));
    return FALSE;
  }
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) { return w32sim::CloseObject(hObject); }

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  auto obj = w32sim::Lookup<FdObject>(hFile);
  if (!obj || obj->fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  struct stat st;
  if (fstat(obj->fd, &st) != 0) {
    SetLastError(w32sim::ErrorFromErrno(errno, false));
    return INVALID_FILE_SIZE;
  }
  if (!S_ISREG(st.st_mode)) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return INVALID_FILE_SIZE;
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  SetLastError(ERROR_SUCCESS);  // lets a caller tell a size of 0xFFFFFFFF from a failure
  return static_cast<DWORD>(size);
}

}  // extern "C"
