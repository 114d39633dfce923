// State shared by the files of the simulated CE platform: the handheld, the handle table, the injected
// failures and the records. Internal to platform/ce.
#ifndef DRAVIK_PLATFORM_CE_STATE_H
#define DRAVIK_PLATFORM_CE_STATE_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cesim.h"

namespace cesim {
namespace internal {

enum class HandleKind { File, Disk, Key, Module };

struct HandleEntry {
  HandleKind kind = HandleKind::File;
  int fd = -1;           // File
  int device = 0;        // Disk: 1 or 2
  std::string key;       // Key: the registry section
};

struct DeviceOpenFault {
  std::u16string name;
  int skip = 0;
  int times = -1;
};

struct Mapping {
  uintptr_t virt = 0;
  uint32_t size = 0;
  uint32_t physical = 0;
};

struct State {
  std::string directory;
  std::unique_ptr<handheld::Storage> storage;
  std::unique_ptr<handheld::flashdisk::Driver> driver;

  std::vector<std::pair<uintptr_t, HandleEntry>> handles;
  uintptr_t next_handle = 0x100;

  bool library_missing = false;
  bool kernel_io_missing = false;
  bool version_fails = false;
  std::vector<uint32_t> unmappable;
  std::vector<DeviceOpenFault> open_faults;
  int alloc_skip = 0;
  int alloc_times = 0;
  int live_allocs = 0;
  uint64_t read_budget = UINT64_MAX;
  uint32_t read_piece = 0;  // at most this many bytes per ReadFile; 0: no limit
  uint64_t bytes_read = 0;                // by every ReadFile of a file so far
  uint64_t read_fault_at = UINT64_MAX;    // the next ReadFile once this many bytes are read fails
  uint64_t write_budget = UINT64_MAX;
  bool size_fails = false;
  int move_skip = 0;   // MoveFileW: this many go through, then move_times fail (-1: all that follow)
  int move_times = 0;
  bool flush_fails = false;

  std::string debug;
  bool echo = true;
  std::vector<MessageBoxRecord> boxes;
  std::vector<RegisterWrite> register_writes;
  std::vector<Mapping> mappings;
  int resets = 0;
  std::function<void()> reset_hook;
  uint32_t clock_scale = 0;  // 0: not read from the environment yet
  uint64_t slept = 0;
  uint32_t last_error = 0;
};

State& Get();
// The handheld, opened on first use.
void EnsureHandheld();
uintptr_t AddHandle(const HandleEntry& entry);
HandleEntry* FindHandle(void* handle);
bool RemoveHandle(void* handle);
// Restarts the virtual handheld and runs the reset hook.
void ResetHandheld();
// Appends to the debug record and, with echo, to standard error.
void Emit(const std::string& text);

}  // namespace internal
}  // namespace cesim

#endif  // DRAVIK_PLATFORM_CE_STATE_H
