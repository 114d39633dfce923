// WinUSB over the virtual handheld's Unix socket. CreateFileA opens a device interface whose profile
// entry reads "socket:PATH" as a connection to that socket; WinUsb_Initialize turns that handle, opened
// with FILE_FLAG_OVERLAPPED, into an interface with the profile entry's endpoints, and the bulk pipes
// carry the bytes over the connection: a write sends them all, a read returns what one read of the socket
// brings (up to the length). Both block without a time-out of their own, like WinUSB pipes without a
// pipe policy: the socket is blocking, so each is one send or recv in the common case (the poll below is
// for a socket made non-blocking).
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "handles.h"
#include "host_sim.h"

namespace w32sim {
namespace {

struct WinUsbObject : Object {
  CountedObject counted{"winusb"};
  std::shared_ptr<FdObject> file;  // the handle it was made from; closing that ends the transfers
  std::vector<Endpoint> endpoints;
  int fail_pipe_query_at = -1;
};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::shared_ptr<WinUsbObject> LookupInterface(WINUSB_INTERFACE_HANDLE h) {
  auto obj = Lookup<WinUsbObject>(h);
  if (!obj) SetLastError(ERROR_INVALID_HANDLE);
  return obj;
}

// The path the peer of a connected Unix socket is bound to; empty when it cannot be had.
std::string PeerPath(int fd) {
  sockaddr_un addr{};
  socklen_t len = sizeof addr;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || addr.sun_family != AF_UNIX) return "";
  if (len <= offsetof(sockaddr_un, sun_path)) return "";
  size_t n = len - offsetof(sockaddr_un, sun_path);
  return std::string(addr.sun_path, strnlen(addr.sun_path, n));
}

bool IsBulkPipe(const WinUsbObject& itf, UCHAR pipe_id, bool in) {
  for (const Endpoint& e : itf.endpoints) {
    if (e.address == pipe_id && e.type == DravikPipeTypeBulk && ((e.address & 0x80) != 0) == in) return true;
  }
  return false;
}

// Waits until the socket is ready for `events`; false when the connection has gone.
bool WaitReady(int fd, short events) {
  for (;;) {
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, -1);
    if (r > 0) return true;  // readable, writable, or hung up: the next call says which
    if (r < 0 && errno != EINTR) return false;
  }
}

DWORD TransferError(int err) {
  if (err == EBADF) return ERROR_INVALID_HANDLE;
  return ERROR_DEVICE_REMOVED;  // EPIPE, ECONNRESET, ENOTCONN: the device is gone
}

}  // namespace
}  // namespace w32sim

using namespace w32sim;

extern "C" {

BOOL WINAPI WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle) {
  if (InterfaceHandle == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *InterfaceHandle = nullptr;
  auto file = Lookup<FdObject>(DeviceHandle);
  if (!file || file->fd < 0) return Fail(ERROR_INVALID_HANDLE);
  if (file->kind != FdObject::Kind::Socket) return Fail(ERROR_NOT_SUPPORTED);  // a tty or file: no WinUSB
  // WinUSB does overlapped I/O on the device handle inside: it must be opened with FILE_FLAG_OVERLAPPED.
  if (!file->overlapped) return Fail(ERROR_INVALID_PARAMETER);
  auto itf = std::make_shared<WinUsbObject>();
  itf->file = file;
  {
    std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
    int index = InterfaceForSocket(PeerPath(file->fd));
    const HostProfile& profile = CurrentHostProfile();
    if (index < 0 || static_cast<size_t>(index) >= profile.interfaces.size()) return Fail(ERROR_NOT_SUPPORTED);
    const DeviceInterface& d = profile.interfaces[index];
    if (!d.winusb) return Fail(ERROR_NOT_SUPPORTED);
    itf->endpoints = d.endpoints;
    itf->fail_pipe_query_at = d.fail_pipe_query_at;
  }
  HANDLE h = RegisterObject(itf);
  if (h == nullptr) return FALSE;
  *InterfaceHandle = h;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle) {
  if (!LookupInterface(InterfaceHandle)) return FALSE;
  return CloseObject(InterfaceHandle);
}

BOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber,
                                          DRAVIK_USB_INTERFACE_DESCRIPTOR* UsbAltInterfaceDescriptor) {
  auto itf = LookupInterface(InterfaceHandle);
  if (!itf) return FALSE;
  if (UsbAltInterfaceDescriptor == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (AlternateInterfaceNumber != 0) return Fail(ERROR_NO_MORE_ITEMS);
  DRAVIK_USB_INTERFACE_DESCRIPTOR d{};
  d.bLength = 9;
  d.bDescriptorType = 4;  // interface
  d.bNumEndpoints = static_cast<UCHAR>(itf->endpoints.size());
  d.bInterfaceClass = 0xFF;  // vendor specific
  *UsbAltInterfaceDescriptor = d;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber,
                             UCHAR PipeIndex, DRAVIK_WINUSB_PIPE_INFORMATION* PipeInformation) {
  auto itf = LookupInterface(InterfaceHandle);
  if (!itf) return FALSE;
  if (PipeInformation == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (AlternateInterfaceNumber != 0 || PipeIndex >= itf->endpoints.size()) return Fail(ERROR_NO_MORE_ITEMS);
  if (itf->fail_pipe_query_at == PipeIndex) return Fail(ERROR_GEN_FAILURE);
  const Endpoint& e = itf->endpoints[PipeIndex];
  PipeInformation->PipeType = static_cast<DRAVIK_USBD_PIPE_TYPE>(e.type);
  PipeInformation->PipeId = e.address;
  PipeInformation->MaximumPacketSize = e.type == DravikPipeTypeBulk ? 512 : 64;
  PipeInformation->Interval = e.type == DravikPipeTypeInterrupt ? 1 : 0;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                             ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped) {
  if (LengthTransferred) *LengthTransferred = 0;
  auto itf = LookupInterface(InterfaceHandle);
  if (!itf) return FALSE;
  if (!IsBulkPipe(*itf, PipeID, false) || (Buffer == nullptr && BufferLength != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const int fd = itf->file->fd;
  if (fd < 0) return Fail(ERROR_INVALID_HANDLE);
  ULONG sent = 0;
  while (sent < BufferLength) {
    ssize_t n = send(fd, Buffer + sent, BufferLength - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<ULONG>(n);
      if (LengthTransferred) *LengthTransferred = sent;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitReady(fd, POLLOUT)) return Fail(ERROR_DEVICE_REMOVED);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return Fail(TransferError(errno));
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                            ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped) {
  if (LengthTransferred) *LengthTransferred = 0;
  auto itf = LookupInterface(InterfaceHandle);
  if (!itf) return FALSE;
  if (!IsBulkPipe(*itf, PipeID, true) || (Buffer == nullptr && BufferLength != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const int fd = itf->file->fd;
  if (fd < 0) return Fail(ERROR_INVALID_HANDLE);
  if (BufferLength == 0) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  for (;;) {
    ssize_t n = recv(fd, Buffer, BufferLength, 0);
    if (n > 0) {
      if (LengthTransferred) *LengthTransferred = static_cast<ULONG>(n);
      SetLastError(ERROR_SUCCESS);
      return TRUE;
    }
    if (n == 0) return Fail(ERROR_DEVICE_REMOVED);  // the peer closed the connection
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!WaitReady(fd, POLLIN)) return Fail(ERROR_DEVICE_REMOVED);
      continue;
    }
    if (errno == EINTR) continue;
    return Fail(TransferError(errno));
  }
}

}  // extern "C"
