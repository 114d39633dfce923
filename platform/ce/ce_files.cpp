// Files and devices: CreateFileW, ReadFile, WriteFile, GetFileSize, FlushFileBuffers, CloseHandle, DeleteFileW, MoveFileW,
// DeviceIoControl.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "ce_state.h"

namespace cesim {
namespace {

using internal::Get;
using internal::HandleEntry;
using internal::HandleKind;

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// 1 or 2 for "DSK1:" / "DSK2:", else 0.
int DeviceOf(const std::u16string& name) {
  if (EqualNoCase(name, u"DSK1:")) return 1;
  if (EqualNoCase(name, u"DSK2:")) return 2;
  return 0;
}

bool DeviceOpenFails(const std::u16string& name) {
  for (auto& f : Get().open_faults) {
    if (!EqualNoCase(f.name, name)) continue;
    if (f.skip > 0) {
      --f.skip;
      continue;
    }
    if (f.times == 0) continue;
    if (f.times > 0) --f.times;
    return true;
  }
  return false;
}

DWORD ErrorFromErrno(int err) {
  switch (err) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace

std::string HostPath(const std::u16string& ce_name) {
  std::u16string name = ce_name;
  for (auto& c : name) {
    if (c == u'/') c = u'\\';
  }
  while (!name.empty() && name[0] == u'\\') name.erase(0, 1);
  static const std::u16string kCard = u"storage card";
  std::string base;
  internal::EnsureHandheld();
  if (name.size() >= kCard.size() && EqualNoCase(name.substr(0, kCard.size()), kCard) &&
      (name.size() == kCard.size() || name[kCard.size()] == u'\\')) {
    base = Get().storage->SdCardDirectory();
    name.erase(0, kCard.size());
  } else {
    base = Get().directory + "/root";
    ::mkdir(base.c_str(), 0755);
  }
  std::string path = base;
  std::string component;
  std::string rest = ToUtf8(name) + "\\";
  for (char c : rest) {
    if (c != '\\') {
      component += c;
      continue;
    }
    if (component == "..") return "";
    if (!component.empty() && component != ".") path += "/" + component;
    component.clear();
  }
  return path;
}

}  // namespace cesim

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  using namespace cesim;
  if (lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::u16string name(lpFileName);
  if (int device = DeviceOf(name); device != 0) {
    internal::EnsureHandheld();
    if (DeviceOpenFails(name)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    HandleEntry entry;
    entry.kind = HandleKind::Disk;
    entry.device = device;
    return reinterpret_cast<HANDLE>(internal::AddHandle(entry));
  }
  const std::string path = HostPath(name);
  if (path.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const bool read = (dwDesiredAccess & (GENERIC_READ | GENERIC_ALL)) != 0;
  const bool write = (dwDesiredAccess & (GENERIC_WRITE | GENERIC_ALL)) != 0;
  int flags = read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  switch (dwCreationDisposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING: flags |= O_TRUNC; break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) {
    SetLastError(ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  HandleEntry entry;
  entry.kind = HandleKind::File;
  entry.fd = fd;
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<HANDLE>(internal::AddHandle(entry));
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
  using namespace cesim;
  const std::string path = lpFileName != nullptr && DeviceOf(lpFileName) == 0 ? HostPath(lpFileName) : "";
  if (path.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (::unlink(path.c_str()) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) {
  using namespace cesim;
  auto host = [](LPCWSTR name) {
    return name != nullptr && DeviceOf(name) == 0 ? HostPath(name) : std::string();
  };
  const std::string from = host(lpExistingFileName), to = host(lpNewFileName);
  auto& s = internal::Get();
  if (s.move_skip > 0) {
    --s.move_skip;
  } else if (s.move_times != 0) {
    if (s.move_times > 0) --s.move_times;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (from.empty() || to.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  struct stat st {};
  if (::stat(to.c_str(), &st) == 0) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (::rename(from.c_str(), to.c_str()) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  using namespace cesim;
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  HandleEntry* entry = internal::FindHandle(hFile);
  if (entry == nullptr || entry->kind != HandleKind::File) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto& s = internal::Get();
  if (s.bytes_read >= s.read_fault_at) {
    s.read_fault_at = UINT64_MAX;
    SetLastError(ERROR_READ_FAULT);
    return FALSE;
  }
  uint64_t want = std::min<uint64_t>(nNumberOfBytesToRead, s.read_budget);
  if (s.read_piece != 0) want = std::min<uint64_t>(want, s.read_piece);
  auto* out = static_cast<uint8_t*>(lpBuffer);
  uint64_t got = 0;
  while (got < want) {
    ssize_t n = ::read(entry->fd, out + got, static_cast<size_t>(want - got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastError(ERROR_READ_FAULT);
      return FALSE;
    }
    if (n == 0) break;
    got += static_cast<uint64_t>(n);
  }
  if (s.read_budget != UINT64_MAX) s.read_budget -= got;
  s.bytes_read += got;
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = static_cast<DWORD>(got);
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  using namespace cesim;
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  HandleEntry* entry = internal::FindHandle(hFile);
  if (entry == nullptr || entry->kind != HandleKind::File) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto& s = internal::Get();
  uint64_t want = std::min<uint64_t>(nNumberOfBytesToWrite, s.write_budget);
  auto* in = static_cast<const uint8_t*>(lpBuffer);
  uint64_t done = 0;
  while (done < want) {
    ssize_t n = ::write(entry->fd, in + done, static_cast<size_t>(want - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return FALSE;
    }
    done += static_cast<uint64_t>(n);
  }
  if (s.write_budget != UINT64_MAX) s.write_budget -= done;
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = static_cast<DWORD>(done);
  return TRUE;
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  using namespace cesim;
  HandleEntry* entry = internal::FindHandle(hFile);
  struct stat st {};
  if (entry == nullptr || entry->kind != HandleKind::File || internal::Get().size_fails ||
      ::fstat(entry->fd, &st) != 0) {
    SetLastError(entry == nullptr ? ERROR_INVALID_HANDLE : ERROR_GEN_FAILURE);
    return INVALID_FILE_SIZE;
  }
  auto size = static_cast<uint64_t>(st.st_size);
  if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  SetLastError(NO_ERROR);
  return static_cast<DWORD>(size);
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  using namespace cesim;
  HandleEntry* entry = internal::FindHandle(hFile);
  if (entry == nullptr || entry->kind != HandleKind::File) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (internal::Get().flush_fails) {
    SetLastError(ERROR_WRITE_FAULT);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (!cesim::internal::RemoveHandle(hObject)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
  using namespace cesim;
  HandleEntry* entry = internal::FindHandle(hDevice);
  if (entry == nullptr || entry->kind != HandleKind::Disk) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  uint32_t returned = 0;
  bool ok = internal::Get().driver->Control(entry->device, dwIoControlCode, lpInBuffer, nInBufferSize,
                                            lpOutBuffer, nOutBufferSize, &returned);
  if (lpBytesReturned != nullptr) *lpBytesReturned = returned;
  SetLastError(ok ? ERROR_SUCCESS : ERROR_GEN_FAILURE);
  return ok ? TRUE : FALSE;
}

}  // extern "C"
