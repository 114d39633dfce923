// Kernel services: KernelIoControl, run-time binding, Sleep, LocalAlloc, message boxes, debug output.
#include <time.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ce_state.h"

namespace cesim {
namespace {

using internal::Get;

const uintptr_t kCoreDll = 0xC0DE0000u;

// Platform texts of the extended version query, from the handheld's [HAL\VersionEx] values.
void PutVersionText(uint8_t* field, const std::string& text) {
  std::memset(field, 0, 64);
  std::u16string wide = ToUtf16(text);
  if (wide.size() > 31) wide.resize(31);
  for (size_t i = 0; i < wide.size(); ++i) {
    field[2 * i] = static_cast<uint8_t>(wide[i]);
    field[2 * i + 1] = static_cast<uint8_t>(wide[i] >> 8);
  }
}

std::string VersionValue(const char* name, const char* fallback) {
  std::string value = Handheld().RegistryValue("HAL\\VersionEx", name);
  return value.empty() ? fallback : value;
}

bool EqualNoCase(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char c = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    if (c != b[i]) return false;
  }
  return true;
}

// One conversion of NKDbgPrintfW: `flags` holds the flags, width and precision (without '%' and the letter).
void FormatOne(std::string* out, const std::string& flags, char length, char conv, va_list* args) {
  char fmt[64];
  char buf[512];
  switch (conv) {
    case 'd':
    case 'i':
      if (length == 'L') {
        std::snprintf(fmt, sizeof fmt, "%%%slld", flags.c_str());
        std::snprintf(buf, sizeof buf, fmt, va_arg(*args, long long));
      } else {
        std::snprintf(fmt, sizeof fmt, "%%%sld", flags.c_str());
        std::snprintf(buf, sizeof buf, fmt, length == 'l' ? va_arg(*args, long) : static_cast<long>(va_arg(*args, int)));
      }
      break;
    case 'u':
    case 'x':
    case 'X':
      if (length == 'L') {
        std::snprintf(fmt, sizeof fmt, "%%%sll%c", flags.c_str(), conv);
        std::snprintf(buf, sizeof buf, fmt, va_arg(*args, unsigned long long));
      } else {
        std::snprintf(fmt, sizeof fmt, "%%%sl%c", flags.c_str(), conv);
        std::snprintf(buf, sizeof buf, fmt,
                      length == 'l' ? va_arg(*args, unsigned long)
                                    : static_cast<unsigned long>(va_arg(*args, unsigned int)));
      }
      break;
    case 'c': {
      std::u16string one(1, static_cast<char16_t>(va_arg(*args, int)));
      std::snprintf(fmt, sizeof fmt, "%%%ss", flags.c_str());
      std::snprintf(buf, sizeof buf, fmt, ToUtf8(one).c_str());
      break;
    }
    case 's':
    case 'S': {
      std::string text;
      if (conv == 's' && length != 'h') {
        const WCHAR* w = va_arg(*args, const WCHAR*);
        text = w == nullptr ? "(null)" : ToUtf8(w);
      } else {
        const char* c = va_arg(*args, const char*);
        text = c == nullptr ? "(null)" : c;
      }
      std::snprintf(fmt, sizeof fmt, "%%%ss", flags.c_str());
      int n = std::snprintf(nullptr, 0, fmt, text.c_str());
      std::string piece(static_cast<size_t>(n > 0 ? n : 0) + 1, '\0');
      std::snprintf(&piece[0], piece.size(), fmt, text.c_str());
      piece.pop_back();
      *out += piece;
      return;
    }
    case 'p':
      std::snprintf(buf, sizeof buf, "%p", va_arg(*args, void*));
      break;
    default:
      std::snprintf(buf, sizeof buf, "%%%s%c", flags.c_str(), conv);
      break;
  }
  *out += buf;
}

std::string FormatWide(const WCHAR* format, va_list* args) {
  std::string out;
  const std::string fmt = ToUtf8(format);
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] != '%') {
      out += fmt[i];
      continue;
    }
    if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    std::string flags;
    size_t j = i + 1;
    while (j < fmt.size() && std::strchr("-+ #0123456789.", fmt[j]) != nullptr) flags += fmt[j++];
    char length = 0;
    while (j < fmt.size() && (fmt[j] == 'l' || fmt[j] == 'h' || fmt[j] == 'w')) {
      length = fmt[j] == 'l' ? (length == 'l' ? 'L' : 'l') : fmt[j] == 'h' ? 'h' : length;
      ++j;
    }
    if (j >= fmt.size()) {
      out += fmt.substr(i);
      break;
    }
    FormatOne(&out, flags, length, fmt[j], args);
    i = j;
  }
  return out;
}

}  // namespace

