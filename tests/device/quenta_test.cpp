// Quenta: the 196-byte "LangID.dat" in every failure case, the extended-ROM version, the cold-boot
// marker and the clock-module reset.
#include <sys/stat.h>

#include <cstring>

#include "bootflag.h"
#include "device_fixture.h"
#include "quenta.h"

using handheld::Area;

namespace {

const char kRomKey[] = "HKLM\\Software\\VARN\\Extended_ROM";

std::vector<uint8_t> Utf16Le(const std::string& ascii, size_t field) {
  std::vector<uint8_t> out(field, 0);
  for (size_t i = 0; i < ascii.size(); ++i) out[2 * i] = static_cast<uint8_t>(ascii[i]);
  return out;
}

class QuentaTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    Handheld().SetRegistryValue(kRomKey, "Version", "ER 2.07.31");
    Handheld().SetRegistryValue("HAL\\VersionEx", "Platform", "Virtual T8");
    Handheld().SetRegistryValue("HAL\\VersionEx", "Build", "Build 20090612");
    auto ipl = testing_support::PatternBytes(40000, 1);
    Handheld().Write(Area::IPL, ipl.data(), ipl.size());
  }
  std::string LangIdPath() { return cesim::HostPath(u"LangID.dat"); }
  std::vector<uint8_t> LangId() { return testing_support::ReadFileBytes(LangIdPath()); }
  static std::vector<uint8_t> Field(const std::vector<uint8_t>& file, size_t at) {
    return std::vector<uint8_t>(file.begin() + at, file.begin() + at + 64);
  }
};

TEST_F(QuentaTest, WritesTheFourFieldsInOrder) {
  testing_support::WriteFileBytes(LangIdPath(), std::vector<uint8_t>(1000, 0x77));  // truncated
  EXPECT_EQ(QuentaMain(), 0);
  auto file = LangId();
  ASSERT_EQ(file.size(), 196u);
  EXPECT_EQ(Field(file, 0), Utf16Le("Virtual T8", 64));
  EXPECT_EQ(Field(file, 64), Utf16Le("Build 20090612", 64));
  EXPECT_EQ(Field(file, 128), Utf16Le("ER 2.07.31", 64));
  EXPECT_EQ(Le32(file, 192), 40000u);
  EXPECT_TRUE(cesim::MessageBoxes().empty());
  EXPECT_EQ(LogCount("File Size 40000\r\n"), 1u);
}

TEST_F(QuentaTest, WithoutKernelIoControlOneBoxAndZeroVersionFields) {
  cesim::SetKernelIoControlMissing(true);
  EXPECT_EQ(QuentaMain(), 0);
  auto boxes = cesim::MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Fail to get the address of KernelIoControl()!");
  EXPECT_EQ(boxes[0].caption, "Error");
  EXPECT_EQ(boxes[0].type, MB_OK);
  auto file = LangId();
  ASSERT_EQ(file.size(), 196u);
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 128), std::vector<uint8_t>(128, 0));
  EXPECT_EQ(Field(file, 128), Utf16Le("ER 2.07.31", 64));
}

TEST_F(QuentaTest, WithoutCoredllTwoBoxes) {
  cesim::SetLibraryMissing(true);
  EXPECT_EQ(QuentaMain(), 0);
  auto boxes = cesim::MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, "Load COREDLL.DLL fail!");
  EXPECT_EQ(boxes[1].text, "Fail to get the address of KernelIoControl()!");
  EXPECT_EQ(LangId().size(), 196u);
}

TEST_F(QuentaTest, AFailedVersionQueryShowsItsBoxAndWritesZeros) {
  cesim::SetVersionQueryFails(true);
  EXPECT_EQ(QuentaMain(), 0);
  auto boxes = cesim::MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Call IOCTL_HAL_GET_VERSION_EX fail!");
  EXPECT_EQ(boxes[0].caption, "Error");
  auto file = LangId();
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 128), std::vector<uint8_t>(128, 0));
}

TEST_F(QuentaTest, FailedRegistryAndIplQueriesLeaveZeroFieldsWithoutBoxes) {
  Handheld().SetRegistryValue(kRomKey, "Version", std::string(32, 'V'));  // 66 bytes: does not fit
  cesim::FailControl(handheld::flashdisk::kBootAreaOp, 3, handheld::flashdisk::kBdkSizeQuery);
  EXPECT_EQ(QuentaMain(), 0);
  auto file = LangId();
  ASSERT_EQ(file.size(), 196u);
  EXPECT_EQ(Field(file, 128), std::vector<uint8_t>(64, 0));
  EXPECT_EQ(Le32(file, 192), 0u);
  EXPECT_TRUE(cesim::MessageBoxes().empty());
  EXPECT_EQ(Field(file, 0), Utf16Le("Virtual T8", 64));
}

