// The handheld's physical memory through MmMapIoSpace, the clock module's reset register and the
// restart (mode chosen by the bootloader-mode marker, driver state gone, the program ended).
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "device_fixture.h"
#include "wince.h"

namespace fd = handheld::flashdisk;

namespace {

class CeMemoryTest : public DeviceTest {
 protected:
  static PHYSICAL_ADDRESS At(uint32_t address) {
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = address;
    return pa;
  }
};

TEST_F(CeMemoryTest, MappedWritesLandInTheHandheldAtOnce) {
  auto* p = static_cast<volatile uint8_t*>(MmMapIoSpace(At(0x20000FF0), 32, FALSE));  // across two pages
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 32; ++i) p[i] = static_cast<uint8_t>(i + 1);
  uint8_t back[32];
  ASSERT_TRUE(Handheld().ReadMemory(0x20000FF0, back, 32));
  for (int i = 0; i < 32; ++i) EXPECT_EQ(back[i], i + 1);
  // Another mapping of the same address sees the same bytes.
  auto* q = static_cast<volatile uint8_t*>(MmMapIoSpace(At(0x20001000), 4, FALSE));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(q[0], 17);
  // Memory written by someone else shows through the mapping.
  const uint8_t value = 0x99;
  Handheld().WriteMemory(0x20001001, &value, 1);
  EXPECT_EQ(q[1], 0x99);
}

TEST_F(CeMemoryTest, MappingsFailOnRequestAndForImpossibleRanges) {
  cesim::FailMapping(0x20000840);
  EXPECT_EQ(MmMapIoSpace(At(0x20000840), 32, FALSE), nullptr);
  EXPECT_EQ(MmMapIoSpace(At(0x20000830), 32, FALSE), nullptr);  // covers the address
  EXPECT_NE(MmMapIoSpace(At(0x20000800), 32, FALSE), nullptr);
  EXPECT_EQ(MmMapIoSpace(At(0xFFFFFFF0), 32, FALSE), nullptr);
  EXPECT_EQ(MmMapIoSpace(At(0x20000000), 0, FALSE), nullptr);
}

TEST_F(CeMemoryTest, OnlyTheResetBitInTheResetRegisterRestarts) {
  auto* clkm = static_cast<volatile uint8_t*>(MmMapIoSpace(At(0xFFFECE00), 0x104, FALSE));
  ASSERT_NE(clkm, nullptr);
  WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(clkm + 0x100), 0x0008);
  WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(clkm + 0x10), 0x0004);
  EXPECT_EQ(cesim::ResetCount(), 0);
  EXPECT_EQ(READ_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(clkm + 0x100)), 0x0008);
  WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(clkm + 0x10), 0x0008);
  EXPECT_EQ(cesim::ResetCount(), 1);
  EXPECT_EQ(cesim::RegisterWrites().size(), 3u);
}

TEST_F(CeMemoryTest, TheRestartChoosesTheModeFromTheMarkerAndClearsTheDriver) {
  HANDLE disk = CreateFileW(u"DSK1:", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  uint8_t mount[2] = {0, 0};
  uint32_t status = 0;
  ASSERT_TRUE(DeviceIoControl(disk, fd::kMountVolume, mount, 2, &status, 4, nullptr, nullptr));
  CloseHandle(disk);
  ASSERT_TRUE(Driver().Mounted(0));

  Handheld().SetMode(handheld::Mode::BootLoader);
  BYTE out[16] = {0};
  DWORD returned = 0;
  KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, out, 16, &returned);
  EXPECT_EQ(Handheld().GetMode(), handheld::Mode::OS);
  EXPECT_FALSE(Driver().Mounted(0));

  static const char kMarker[32] = "This Device is Under BL Mode!!!";
  Handheld().WriteMemory(0x20000800, reinterpret_cast<const uint8_t*>(kMarker), 32);
  KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, out, 16, &returned);
  EXPECT_EQ(Handheld().GetMode(), handheld::Mode::BootLoader);
  EXPECT_EQ(cesim::ResetCount(), 2);
  // The marker stays for the boot loader.
  uint8_t memory[32];
  Handheld().ReadMemory(0x20000800, memory, 32);
  EXPECT_EQ(std::memcmp(memory, kMarker, 32), 0);
}

TEST_F(CeMemoryTest, TheRealResetEndsTheRunningProgram) {
  std::fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    cesim::SetResetHook(nullptr);
    auto* clkm = static_cast<volatile uint8_t*>(MmMapIoSpace(At(0xFFFECE00), 0x104, FALSE));
    if (clkm != nullptr) WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(clkm + 0x10), 0x0008);
    _exit(7);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Handheld().GetMode(), handheld::Mode::OS);
}

}  // namespace