void SetClockScale(uint32_t scale) { Get().clock_scale = scale == 0 ? 1 : scale; }
uint64_t SleptMilliseconds() { return Get().slept; }

}  // namespace cesim

extern "C" {

BOOL WINAPI KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                            DWORD nOutBufSize, LPDWORD lpBytesReturned) {
  using namespace cesim;
  if (lpBytesReturned != nullptr) *lpBytesReturned = 0;
  switch (dwIoControlCode) {
    case IOCTL_HAL_GET_VERSION_EX: {
      if (Get().version_fails || lpOutBuf == nullptr || nOutBufSize < 204) {
        SetLastError(lpOutBuf == nullptr || nOutBufSize < 204 ? ERROR_INVALID_PARAMETER : ERROR_GEN_FAILURE);
        return FALSE;
      }
      auto* out = static_cast<uint8_t*>(lpOutBuf);
      PutVersionText(out + 12, VersionValue("Platform", "Virtual Handheld OMAP730"));
      PutVersionText(out + 140, VersionValue("Build", "CE 5.0 build 0001"));
      if (lpBytesReturned != nullptr) *lpBytesReturned = nOutBufSize;
      return TRUE;
    }
    case IOCTL_HAL_REBOOT:
      internal::ResetHandheld();
      return TRUE;  // reached only when a test's reset hook lets the program go on
    default:
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
  }
}

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  using namespace cesim;
  std::string name = ToUtf8(lpLibFileName);
  if (Get().library_missing || !(EqualNoCase(name, "coredll.dll") || EqualNoCase(name, "coredll"))) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<HMODULE>(kCoreDll);
}

FARPROC WINAPI GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName) {
  using namespace cesim;
  if (reinterpret_cast<uintptr_t>(hModule) != kCoreDll || Get().kernel_io_missing ||
      ToUtf8(lpProcName) != "KernelIoControl") {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  // Through void (*)(void), the generic function pointer type, as every FARPROC is.
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(&KernelIoControl));
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  return reinterpret_cast<uintptr_t>(hLibModule) == cesim::kCoreDll ? TRUE : FALSE;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  auto& s = cesim::Get();
  if (s.clock_scale == 0) {
    const char* env = std::getenv("DRAVIK_CLOCK_SCALE");
    long scale = env != nullptr ? std::strtol(env, nullptr, 10) : 1;
    s.clock_scale = scale > 0 ? static_cast<uint32_t>(scale) : 1;
  }
  s.slept += dwMilliseconds;
  uint64_t us = static_cast<uint64_t>(dwMilliseconds) * 1000 / s.clock_scale;
  struct timespec ts {};
  ts.tv_sec = static_cast<time_t>(us / 1000000);
  ts.tv_nsec = static_cast<long>(us % 1000000) * 1000;
  while (nanosleep(&ts, &ts) != 0) {
  }
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  auto& s = cesim::Get();
  if (s.alloc_skip > 0) {
    --s.alloc_skip;
  } else if (s.alloc_times != 0) {
    if (s.alloc_times > 0) --s.alloc_times;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* block = (uFlags & LMEM_ZEROINIT) ? std::calloc(uBytes == 0 ? 1 : uBytes, 1) : std::malloc(uBytes == 0 ? 1 : uBytes);
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  } else {
    ++s.live_allocs;
  }
  return block;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  if (hMem != nullptr) --cesim::Get().live_allocs;
  std::free(hMem);
  return nullptr;
}

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  using namespace cesim;
  MessageBoxRecord box;
  box.text = ToUtf8(lpText);
  box.caption = ToUtf8(lpCaption);
  box.type = uType;
  Get().boxes.push_back(box);
  if (Get().echo) std::fprintf(stderr, "[MessageBox] %s: %s\n", box.caption.c_str(), box.text.c_str());
  return IDOK;
}

void NKDbgPrintfW(LPCWSTR lpszFmt, ...) {
  if (lpszFmt == nullptr) return;
  va_list args;
  va_start(args, lpszFmt);
  std::string text = cesim::FormatWide(lpszFmt, &args);
  va_end(args);
  cesim::internal::Emit(text);
}

}  // extern "C"
