// The flash-disk layer of the device library: the requests it sends, its results and messages, and
// every failure path, driven through the driver's injected statuses.
#include <cstring>

#include "device_fixture.h"
#include "flashdisk.h"

namespace fd = handheld::flashdisk;
using handheld::Area;

namespace {

class FlashDiskLayerTest : public DeviceTest {};

std::vector<uint8_t> Image(size_t size, uint32_t seed) { return testing_support::PatternBytes(size, seed); }

// ---- Boot-area writers --------------------------------------------------------------------------------

TEST_F(FlashDiskLayerTest, WriteIPLCodeFlashesTheImageAndLogs) {
  auto image = Image(5 * 1024, 1);
  ASSERT_EQ(WriteIPLCode(image.data(), 4097, PartitionKey, 8), 1);
  auto stored = Handheld().Read(Area::IPL);
  EXPECT_EQ(stored, std::vector<uint8_t>(image.begin(), image.begin() + 4097));
  // 4097 bytes: five 1024-byte blocks, kb lines at offsets 0 and 4096.
  EXPECT_EQ(Controls(fd::kBootAreaOp, fd::kBdkWrite).size(), 5u);
  auto init = Controls(fd::kBootAreaOp, fd::kBdkInitWrite);
  ASSERT_EQ(init.size(), 1u);
  EXPECT_EQ(Le32(init[0].input, 20), 4097u);
  EXPECT_EQ(init[0].input[24], 0x12);
  EXPECT_EQ(Log(),
            "CreateFile(DSK1) ok\r\nWriteIPLCode:1 kb\rWriteIPLCode:2 kb\rWriteIPLCode: flash done\r\n");
  EXPECT_FALSE(Driver().BootKeyInserted(1));
}

TEST_F(FlashDiskLayerTest, WriteIPLCodeLengthsZeroAnd1025) {
  auto image = Image(2048, 2);
  ASSERT_EQ(WriteIPLCode(image.data(), 0, PartitionKey, 8), 1);
  EXPECT_EQ(Controls(fd::kBootAreaOp, fd::kBdkWrite).size(), 0u);
  EXPECT_EQ(Le32(Controls(fd::kBootAreaOp, fd::kBdkInitWrite)[0].input, 20), 0u);
  EXPECT_EQ(Controls(fd::kBootAreaKey, fd::kRemoveKey).size(), 1u);
  Driver().ClearRecord();
  ASSERT_EQ(WriteIPLCode(image.data(), 1025, PartitionKey, 8), 1);
  auto writes = Controls(fd::kBootAreaOp, fd::kBdkWrite);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(Le32(writes[1].input, 20), 1024u);
  EXPECT_EQ(writes[1].input[24], 0x08);
  // The second block carries one data byte; the rest is padding, not the bytes behind the data.
  EXPECT_EQ(writes[1].payload[0], image[1024]);
  EXPECT_EQ(std::vector<uint8_t>(writes[1].payload.begin() + 1, writes[1].payload.end()),
            std::vector<uint8_t>(1023, 0xFF));
  EXPECT_EQ(Handheld().StoredLength(Area::IPL), 1025u);
}

TEST_F(FlashDiskLayerTest, WriteEBootCodeSendsEachSectorTwice) {
  auto image = Image(kEBootImageSize, 3);
  ASSERT_EQ(WriteEBootCode(image.data(), kEBootImageSize, PartitionKey, 8), 1);
  auto writes = Controls(fd::kBootAreaOp, fd::kBdkWrite);
  ASSERT_EQ(writes.size(), 768u);
  for (size_t i = 0; i < writes.size(); ++i) {
    const auto& block = writes[i].payload;
    ASSERT_EQ(block.size(), 1024u);
    ASSERT_TRUE(std::equal(block.begin(), block.begin() + 512, block.begin() + 512)) << "block " << i;
    ASSERT_TRUE(std::equal(block.begin(), block.begin() + 512, image.begin() + i * 512)) << "block " << i;
  }
  EXPECT_EQ(Le32(Controls(fd::kBootAreaOp, fd::kBdkInitWrite)[0].input, 20), 0xC0000u);
  EXPECT_EQ(Controls(fd::kBootAreaOp, fd::kBdkInitWrite)[0].input[0], 0);
  EXPECT_EQ(Handheld().Read(Area::EBOOT), image);
  // One kb line per 4 KB of image: 96 of them.
  EXPECT_EQ(LogCount("WriteEBootCode:"), 97u);
  EXPECT_EQ(LogCount("WriteEBootCode:96 kb\r"), 1u);
  EXPECT_EQ(LogCount("WriteEBootCode: flash done\r\n"), 1u);
}

TEST_F(FlashDiskLayerTest, WriteCFGWritesSixtyFourBlocksWithItsOwnMessages) {
  std::vector<uint8_t> cfg(kCfgSize, 0x3C);
  ASSERT_EQ(WriteCFG(cfg.data(), kCfgSize, PartitionKey, 8), 1);
  EXPECT_EQ(Controls(fd::kBootAreaOp, fd::kBdkWrite).size(), 64u);
  EXPECT_EQ(std::memcmp(Controls(fd::kBootAreaOp, fd::kBdkInitWrite)[0].input.data() + 4, "BCFG", 4), 0);
  EXPECT_EQ(Handheld().Read(Area::CFG), cfg);
  EXPECT_EQ(LogCount("CreateFile(DSK1) ok"), 0u);
  EXPECT_EQ(LogCount("WriteCFG:16 kb\r"), 1u);
  EXPECT_EQ(LogCount("WriteCFG: flash done\r\n"), 1u);
}

TEST_F(FlashDiskLayerTest, WritersRefuseBadArgumentsWithoutOpeningTheDevice) {
  auto image = Image(kEBootImageSize, 4);
  EXPECT_EQ(WriteEBootCode(image.data(), kEBootImageSize - 512, PartitionKey, 8), 0);
  EXPECT_EQ(WriteCFG(image.data(), kCfgSize + 1, PartitionKey, 8), 0);
  EXPECT_EQ(WriteIPLCode(nullptr, 1024, PartitionKey, 8), 0);
  EXPECT_EQ(WriteIPLCode(image.data(), 1024, nullptr, 8), 0);
  EXPECT_EQ(WriteIPLCode(image.data(), 1024, PartitionKey, 7), 0);
  EXPECT_EQ(InitUpdateByPart(0, PartitionKey, 9), 0);
  EXPECT_EQ(DeInitUpdateByPart(0, nullptr, 8), 0);
  DWORD done = 5;
  EXPECT_EQ(LoaddateByPartWithSectors(0, 0, nullptr, 512, &done), 0);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(QueryGsmFfs(nullptr, 65536), 0);
  EXPECT_EQ(QueryGsmFfs(image.data(), 0), 0);
  EXPECT_TRUE(Driver().Record().empty());
  EXPECT_EQ(Log(), "");
}

TEST_F(FlashDiskLayerTest, KeyInsertionFailuresOfTheWriters) {
  auto image = Image(kCfgSize, 5);
  // 109 counts as "the key is in" and the write goes on (here the driver, which refused the key, then
  // refuses the write: status 2).
  cesim::FailControl(fd::kBootAreaKey, 109, fd::kInsertKey, 0, 1);
  EXPECT_EQ(WriteIPLCode(image.data(), 1024, PartitionKey, 8), 0);
  EXPECT_EQ(Log(), "CreateFile(DSK1) ok\r\nWriteIPLCode: BDK_INIT_WRITE failed 2\r\n");
  cesim::ClearDebugOutput();
  cesim::FailControl(fd::kBootAreaKey, 108, fd::kInsertKey, 0, 1);
  EXPECT_EQ(WriteIPLCode(image.data(), 1024, PartitionKey, 8), 0);
  EXPECT_EQ(Log(), "CreateFile(DSK1) ok\r\nWriteIPLCode:PROTECTION_INSERT_KEY fail with statu=108\r\n");
  cesim::ClearDebugOutput();
  cesim::FailControl(fd::kBootAreaKey, 108, fd::kInsertKey, 0, 1);
  EXPECT_EQ(WriteCFG(image.data(), kCfgSize, PartitionKey, 8), 0);
  EXPECT_EQ(Log(), "WriteCFG:PROTECTION_INSERT_KEY fail with statu=108\r\n");
}

TEST_F(FlashDiskLayerTest, KeyAlreadyInsertedCountsAsSuccess) {
  auto image = Image(2048, 6);
  cesim::FailControl(fd::kBootAreaKey, 109, fd::kInsertKey, 0, 1, /*perform=*/true);
  EXPECT_EQ(WriteIPLCode(image.data(), 2048, PartitionKey, 8), 1);
  EXPECT_EQ(Handheld().StoredLength(Area::IPL), 2048u);
}

TEST_F(FlashDiskLayerTest, OpenStartWriteAndRemovalFailuresOfTheWriters) {
  auto image = Image(kEBootImageSize, 7);
  cesim::FailDeviceOpen(u"DSK1:", 0, 3);
  EXPECT_EQ(WriteIPLCode(image.data(), 1024, PartitionKey, 8), 0);
  EXPECT_EQ(WriteEBootCode(image.data(), kEBootImageSize, PartitionKey, 8), 0);
  EXPECT_EQ(WriteCFG(image.data(), kCfgSize, PartitionKey, 8), 0);
  EXPECT_EQ(Log(),
            "WriteIPLCode:CreateFile(DSK1) failed\r\nWriteEBootCode:CreateFile(DSK1) failed\r\n"
            "WriteCFG:CreateFile(DSK1) failed\r\n");

  cesim::ClearDebugOutput();
  cesim::FailControl(fd::kBootAreaOp, 21, fd::kBdkInitWrite, 0, 2);
  EXPECT_EQ(WriteEBootCode(image.data(), kEBootImageSize, PartitionKey, 8), 0);
  EXPECT_EQ(LogCount("WriteEBootCode: BDK_INIT_WRITE failed 21\r\n"), 1u);
  EXPECT_EQ(WriteCFG(image.data(), kCfgSize, PartitionKey, 8), 0);
  EXPECT_EQ(LogCount("WriteCFG: BDK_INIT_WRITE failed\r\n"), 1u);

  // A failed block ends the write with the key left in.
  Driver().Restart();
  cesim::ClearDebugOutput();
  cesim::FailControl(fd::kBootAreaOp, 22, fd::kBdkWrite, 3, 1);
  EXPECT_EQ(WriteIPLCode(image.data(), 8192, PartitionKey, 8), 0);
  EXPECT_EQ(LogCount("WriteIPLCode: BDK_WRITE failed 22\r\n"), 1u);
  EXPECT_EQ(Controls(fd::kBootAreaOp, fd::kBdkWrite).size(), 4u);
  EXPECT_TRUE(Driver().BootKeyInserted(1));
  EXPECT_EQ(Controls(fd::kBootAreaKey, fd::kRemoveKey).size(), 0u);

  Driver().Restart();
  cesim::ClearDebugOutput();
  cesim::FailControl(fd::kBootAreaKey, 23, fd::kRemoveKey, 0, 2);
  EXPECT_EQ(WriteEBootCode(image.data(), kEBootImageSize, PartitionKey, 8), 0);
  EXPECT_EQ(LogCount("WriteEBootCode: PROTECTION_REMOVE_KEY failed 23\r\n"), 1u);
  Driver().Restart();
  EXPECT_EQ(WriteCFG(image.data(), kCfgSize, PartitionKey, 8), 0);
  EXPECT_EQ(LogCount("WriteCFG: PROTECTION_REMOVE_KEY failed\r\n"), 1u);
}

// ---- GetIPLSize ---------------------------------------------------------------------------------------

TEST_F(FlashDiskLayerTest, GetIPLSizeReportsTheStoredLengthAndLeavesTheKeyIn) {
  auto ipl = Image(12345, 8);
  ASSERT_TRUE(Handheld().Write(Area::IPL, ipl.data(), ipl.size()));
  DWORD size = 0;
  GetIPLSize(&size);
  EXPECT_EQ(size, 12345u);
  EXPECT_EQ(Log(), "CreateFile(DSK1) ok\r\nFile Size 12345\r\n");
  EXPECT_TRUE(Driver().BootKeyInserted(1));
  auto query = Controls(fd::kBootAreaOp, fd::kBdkSizeQuery);
  ASSERT_EQ(query.size(), 1u);
  EXPECT_EQ(query[0].input[0], 1);
  EXPECT_EQ(std::memcmp(query[0].input.data() + 4, "CELD", 4), 0);
  // A second query finds the key in (109) and still answers.
  size = 0;
  GetIPLSize(&size);
  EXPECT_EQ(size, 12345u);
}

TEST_F(FlashDiskLayerTest, GetIPLSizeFailuresLeaveTheOutputAlone) {
  DWORD size = 77;
  cesim::FailDeviceOpen(u"DSK1:", 0, 1);
  GetIPLSize(&size);
  EXPECT_EQ(Log(), "GetIPLSize:CreateFile(DSK1) failed\r\n");
  cesim::ClearDebugOutput();
  cesim::FailControl(fd::kBootAreaKey, 5, fd::kInsertKey, 0, 1);
  GetIPLSize(&size);
  EXPECT_EQ(Log(), "CreateFile(DSK1) ok\r\nGetIPLSize:PROTECTION_INSERT_KEY fail with statu=5\r\n");
  cesim::ClearDebugOutput();
  cesim::FailControl(fd::kBootAreaOp, 6, fd::kBdkSizeQuery, 0, 1);
  GetIPLSize(&size);
  EXPECT_EQ(Log(), "CreateFile(DSK1) ok\r\n");
  EXPECT_EQ(size, 77u);
}

// ---- Partitions ---------------------------------------------------------------------------------------

TEST_F(FlashDiskLayerTest, InitAndDeInitOfTheKeyedPartitions) {
  ASSERT_EQ(InitUpdateGSM(PartitionKey, 8), 1);
  EXPECT_TRUE(Driver().PartKeyInserted(1));
  EXPECT_TRUE(Driver().Mounted(1));
  EXPECT_EQ(Log(),
            "CreateFile(DSK) ok\r\nPROTECTION_INSERT_KEY type=2 statu=0 dwPart=1\r\n"
            "FL_IOCTL_MOUNT_VOLUME_FH  statu=0\r\n");
  // Again: the key is in already (109), which counts as success.
  cesim::ClearDebugOutput();
  ASSERT_EQ(InitUpdateByPart(1, PartitionKey, 8), 1);
  EXPECT_EQ(LogCount("PROTECTION_INSERT_KEY type=2 statu=109 dwPart=1\r\n"), 1u);
  ASSERT_EQ(DeInitUpdateGSM(PartitionKey, 8), 1);
  EXPECT_FALSE(Driver().PartKeyInserted(1));
  // Removing a key that is not in: 109, reported and carried on.
  cesim::ClearDebugOutput();
  ASSERT_EQ(DeInitUpdateOS(PartitionKey, 8), 1);
  EXPECT_EQ(Log(), "CreateFile(DSK) ok\r\nDeInitUpdateByPart:PROTECTION_REMOVE_KEY with statu=109\r\n");
}

TEST_F(FlashDiskLayerTest, ExtendedRomPartitionUsesDsk2WithoutKeys) {
  ASSERT_EQ(InitUpdateEROM(PartitionKey, 8), 1);
  std::vector<uint8_t> data = Image(65536, 9);
  DWORD done = 0;
  ASSERT_EQ(UpdateEROMWithSectors(0, data.data(), 65536, &done), 1);
  EXPECT_EQ(done, 128u);
  ASSERT_EQ(DeInitUpdateEROM(PartitionKey, 8), 1);
  EXPECT_EQ(Controls(fd::kPartKey).size(), 0u);
  for (const auto& r : Driver().Record()) EXPECT_EQ(r.device, 2);
  EXPECT_EQ(PartitionBytes(Area::EXTROM, 0, 65536), data);
}

TEST_F(FlashDiskLayerTest, InitFailures) {
  cesim::FailDeviceOpen(u"DSK2:", 0, 1);
  EXPECT_EQ(InitUpdateEROM(PartitionKey, 8), 0);
  EXPECT_EQ(Log(), "InitUpdateByPart:CreateFile(DSK) failed\r\n");
  cesim::ClearDebugOutput();
  cesim::FailControl(fd::kPartKey, 108, fd::kInsertKey, 0, 1);
  EXPECT_EQ(InitUpdateOS(PartitionKey, 8), 0);
  EXPECT_EQ(Log(), "CreateFile(DSK) ok\r\nInitUpdateByPart:PROTECTION_INSERT_KEY fail with status=108\r\n");
  EXPECT_EQ(Controls(fd::kMountVolume).size(), 0u);
  cesim::ClearDebugOutput();
  cesim::FailControl(fd::kMountVolume, 31, -1, 0, 1);
  EXPECT_EQ(InitUpdateOS(PartitionKey, 8), 0);
  EXPECT_EQ(LogCount("InitUpdateByPart:FL_IOCTL_MOUNT_VOLUME_FH fail with statu=31\r\n"), 1u);
  // A mount that fails with status 0 counts as success.
  cesim::ClearDebugOutput();
  cesim::FailControl(fd::kMountVolume, 0, -1, 0, 1);
  EXPECT_EQ(InitUpdateEROM(PartitionKey, 8), 1);
  EXPECT_EQ(LogCount("FL_IOCTL_MOUNT_VOLUME_FH  statu=0\r\n"), 1u);
}

TEST_F(FlashDiskLayerTest, DeInitFailures) {
  cesim::FailDeviceOpen(u"DSK1:", 0, 1);
  EXPECT_EQ(DeInitUpdateOS(PartitionKey, 8), 0);
  EXPECT_EQ(Log(), "DeInitUpdateByPart:CreateFile(DSK) failed\r\n");
  cesim::ClearDebugOutput();
  ASSERT_EQ(InitUpdateOS(PartitionKey, 8), 1);
  cesim::FailControl(fd::kPartKey, 44, fd::kRemoveKey, 0, 1);
  EXPECT_EQ(DeInitUpdateOS(PartitionKey, 8), 0);
  EXPECT_EQ(LogCount("DeInitUpdateByPart:PROTECTION_REMOVE_KEY fail with statu=44\r\n"), 1u);
  EXPECT_TRUE(Driver().PartKeyInserted(0));
}

TEST_F(FlashDiskLayerTest, SectorTransfersAskWholeSectorsAndLogOncePerMegabyte) {
  ASSERT_EQ(InitUpdateOS(PartitionKey, 8), 1);
  cesim::ClearDebugOutput();
  std::vector<uint8_t> buffer(65536, 0x11);
  DWORD done = 0;
  ASSERT_EQ(UpdateOSWithSectors(2048, buffer.data(), 65536, &done), 1);
  EXPECT_EQ(done, 128u);
  ASSERT_EQ(UpdateOSWithSectors(2176, buffer.data(), 511, &done), 1);
  EXPECT_EQ(done, 0u);
  auto writes = Controls(fd::kWriteSectors);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(Le32(writes[0].input, 4), 2048u);
  EXPECT_EQ(Le32(writes[0].input, 8), 128u);
  EXPECT_EQ(Le32(writes[1].input, 8), 0u);
  EXPECT_EQ(Log(), "FL_IOCTL_WRITE_SECTORS_FH flashed 128 sectors statu=0\r\n");

  cesim::ClearDebugOutput();
  std::vector<uint8_t> back(65536, 0);
  ASSERT_EQ(LoaddateOSWithSectors(2048, back.data(), 65536, &done), 1);
  EXPECT_EQ(back, buffer);
  ASSERT_EQ(LoaddateOSWithSectors(2176, back.data(), 65536, &done), 1);
  EXPECT_EQ(Log(), "FL_IOCTL_READ_SECTORS_FH flashed 128 sectors statu=0\r\n");
  EXPECT_EQ(Le32(Controls(fd::kReadSectors)[0].input, 8), 128u);
}

TEST_F(FlashDiskLayerTest, SectorTransferFailures) {
  ASSERT_EQ(InitUpdateGSM(PartitionKey, 8), 1);
  cesim::ClearDebugOutput();
  std::vector<uint8_t> buffer(65536, 0x22);
  DWORD done = 9;
  cesim::FailDeviceOpen(u"DSK1:", 0, 2);
  EXPECT_EQ(LoaddateGSMWithSectors(0, buffer.data(), 65536, &done), 0);
  EXPECT_EQ(UpdateGSMWithSectors(0, buffer.data(), 65536, &done), 0);
  EXPECT_EQ(Log(),
            "LoaddateByPartWithSectors:CreateFile(DSK) failed\r\nUpdateByPartWithSectors:CreateFile(DSK) failed\r\n");
  cesim::ClearDebugOutput();
  cesim::FailControl(fd::kReadSectors, 12, -1, 0, 1);
  cesim::FailControl(fd::kWriteSectors, 13, -1, 0, 1);
  EXPECT_EQ(LoaddateGSMWithSectors(0, buffer.data(), 65536, &done), 0);
  EXPECT_EQ(UpdateGSMWithSectors(0, buffer.data(), 65536, &done), 0);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(Log(),
            "LoaddateByPartWithSectors:FL_IOCTL_READ_SECTORS_FH fail with statu=12\r\n"
            "UpdateByPartWithSectors:FL_IOCTL_WRITE_SECTORS_FH fail with statu=13\r\n");
  // A failed transfer with status 0 counts as success, with what the driver reported.
  cesim::FailControl(fd::kWriteSectors, 0, -1, 0, 1, /*perform=*/true);
  EXPECT_EQ(UpdateGSMWithSectors(128, buffer.data(), 65536, &done), 1);
  EXPECT_EQ(done, 128u);
}

TEST_F(FlashDiskLayerTest, QueryGsmFfsAsksTheNamedArea) {
  std::vector<uint8_t> buffer(65536, 0);
  EXPECT_EQ(QueryGsmFfs(buffer.data(), 65536), 1);
  auto asked = Controls(fd::kNamedArea);
  ASSERT_EQ(asked.size(), 1u);
  ASSERT_EQ(asked[0].input.size(), 20u);
  const uint8_t name[8] = {'G', 'S', 'M', 'F', 'F', 'S', 0, 0};
  EXPECT_EQ(std::memcmp(asked[0].input.data(), name, 8), 0);
  EXPECT_EQ(Le32(asked[0].input, 12), 65536u);
  cesim::FailControl(fd::kNamedArea, 1, -1, 0, 1);
  EXPECT_EQ(QueryGsmFfs(buffer.data(), 65536), 0);
  cesim::FailDeviceOpen(u"DSK1:", 0, 1);
  EXPECT_EQ(QueryGsmFfs(buffer.data(), 65536), 0);
  EXPECT_EQ(Log(), "");
}

}  // namespace
