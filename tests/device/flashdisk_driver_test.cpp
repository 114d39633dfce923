// The virtual handheld's flash-disk driver, through DeviceIoControl on "DSK1:"/"DSK2:" handles, with
// records built byte by byte: protection, boot areas and their stored lengths, sectors, disk information,
// the named area, and injected faults.
#include <cstring>

#include "device_fixture.h"
#include "wince.h"

namespace fd = handheld::flashdisk;
using handheld::Area;

namespace {

void Put32(std::vector<uint8_t>* v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) (*v)[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

uint32_t Address(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

class DriverTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    dsk1_ = CreateFileW(u"DSK1:", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    dsk2_ = CreateFileW(u"DSK2:", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(dsk1_, INVALID_HANDLE_VALUE);
    ASSERT_NE(dsk2_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    CloseHandle(dsk1_);
    CloseHandle(dsk2_);
    DeviceTest::TearDown();
  }

  // A key control; the KeyResult status through *status.
  bool Key(HANDLE h, uint32_t code, int number, uint8_t op, uint32_t* status = nullptr, const char* key = fd::kKey) {
    std::vector<uint8_t> in(11, 0);
    in[0] = static_cast<uint8_t>(number);
    std::memcpy(&in[2], key, 8);
    in[10] = op;
    std::vector<uint8_t> out(8, 0xEE);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(h, code, in.data(), 11, out.data(), 8, &returned, nullptr);
    if (status) *status = Le32(out, 4);
    return ok != 0;
  }

  std::vector<uint8_t> BootRequest(int area, uint8_t op, const char* sig, uint32_t length, uint8_t flags,
                                   const void* data = nullptr) {
    std::vector<uint8_t> in(32, 0);
    in[0] = static_cast<uint8_t>(area);
    in[1] = op;
    std::memcpy(&in[4], sig, 4);
    in[12] = 8;
    Put32(&in, 20, length);
    in[24] = flags;
    Put32(&in, 28, Address(data));
    return in;
  }

  bool BootOp(std::vector<uint8_t>* in, uint32_t* status = nullptr) {
    uint32_t out = 0xEEEEEEEE;
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(dsk1_, fd::kBootAreaOp, in->data(), 32, &out, 4, &returned, nullptr);
    if (status) *status = out;
    return ok != 0;
  }

  // Writes a boot area through the driver: key in, init, 1024-byte blocks, key out.
  bool WriteArea(int area, const char* sig, const std::vector<uint8_t>& blocks, uint32_t total) {
    if (!Key(dsk1_, fd::kBootAreaKey, area, fd::kInsertKey)) return false;
    auto req = BootRequest(area, fd::kBdkInitWrite, sig, total, 0x12);
    if (!BootOp(&req)) return false;
    for (size_t at = 0; at < blocks.size(); at += 1024) {
      auto w = BootRequest(area, fd::kBdkWrite, sig, 1024, 0x08, blocks.data() + at);
      if (!BootOp(&w)) return false;
    }
    return Key(dsk1_, fd::kBootAreaKey, area, fd::kRemoveKey);
  }

  uint32_t SizeQuery(int area, const char* sig) {
    auto req = BootRequest(area, fd::kBdkSizeQuery, sig, 0, 0x12);
    EXPECT_TRUE(BootOp(&req));
    return Le32(req, 20);
  }

  bool Mount(HANDLE h, int part) {
    uint8_t in[2] = {static_cast<uint8_t>(part), 0};
    uint32_t status = 0;
    DWORD returned = 0;
    return DeviceIoControl(h, fd::kMountVolume, in, 2, &status, 4, &returned, nullptr) != 0;
  }

  bool Sectors(HANDLE h, uint32_t code, int part, uint32_t first, uint32_t count, void* buffer,
               uint32_t* done = nullptr, uint32_t* status = nullptr) {
    std::vector<uint8_t> in(16, 0);
    in[0] = static_cast<uint8_t>(part);
    Put32(&in, 4, first);
    Put32(&in, 8, count);
    Put32(&in, 12, Address(buffer));
    std::vector<uint8_t> out(8, 0xEE);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(h, code, in.data(), 16, out.data(), 8, &returned, nullptr);
    if (done) *done = Le32(out, 0);
    if (status) *status = Le32(out, 4);
    return ok != 0;
  }

  HANDLE dsk1_ = INVALID_HANDLE_VALUE;
  HANDLE dsk2_ = INVALID_HANDLE_VALUE;
};

TEST_F(DriverTest, KeysProtectWritesAndReportAStateAlreadyReachedWith109) {
  auto req = BootRequest(1, fd::kBdkInitWrite, "CELD", 1024, 0x12);
  uint32_t status = 0;
  EXPECT_FALSE(BootOp(&req, &status));
  EXPECT_EQ(status, fd::kStatusWriteProtected);

  EXPECT_TRUE(Key(dsk1_, fd::kBootAreaKey, 1, fd::kInsertKey, &status));
  EXPECT_EQ(status, 0u);
  EXPECT_FALSE(Key(dsk1_, fd::kBootAreaKey, 1, fd::kInsertKey, &status));
  EXPECT_EQ(status, 109u);
  EXPECT_TRUE(BootOp(&req));
  // Keys are per boot area: area 0 is still locked.
  auto eboot = BootRequest(0, fd::kBdkInitWrite, "BIPO", 0xC0000, 0x12);
  EXPECT_FALSE(BootOp(&eboot, &status));
  EXPECT_EQ(status, fd::kStatusWriteProtected);

  EXPECT_TRUE(Key(dsk1_, fd::kBootAreaKey, 1, fd::kRemoveKey));
  EXPECT_FALSE(Key(dsk1_, fd::kBootAreaKey, 1, fd::kRemoveKey, &status));
  EXPECT_EQ(status, 109u);
  EXPECT_FALSE(Key(dsk1_, fd::kBootAreaKey, 0, fd::kInsertKey, &status, "12345678"));
  EXPECT_EQ(status, fd::kStatusWrongKey);
  // Partition 2 has no key; partition keys belong to DSK1.
  EXPECT_FALSE(Key(dsk2_, fd::kPartKey, 2, fd::kInsertKey));
}

TEST_F(DriverTest, BootAreaTakesTheAnnouncedLengthAndKeepsOldContentUntilComplete) {
  auto ipl = testing_support::PatternBytes(2048, 3);
  ASSERT_TRUE(WriteArea(1, "CELD", ipl, 1500));
  auto stored = Handheld().Read(Area::IPL);
  ASSERT_EQ(stored.size(), 1500u);
  EXPECT_TRUE(std::equal(stored.begin(), stored.end(), ipl.begin()));
  EXPECT_EQ(SizeQuery(1, "CELD"), 1500u);

  // An unfinished write leaves the area as it was.
  ASSERT_TRUE(Key(dsk1_, fd::kBootAreaKey, 1, fd::kInsertKey));
  auto init = BootRequest(1, fd::kBdkInitWrite, "CELD", 4096, 0x12);
  ASSERT_TRUE(BootOp(&init));
  auto w = BootRequest(1, fd::kBdkWrite, "CELD", 1024, 0x08, ipl.data());
  ASSERT_TRUE(BootOp(&w));
  EXPECT_EQ(Handheld().StoredLength(Area::IPL), 1500u);
  // A wrong signature, a wrong fixed field or wrong flags are refused.
  auto wrong = BootRequest(1, fd::kBdkSizeQuery, "BIPO", 0, 0x12);
  EXPECT_FALSE(BootOp(&wrong));
  auto flags = BootRequest(1, fd::kBdkSizeQuery, "CELD", 0, 0x08);
  EXPECT_FALSE(BootOp(&flags));
  auto eight = BootRequest(1, fd::kBdkSizeQuery, "CELD", 0, 0x12);
  eight[12] = 7;
  EXPECT_FALSE(BootOp(&eight));
}

TEST_F(DriverTest, EbootKeepsTheImageAndReportsTheDoubledAreaLength) {
  // The capacity counts bytes of image, as the host's format sets it: the doubled total fits exactly.
  ASSERT_TRUE(Handheld().SetCapacity(Area::EBOOT, 0x60000));
  auto image = testing_support::PatternBytes(0x60000, 9);
  std::vector<uint8_t> blocks;
  for (size_t at = 0; at < image.size(); at += 512) {
    blocks.insert(blocks.end(), image.begin() + at, image.begin() + at + 512);
    blocks.insert(blocks.end(), image.begin() + at, image.begin() + at + 512);
  }
  ASSERT_TRUE(WriteArea(0, "BIPO", blocks, 0xC0000));
  EXPECT_EQ(Handheld().Read(Area::EBOOT), image);
  EXPECT_EQ(SizeQuery(0, "BIPO"), 0xC0000u);
  // Only whole doubled sectors, and no more than the area holds.
  ASSERT_TRUE(Key(dsk1_, fd::kBootAreaKey, 0, fd::kInsertKey));
  uint32_t status = 0;
  auto odd = BootRequest(0, fd::kBdkInitWrite, "BIPO", 1026, 0x12);
  EXPECT_FALSE(BootOp(&odd, &status));
  EXPECT_EQ(status, fd::kStatusOutOfRange);
  auto big = BootRequest(0, fd::kBdkInitWrite, "BIPO", 0xC0400, 0x12);
  EXPECT_FALSE(BootOp(&big, &status));
  EXPECT_EQ(status, fd::kStatusOutOfRange);
  ASSERT_TRUE(Key(dsk1_, fd::kBootAreaKey, 0, fd::kRemoveKey));
  // The CFG area shares boot area 1 with the IPL but is its own store.
  std::vector<uint8_t> cfg(0x10000, 0x5A);
  ASSERT_TRUE(WriteArea(1, "BCFG", cfg, 0x10000));
  EXPECT_EQ(Handheld().Read(Area::CFG), cfg);
  EXPECT_EQ(Handheld().StoredLength(Area::IPL), 0u);
}

TEST_F(DriverTest, SectorsNeedAMountAndTheKeyAndStayInsideThePartition) {
  std::vector<uint8_t> data = testing_support::PatternBytes(1024, 5);
  uint32_t done = 99, status = 0;
  EXPECT_FALSE(Sectors(dsk1_, fd::kReadSectors, 0, 0, 2, data.data(), &done, &status));
  EXPECT_EQ(status, fd::kStatusNotMounted);
  ASSERT_TRUE(Mount(dsk1_, 0));
  EXPECT_FALSE(Sectors(dsk1_, fd::kWriteSectors, 0, 4, 2, data.data(), &done, &status));
  EXPECT_EQ(status, fd::kStatusWriteProtected);
  ASSERT_TRUE(Key(dsk1_, fd::kPartKey, 0, fd::kInsertKey));
  ASSERT_TRUE(Sectors(dsk1_, fd::kWriteSectors, 0, 4, 2, data.data(), &done, &status));
  EXPECT_EQ(done, 2u);
  EXPECT_EQ(PartitionBytes(Area::OS, 2048, 1024), data);
  EXPECT_EQ(PartitionBytes(Area::OS, 0, 16), std::vector<uint8_t>(16, 0xFF));

  std::vector<uint8_t> back(1024, 0);
  ASSERT_TRUE(Sectors(dsk1_, fd::kReadSectors, 0, 4, 2, back.data(), &done));
  EXPECT_EQ(back, data);
  const uint32_t last = static_cast<uint32_t>(Handheld().Capacity(Area::OS) / 512);
  EXPECT_FALSE(Sectors(dsk1_, fd::kReadSectors, 0, last - 1, 2, back.data(), &done, &status));
  EXPECT_EQ(status, fd::kStatusOutOfRange);
  // Partition 2 lives on DSK2 and takes writes without a key.
  EXPECT_FALSE(Mount(dsk1_, 2));
  ASSERT_TRUE(Mount(dsk2_, 2));
  ASSERT_TRUE(Sectors(dsk2_, fd::kWriteSectors, 2, 0, 2, data.data(), &done));
  EXPECT_EQ(PartitionBytes(Area::EXTROM, 0, 1024), data);
  // A restart takes keys and mounts away.
  Driver().Restart();
  EXPECT_FALSE(Driver().PartKeyInserted(0));
  EXPECT_FALSE(Sectors(dsk2_, fd::kReadSectors, 2, 0, 2, back.data(), &done, &status));
  EXPECT_EQ(status, fd::kStatusNotMounted);
}

TEST_F(DriverTest, DiskInfoAndTheNamedArea) {
  ASSERT_TRUE(Handheld().SetCapacity(Area::EXTROM, 0x30200));
  std::vector<uint8_t> info(64, 0);
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(dsk2_, fd::kGetInfo, nullptr, 0, info.data(), 64, &returned, nullptr));
  EXPECT_EQ(Le32(info, 60), fd::kStatusNotMounted);
  ASSERT_TRUE(Mount(dsk2_, 2));
  ASSERT_TRUE(DeviceIoControl(dsk2_, fd::kGetInfo, nullptr, 0, info.data(), 64, &returned, nullptr));
  EXPECT_EQ(Le32(info, 0), 0x30200u / 512);
  EXPECT_EQ(Le32(info, 60), 0u);

  auto gsm = testing_support::PatternBytes(0x20000, 1);
  ASSERT_TRUE(Handheld().Write(Area::GSM, gsm.data(), gsm.size()));
  std::vector<uint8_t> area(0x10000, 0);
  std::vector<uint8_t> in(20, 0);
  std::memcpy(in.data(), "GSMFFS", 6);
  Put32(&in, 12, 0x10000);
  Put32(&in, 16, Address(area.data()));
  ASSERT_TRUE(DeviceIoControl(dsk1_, fd::kNamedArea, in.data(), 20, nullptr, 0, nullptr, nullptr));
  EXPECT_TRUE(std::equal(area.begin(), area.end(), gsm.begin()));
  std::memcpy(in.data(), "GSMFFX", 6);
  EXPECT_FALSE(DeviceIoControl(dsk1_, fd::kNamedArea, in.data(), 20, nullptr, 0, nullptr, nullptr));
  EXPECT_FALSE(DeviceIoControl(dsk1_, 4242, in.data(), 20, nullptr, 0, nullptr, nullptr));
}

TEST_F(DriverTest, KeysAndMountsOutliveTheProgramUntilTheHandheldRestarts) {
  ASSERT_TRUE(Key(dsk1_, fd::kBootAreaKey, 1, fd::kInsertKey));
  ASSERT_TRUE(Key(dsk1_, fd::kPartKey, 0, fd::kInsertKey));
  ASSERT_TRUE(Mount(dsk2_, 2));
  cesim::SetHandheldDirectory(cesim::HandheldDirectory());  // the next program on the same handheld
  EXPECT_TRUE(Driver().BootKeyInserted(1));
  EXPECT_FALSE(Driver().BootKeyInserted(0));
  EXPECT_TRUE(Driver().PartKeyInserted(0));
  EXPECT_TRUE(Driver().Mounted(2));
  std::vector<uint8_t> info(64, 0);
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(dsk2_, fd::kGetInfo, nullptr, 0, info.data(), 64, &returned, nullptr));
  Driver().Restart();
  cesim::SetHandheldDirectory(cesim::HandheldDirectory());
  EXPECT_FALSE(Driver().BootKeyInserted(1));
  EXPECT_FALSE(Driver().Mounted(2));
}

TEST_F(DriverTest, InjectedFaultsCountSkipsAndTimesAndCanFollowTheOperation) {
  ASSERT_TRUE(Mount(dsk2_, 2));
  std::vector<uint8_t> data(512, 0xAB);
  cesim::FailControl(fd::kWriteSectors, 77, -1, /*skip=*/1, /*times=*/1);
  uint32_t done = 0, status = 0;
  EXPECT_TRUE(Sectors(dsk2_, fd::kWriteSectors, 2, 0, 1, data.data(), &done, &status));
  EXPECT_FALSE(Sectors(dsk2_, fd::kWriteSectors, 2, 1, 1, data.data(), &done, &status));
  EXPECT_EQ(status, 77u);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(PartitionBytes(Area::EXTROM, 512, 1), std::vector<uint8_t>(1, 0xFF));  // not carried out
  EXPECT_TRUE(Sectors(dsk2_, fd::kWriteSectors, 2, 1, 1, data.data(), &done, &status));

  // `perform`: carried out, then reported as failed; `sub` picks the key operation.
  cesim::FailControl(fd::kBootAreaKey, 0, fd::kInsertKey, 0, 1, true);
  EXPECT_FALSE(Key(dsk1_, fd::kBootAreaKey, 1, fd::kInsertKey, &status));
  EXPECT_EQ(status, 0u);
  EXPECT_TRUE(Driver().BootKeyInserted(1));
  EXPECT_TRUE(Key(dsk1_, fd::kBootAreaKey, 1, fd::kRemoveKey));
  // The record shows every control with its outcome.
  auto writes = Controls(fd::kWriteSectors);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_FALSE(writes[1].result);
  EXPECT_EQ(writes[1].status, 77u);
}

TEST_F(DriverTest, DevicesOpenByNameOnlyAndCanBeMadeToFailOpening) {
  HANDLE by_lower_case = CreateFileW(u"dsk2:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(by_lower_case, INVALID_HANDLE_VALUE);
  cesim::FailDeviceOpen(u"DSK1:", 1, 1);
  HANDLE first = CreateFileW(u"DSK1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileW(u"DSK1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  HANDLE third = CreateFileW(u"DSK1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(third, INVALID_HANDLE_VALUE);
  for (HANDLE h : {by_lower_case, first, third})
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  // A file handle takes no device controls.
  HANDLE file = CreateFileW(u"plain.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  uint32_t status = 0;
  EXPECT_FALSE(DeviceIoControl(file, fd::kMountVolume, &status, 2, &status, 4, nullptr, nullptr));
  CloseHandle(file);
}

}  // namespace
