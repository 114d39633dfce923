// C runtime pieces with their Windows meaning: _fsopen with text-mode files, and the case-insensitive
// string comparisons.
//
// A text-mode stream (mode with "t", or without "b") stores every "\n" written as "\r\n" and reads
// "\r\n" back as "\n", as the Windows C runtime does, so files written here hold the same bytes as
// files written on Windows. Binary mode is the plain stdio stream.
#define _GNU_SOURCE 1
#include <errno.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace {

struct TextFile {
  int fd = -1;
  int pending = -1;  // a byte read after a lone "\r", handed out by the next read
};

bool WriteAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t k = write(fd, data, n);
    if (k < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

ssize_t TextWrite(void* cookie, const char* buf, size_t size) {
  auto* f = static_cast<TextFile*>(cookie);
  std::string out;
  out.reserve(size + size / 16 + 1);
  for (size_t i = 0; i < size; ++i) {
    if (buf[i] == '\n') out.push_back('\r');
    out.push_back(buf[i]);
  }
  // One write per flush: with O_APPEND each flushed piece lands whole at the then end of the file.
  return WriteAll(f->fd, out.data(), out.size()) ? static_cast<ssize_t>(size) : -1;
}

ssize_t ReadByte(TextFile* f, char* c) {
  if (f->pending >= 0) {
    *c = static_cast<char>(f->pending);
    f->pending = -1;
    return 1;
  }
  for (;;) {
    ssize_t k = read(f->fd, c, 1);
    if (k < 0 && errno == EINTR) continue;
    return k;
  }
}

ssize_t TextRead(void* cookie, char* buf, size_t size) {
  auto* f = static_cast<TextFile*>(cookie);
  size_t n = 0;
  while (n < size) {
    char c;
    ssize_t k = ReadByte(f, &c);
    if (k < 0) return n > 0 ? static_cast<ssize_t>(n) : -1;
    if (k == 0) break;
    if (c == '\r') {
      char next;
      ssize_t m = ReadByte(f, &next);
      if (m == 1 && next == '\n') {
        c = '\n';
      } else if (m == 1) {
        f->pending = static_cast<unsigned char>(next);
      }
    }
    buf[n++] = c;
    if (c == '\n') break;  // hand out whole lines promptly; stdio asks again
  }
  return static_cast<ssize_t>(n);
}

int TextSeek(void* cookie, off64_t* offset, int whence) {
  auto* f = static_cast<TextFile*>(cookie);
  off64_t at = lseek64(f->fd, *offset, whence);
  if (at < 0) return -1;
  f->pending = -1;
  *offset = at;
  return 0;
}

int TextClose(void* cookie) {
  auto* f = static_cast<TextFile*>(cookie);
  int rc = close(f->fd);
  delete f;
  return rc;
}

}  // namespace

extern "C" {

FILE* _fsopen(const char* filename, const char* mode, int shflag) {
  if (!filename || !mode || !*mode) {
    errno = EINVAL;
    return nullptr;
  }
  bool plus = std::strchr(mode, '+') != nullptr;
  bool binary = std::strchr(mode, 'b') != nullptr;
  int flags = O_CLOEXEC;
  switch (mode[0]) {
    case 'r': flags |= plus ? O_RDWR : O_RDONLY; break;
    case 'w': flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC; break;
    case 'a': flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; break;
    default: errno = EINVAL; return nullptr;
  }
  if (binary) {
    std::string m(1, mode[0]);
    m += plus ? "+b" : "b";
    return std::fopen(filename, m.c_str());
  }
  int fd = open(filename, flags, 0666);
  if (fd < 0) return nullptr;
  auto* text = new TextFile;
  text->fd = fd;
  cookie_io_functions_t io{};
  io.read = TextRead;
  io.write = TextWrite;
  io.seek = TextSeek;
  io.close = TextClose;
  std::string m(1, mode[0]);
  if (plus) m += "+";
  FILE* f = fopencookie(text, m.c_str(), io);
  if (!f) {
    close(fd);
    delete text;
  }
  return f;
}

int _stricmp(const char* a, const char* b) {
  for (;; ++a, ++b) {
    int ca = std::tolower(static_cast<unsigned char>(*a));
    int cb = std::tolower(static_cast<unsigned char>(*b));
    if (ca != cb || ca == 0) return ca - cb;
  }
}

int _strnicmp(const char* a, const char* b, size_t n) {
  for (; n > 0; --n, ++a, ++b) {
    int ca = std::tolower(static_cast<unsigned char>(*a));
    int cb = std::tolower(static_cast<unsigned char>(*b));
    if (ca != cb || ca == 0) return ca - cb;
  }
  return 0;
}

int _wcsicmp(const wchar_t* a, const wchar_t* b) {
  for (;; ++a, ++b) {
    wint_t ca = std::towlower(static_cast<wint_t>(*a));
    wint_t cb = std::towlower(static_cast<wint_t>(*b));
    if (ca != cb || ca == 0) return static_cast<int>(ca) - static_cast<int>(cb);
  }
}

}  // extern "C"
