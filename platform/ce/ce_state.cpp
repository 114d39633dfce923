// The simulation's state and its control API (cesim.h).
#include "ce_state.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cesim {
namespace internal {

State& Get() {
  static State state;
  return state;
}

void EnsureHandheld() {
  State& s = Get();
  if (s.storage) return;
  if (s.directory.empty()) {
    const char* env = std::getenv("HANDHELD_DIR");
    s.directory = env != nullptr && *env != '\0' ? env : "./handheld";
  }
  s.storage = std::make_unique<handheld::Storage>(s.directory);
  s.driver = std::make_unique<handheld::flashdisk::Driver>(s.storage.get());
}

uintptr_t AddHandle(const HandleEntry& entry) {
  State& s = Get();
  uintptr_t value = s.next_handle;
  s.next_handle += 4;
  s.handles.emplace_back(value, entry);
  return value;
}

HandleEntry* FindHandle(void* handle) {
  auto value = reinterpret_cast<uintptr_t>(handle);
  for (auto& [h, entry] : Get().handles) {
    if (h == value) return &entry;
  }
  return nullptr;
}

bool RemoveHandle(void* handle) {
  auto value = reinterpret_cast<uintptr_t>(handle);
  auto& handles = Get().handles;
  auto it = std::find_if(handles.begin(), handles.end(), [value](const auto& p) { return p.first == value; });
  if (it == handles.end()) return false;
  if (it->second.kind == HandleKind::File && it->second.fd >= 0) ::close(it->second.fd);
  handles.erase(it);
  return true;
}

void Emit(const std::string& text) {
  State& s = Get();
  s.debug += text;
  if (s.echo) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }
}

void ResetHandheld() {
  static const char kBootLoaderMarker[32] = "This Device is Under BL Mode!!!";
  EnsureHandheld();
  State& s = Get();
  // The boot loader looks for its marker; without it the handheld starts its OS.
  uint8_t marker[32] = {};
  bool boot_loader = s.storage->ReadMemory(0x20000800u, marker, sizeof marker) &&
                     std::memcmp(marker, kBootLoaderMarker, sizeof marker) == 0;
  s.storage->SetMode(boot_loader ? handheld::Mode::BootLoader : handheld::Mode::OS);
  s.driver->Restart();
  ++s.resets;
  if (s.echo) std::fprintf(stderr, "[handheld] reset: starting %s\n", boot_loader ? "boot loader" : "OS");
  if (s.reset_hook) {
    s.reset_hook();
    return;
  }
  // The reset ends every program on the handheld.
  std::fflush(nullptr);
  _exit(0);
}

}  // namespace internal

using internal::Get;

void SetHandheldDirectory(const std::string& directory) {
  auto& s = Get();
  s.driver.reset();
  s.storage.reset();
  s.directory = directory;
  internal::EnsureHandheld();
}

std::string HandheldDirectory() {
  internal::EnsureHandheld();
  return Get().directory;
}

handheld::Storage& Handheld() {
  internal::EnsureHandheld();
  return *Get().storage;
}

handheld::flashdisk::Driver& FlashDisk() {
  internal::EnsureHandheld();
  return *Get().driver;
}

void ResetSimulation() {
  auto& s = Get();
  while (!s.handles.empty()) internal::RemoveHandle(reinterpret_cast<void*>(s.handles.back().first));
  if (s.driver) {
    s.driver->Restart();
    s.driver->ClearFaults();
    s.driver->ClearRecord();
  }
  s.library_missing = s.kernel_io_missing = s.version_fails = false;
  s.unmappable.clear();
  s.open_faults.clear();
  s.alloc_skip = s.alloc_times = 0;
  s.read_budget = s.write_budget = UINT64_MAX;
  s.read_piece = 0;
  s.bytes_read = 0;
  s.read_fault_at = UINT64_MAX;
  s.size_fails = false;
  s.move_skip = s.move_times = 0;
  s.flush_fails = false;
  s.debug.clear();
  s.echo = true;
  s.boxes.clear();
  s.register_writes.clear();
  s.resets = 0;
  s.reset_hook = nullptr;
  s.slept = 0;
  s.last_error = 0;
}

void SetLibraryMissing(bool missing) { Get().library_missing = missing; }
void SetKernelIoControlMissing(bool missing) { Get().kernel_io_missing = missing; }
void SetVersionQueryFails(bool fails) { Get().version_fails = fails; }
void FailMapping(uint32_t physical) { Get().unmappable.push_back(physical); }

void FailControl(uint32_t code, uint32_t status, int sub, int skip, int times, bool perform) {
  handheld::flashdisk::Fault f;
  f.code = code;
  f.status = status;
  f.sub = sub;
  f.skip = skip;
  f.times = times;
  f.perform = perform;
  FlashDisk().InjectFault(f);
}

void FailDeviceOpen(const std::u16string& name, int skip, int times) {
  Get().open_faults.push_back({name, skip, times});
}

void FailAllocation(int skip, int times) {
  Get().alloc_skip = skip;
  Get().alloc_times = times;
}

void LimitFileReads(uint64_t bytes) { Get().read_budget = bytes; }
void ShortenFileReads(uint32_t bytes_per_read) { Get().read_piece = bytes_per_read; }
void FailFileReadAfter(uint64_t bytes) { Get().read_fault_at = Get().bytes_read + bytes; }
void LimitFileWrites(uint64_t bytes) { Get().write_budget = bytes; }
void SetFileSizeFails(bool fails) { Get().size_fails = fails; }
void FailFileMoves(int skip, int times) {
  Get().move_skip = skip;
  Get().move_times = times;
}
void SetFileFlushFails(bool fails) { Get().flush_fails = fails; }

std::string DebugOutput() { return Get().debug; }
void ClearDebugOutput() { Get().debug.clear(); }
void SetEcho(bool echo) { Get().echo = echo; }
std::vector<MessageBoxRecord> MessageBoxes() { return Get().boxes; }
std::vector<RegisterWrite> RegisterWrites() { return Get().register_writes; }
int ResetCount() { return Get().resets; }
size_t OpenHandleCount() { return Get().handles.size(); }
int LiveAllocations() { return Get().live_allocs; }
void SetResetHook(std::function<void()> hook) { Get().reset_hook = std::move(hook); }

std::string ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string ToUtf8(const WCHAR* text) { return text == nullptr ? std::string() : ToUtf8(std::u16string(text)); }

std::u16string ToUtf16(const std::string& utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    auto b = static_cast<unsigned char>(utf8[i]);
    uint32_t c = b;
    size_t n = 1;
    if (b >= 0xF0) {
      c = b & 0x07;
      n = 4;
    } else if (b >= 0xE0) {
      c = b & 0x0F;
      n = 3;
    } else if (b >= 0xC0) {
      c = b & 0x1F;
      n = 2;
    }
    if (i + n > utf8.size()) n = 1, c = b;
    for (size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += n;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

}  // namespace cesim

extern "C" {

DWORD WINAPI GetLastError(void) { return cesim::internal::Get().last_error; }
void WINAPI SetLastError(DWORD dwErrCode) { cesim::internal::Get().last_error = dwErrCode; }

}  // extern "C"