TEST_F(QuentaTest, NoFileWhenItCannotBeCreated) {
  ASSERT_EQ(::mkdir(LangIdPath().c_str(), 0755), 0);
  EXPECT_EQ(QuentaMain(), 0);
  struct stat st {};
  ASSERT_EQ(::stat(LangIdPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

// A store that fills up part way: a short record would be read with its fields out of place, so none
// is left; the program still ends with 0.
TEST_F(QuentaTest, NoFileWhenTheRecordCannotBeWrittenWhole) {
  cesim::LimitFileWrites(100);
  EXPECT_EQ(QuentaMain(), 0);
  struct stat st {};
  EXPECT_NE(::stat(LangIdPath().c_str(), &st), 0);
  EXPECT_NE(cesim::DebugOutput().find("LangID.dat could not be written whole; it is removed\r\n"), std::string::npos);
}

TEST_F(QuentaTest, GetExtendedRomVersionReadsUpToSixtyFourBytes) {
  BYTE buffer[64];
  std::memset(buffer, 0xAB, sizeof buffer);
  Handheld().SetRegistryValue(kRomKey, "Version", std::string(31, 'x'));
  ASSERT_EQ(GetExtendedRomVersion(buffer), 1);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 64), Utf16Le(std::string(31, 'x'), 64));

  std::memset(buffer, 0xAB, sizeof buffer);
  Handheld().SetRegistryValue(kRomKey, "Version", std::string(32, 'x'));
  EXPECT_EQ(GetExtendedRomVersion(buffer), 0);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 64), std::vector<uint8_t>(64, 0)) << "nothing of the value";
  Handheld().RemoveRegistryValue(kRomKey, "Version");
  EXPECT_EQ(GetExtendedRomVersion(buffer), 0);
  cesim::SetHandheldDirectory(dir_.path() + "/bare");  // no registry at all
  EXPECT_EQ(GetExtendedRomVersion(buffer), 0);
}

TEST_F(QuentaTest, SetColdBootFlagWritesAllThirtyTwoBytes) {
  std::vector<uint8_t> dirty(64, 0xAA);
  Handheld().WriteMemory(kColdBootFlagAddress, dirty.data(), dirty.size());
  ASSERT_EQ(SetColdBootFlag(), 1);
  uint8_t memory[33];
  Handheld().ReadMemory(kColdBootFlagAddress, memory, sizeof memory);
  EXPECT_EQ(std::memcmp(memory, "This Device is Under CB Mode!!!", 32), 0);
  EXPECT_EQ(memory[31], 0);
  EXPECT_EQ(memory[32], 0xAA);
  EXPECT_EQ(Log(), "COLD_BOOT_FLAG set ok\r\n");

  cesim::ClearDebugOutput();
  cesim::FailMapping(kColdBootFlagAddress + 31);
  EXPECT_EQ(SetColdBootFlag(), 0);
  EXPECT_EQ(Log(), "COLD_BOOT_FLAG set err\r\n");
}

TEST_F(QuentaTest, RebootMyDeviceClearsThreeClockBitsThenResets) {
  const uint16_t before = 0xFFFF;
  Handheld().WriteMemory(0xFFFECF00, reinterpret_cast<const uint8_t*>(&before), 2);
  Handheld().SetMode(handheld::Mode::BootLoader);
  EXPECT_EQ(RebootMyDevice(), 0);
  uint16_t after = 0;
  Handheld().ReadMemory(0xFFFECF00, reinterpret_cast<uint8_t*>(&after), 2);
  EXPECT_EQ(after, 0xFFE9);
  auto writes = cesim::RegisterWrites();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].physical, 0xFFFECF00u);
  EXPECT_EQ(writes[0].value, 0xFFE9);
  EXPECT_EQ(writes[1].physical, 0xFFFECE10u);
  EXPECT_EQ(writes[1].value, 0x0008);
  EXPECT_EQ(cesim::ResetCount(), 1);
  EXPECT_EQ(Handheld().GetMode(), handheld::Mode::OS);  // no bootloader-mode marker
  EXPECT_EQ(cesim::SleptMilliseconds(), 100u);
  // The test's reset hook lets the call go on, as a reset that did not happen would.
  EXPECT_EQ(Log(), "RebootMyDevice\r\nreboot....should not never be here\r\n");

  const uint16_t other = 0x0016;
  Handheld().WriteMemory(0xFFFECF00, reinterpret_cast<const uint8_t*>(&other), 2);
  RebootMyDevice();
  Handheld().ReadMemory(0xFFFECF00, reinterpret_cast<uint8_t*>(&after), 2);
  EXPECT_EQ(after, 0x0000);
}

TEST_F(QuentaTest, RebootMyDeviceWithoutTheClockModule) {
  cesim::FailMapping(0xFFFECE00 + 0x100);
  EXPECT_EQ(RebootMyDevice(), 0);
  EXPECT_EQ(Log(), "OMAP730_CLKM_REGS_PA MmMapIoSpace err\r\n");
  EXPECT_EQ(cesim::ResetCount(), 0);
}

}  // namespace
