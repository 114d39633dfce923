// Physical memory and registers: MmMapIoSpace maps the handheld's memory pages (one file per 4 KiB page,
// mapped shared, so every write lands in the handheld at once and persists); the register accessors
// watch the clock module's reset register.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "ce_state.h"

namespace cesim {
namespace {

constexpr uint32_t kClockModule = 0xFFFECE00u;
constexpr uint32_t kResetRegister = kClockModule + 0x10;
constexpr uint16_t kSoftwareReset = 0x0008;

bool Unmappable(uint64_t physical, uint64_t size) {
  for (uint32_t address : internal::Get().unmappable) {
    if (address >= physical && address < physical + (size == 0 ? 1 : size)) return true;
  }
  return false;
}

// The physical address behind a mapped virtual one; false when it lies in no mapping.
bool PhysicalOf(const volatile void* virt, uint32_t* physical) {
  auto v = reinterpret_cast<uintptr_t>(virt);
  for (const auto& m : internal::Get().mappings) {
    if (v >= m.virt && v < m.virt + m.size) {
      *physical = static_cast<uint32_t>(m.physical + (v - m.virt));
      return true;
    }
  }
  return false;
}

}  // namespace
}  // namespace cesim

extern "C" {

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, ULONG NumberOfBytes, BOOLEAN CacheEnable) {
  using namespace cesim;
  const uint64_t physical = static_cast<uint64_t>(PhysicalAddress.QuadPart);
  if (NumberOfBytes == 0 || physical + NumberOfBytes > 0x100000000ull || Unmappable(physical, NumberOfBytes) ||
      ::sysconf(_SC_PAGESIZE) != static_cast<long>(handheld::kPageSize)) {
    return nullptr;
  }
  internal::EnsureHandheld();
  const auto first_page = static_cast<uint32_t>(physical & ~uint64_t{handheld::kPageSize - 1});
  const uint64_t end = physical + NumberOfBytes;
  const size_t pages = static_cast<size_t>((end - first_page + handheld::kPageSize - 1) / handheld::kPageSize);
  void* base = ::mmap(nullptr, pages * handheld::kPageSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  for (size_t i = 0; i < pages; ++i) {
    const uint32_t page = first_page + static_cast<uint32_t>(i * handheld::kPageSize);
    int fd = ::open(Handheld().MemoryPagePath(page).c_str(), O_RDWR | O_CLOEXEC);
    void* at = static_cast<uint8_t*>(base) + i * handheld::kPageSize;
    void* got = fd < 0 ? MAP_FAILED
                       : ::mmap(at, handheld::kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0);
    if (fd >= 0) ::close(fd);
    if (got == MAP_FAILED) {
      ::munmap(base, pages * handheld::kPageSize);
      return nullptr;
    }
  }
  auto* virt = static_cast<uint8_t*>(base) + (physical - first_page);
  internal::Get().mappings.push_back(
      {reinterpret_cast<uintptr_t>(virt), NumberOfBytes, static_cast<uint32_t>(physical)});
  return virt;
}

void MmUnmapIoSpace(PVOID BaseAddress, ULONG NumberOfBytes) {
  auto& mappings = cesim::internal::Get().mappings;
  for (auto it = mappings.begin(); it != mappings.end(); ++it) {
    if (it->virt != reinterpret_cast<uintptr_t>(BaseAddress)) continue;
    uintptr_t page = it->virt & ~uintptr_t{handheld::kPageSize - 1};
    size_t length = ((it->virt + it->size - page) + handheld::kPageSize - 1) & ~size_t{handheld::kPageSize - 1};
    ::munmap(reinterpret_cast<void*>(page), length);
    mappings.erase(it);
    return;
  }
}

USHORT READ_REGISTER_USHORT(volatile USHORT* Register) { return *Register; }

void WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value) {
  using namespace cesim;
  *Register = Value;
  uint32_t physical = 0;
  if (!PhysicalOf(Register, &physical)) return;
  internal::Get().register_writes.push_back({physical, Value});
  if (physical == kResetRegister && (Value & kSoftwareReset) != 0) internal::ResetHandheld();
}

}  // extern "C"
