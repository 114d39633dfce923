// Mirrow: both markers whole and in order before the reboot control, the failure cases, and the restart
// into the boot loader that ends the program.
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "bootflag.h"
#include "device_fixture.h"
#include "mirrow.h"

namespace {

class MirrowTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    std::vector<uint8_t> dirty(128, 0xAA);
    Handheld().WriteMemory(0x20000800, dirty.data(), dirty.size());
    Handheld().SetMode(handheld::Mode::OS);
  }
  bool MarkerAt(uint32_t address, const char* text) {
    uint8_t memory[32];
    Handheld().ReadMemory(address, memory, sizeof memory);
    return std::memcmp(memory, text, 32) == 0;  // 31 characters and the zero byte
  }
};

TEST_F(MirrowTest, LeavesBothMarkersThenRebootsIntoTheBootLoader) {
  bool markers_at_reset = false;
  cesim::SetResetHook([&] {
    markers_at_reset = MarkerAt(0x20000800, "This Device is Under BL Mode!!!") &&
                       MarkerAt(0x20000840, "This Device is Under CB Mode!!!");
  });
  EXPECT_EQ(OrloRAPIEBootMode(), 0);
  EXPECT_TRUE(markers_at_reset);
  EXPECT_EQ(cesim::ResetCount(), 1);
  EXPECT_EQ(Handheld().GetMode(), handheld::Mode::BootLoader);
  EXPECT_EQ(Log(),
            "OrloUTIL : OrloRAPIEBootMode Set a BL flag\r\nCOLD_BOOT_FLAG set ok\r\n"
            "OrloUTIL : OrloRAPIEBootMode IOCTL_HAL_REBOOT \r\n");
  uint8_t after[2];
  Handheld().ReadMemory(0x20000820, after, 1);
  Handheld().ReadMemory(0x20000860, after + 1, 1);
  EXPECT_EQ(after[0], 0xAA);  // nothing beyond the 32 bytes
  EXPECT_EQ(after[1], 0xAA);
  // The markers outlive the program: a fresh view of the handheld still finds them.
  cesim::SetHandheldDirectory(cesim::HandheldDirectory());
  EXPECT_TRUE(MarkerAt(0x20000800, "This Device is Under BL Mode!!!"));
}

TEST_F(MirrowTest, WithoutTheBootLoaderFlagMemoryNothingIsWritten) {
  cesim::FailMapping(0x20000800);
  EXPECT_EQ(OrloRAPIEBootMode(), -1);
  EXPECT_EQ(Log(), "OrloUTIL : Not Get BLFlag Mem\r\n");
  EXPECT_FALSE(MarkerAt(0x20000800, "This Device is Under BL Mode!!!"));
  EXPECT_FALSE(MarkerAt(0x20000840, "This Device is Under CB Mode!!!"));
  EXPECT_EQ(cesim::ResetCount(), 0);
}

TEST_F(MirrowTest, WithoutTheColdBootAddressNoReboot) {
  cesim::FailMapping(0x20000840);
  EXPECT_EQ(OrloRAPIEBootMode(), -1);
  EXPECT_EQ(Log(), "OrloUTIL : OrloRAPIEBootMode Set a BL flag\r\nCOLD_BOOT_FLAG set err\r\n");
  EXPECT_TRUE(MarkerAt(0x20000800, "This Device is Under BL Mode!!!"));
  EXPECT_EQ(cesim::ResetCount(), 0);
  EXPECT_EQ(Handheld().GetMode(), handheld::Mode::OS);
}

TEST_F(MirrowTest, TheRestartEndsTheProgramWithExitCodeZero) {
  std::fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    cesim::SetResetHook(nullptr);  // the real reset: the program ends there
    OrloRAPIEBootMode();
    _exit(7);  // not reached
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Handheld().GetMode(), handheld::Mode::BootLoader);
}

TEST_F(MirrowTest, AResetWithoutTheBootLoaderMarkerStartsTheOs) {
  // A cold-boot marker alone, or a damaged bootloader-mode marker, does not keep the boot loader.
  ASSERT_TRUE(WriteBootFlagMarker(kColdBootFlagAddress, ColdBootMarker));
  BootFlagMarker damaged = BootLoaderModeMarker;
  damaged.szText[30] = '?';
  ASSERT_TRUE(WriteBootFlagMarker(kBootLoaderModeFlagAddress, damaged));
  Handheld().SetMode(handheld::Mode::BootLoader);
  BYTE out[16] = {0};
  DWORD returned = 0;
  KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, out, 16, &returned);
  EXPECT_EQ(cesim::ResetCount(), 1);
  EXPECT_EQ(Handheld().GetMode(), handheld::Mode::OS);
}

}  // namespace
