// SD-card compares: equality, the value and sign of a difference, the GSMFFS skip, the order of the
// steps inside a pass, and every failure path.
#include "device_fixture.h"
#include "flashdisk.h"
#include "sdcard.h"

namespace fd = handheld::flashdisk;
using handheld::Area;
using testing_support::PatternBytes;

namespace {

class SdCompareTest : public DeviceTest {
 protected:
  void Flash(Area area, const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(Handheld().Write(area, bytes.data(), bytes.size()));
  }
};

TEST_F(SdCompareTest, EqualImagesCompareZeroOnEveryPartition) {
  auto image = PatternBytes(3 * 65536 + 1000, 1);
  Flash(Area::OS, image);
  Flash(Area::GSM, image);
  Flash(Area::EXTROM, image);
  PutOnSd("img.bin", image);
  int progress = 0;
  EXPECT_EQ(CmpOSwithSD(Sd("img.bin").c_str(), &progress), 0);
  EXPECT_EQ(progress, 100);
  progress = 0;
  EXPECT_EQ(CmpEROMwithSD(Sd("img.bin").c_str(), &progress), 0);
  EXPECT_EQ(progress, 100);
  progress = 0;
  EXPECT_EQ(CmpGSMwithSD(Sd("img.bin").c_str(), &progress), 0);
  EXPECT_EQ(progress, 100);
  EXPECT_EQ(CmpGSMFFS(Sd("img.bin").c_str()), 0);
  EXPECT_EQ(LogCount("differences"), 0u);
  EXPECT_EQ(LogCount("CmpOSwithSD cur 0 flashed 128 sector read file 0\r\n"), 1u);
  EXPECT_EQ(LogCount("CmpEROMwithSD cur 0 flashed 128 sector read file 0\r\n"), 1u);
  EXPECT_EQ(LogCount("CmpGSMFFS cur 0 flashed 128 sector read file 65536\r\n"), 1u);
  EXPECT_FALSE(Driver().PartKeyInserted(0));
  EXPECT_FALSE(Driver().PartKeyInserted(1));
}

TEST_F(SdCompareTest, ADifferenceReturnsFlashMinusFileAndStopsThere) {
  auto image = PatternBytes(3 * 65536, 2);
  Flash(Area::OS, image);
  auto changed = image;
  changed[70000] = static_cast<uint8_t>(image[70000] + 5);
  PutOnSd("changed.bin", changed);
  int progress = 0;
  int result = CmpOSwithSD(Sd("changed.bin").c_str(), &progress);
  EXPECT_LT(result, 0);
  EXPECT_NE(result, -1);
  EXPECT_EQ(progress, 33);  // the first chunk matched; the second differed before its progress
  EXPECT_EQ(LogCount("CmpOSwithSD differences\r\n"), 1u);
  EXPECT_EQ(Controls(fd::kReadSectors).size(), 2u);
  EXPECT_TRUE(Driver().PartKeyInserted(0));  // no release after a difference

  changed[70000] = static_cast<uint8_t>(image[70000] - 3);
  PutOnSd("changed.bin", changed);
  EXPECT_EQ(CmpOSwithSD(Sd("changed.bin").c_str(), &progress), 3);
  // A flash byte one below the file byte is still told from a failure.
  changed[70000] = static_cast<uint8_t>(image[70000] + 1);
  PutOnSd("changed.bin", changed);
  result = CmpOSwithSD(Sd("changed.bin").c_str(), &progress);
  EXPECT_LT(result, -1);
}

TEST_F(SdCompareTest, EromCountsTheChunkBeforeComparingIt) {
  auto image = PatternBytes(2 * 65536, 3);
  Flash(Area::EXTROM, image);
  auto changed = image;
  changed[65536 + 10] ^= 0x40;
  PutOnSd("erom.bin", changed);
  int progress = 0;
  EXPECT_NE(CmpEROMwithSD(Sd("erom.bin").c_str(), &progress), 0);
  EXPECT_EQ(progress, 100);
  EXPECT_EQ(LogCount("CmpEROMwithSD differences\r\n"), 1u);
}

TEST_F(SdCompareTest, GsmCompareSkipsTheGsmFfsAreaOnlyWhenTheDriverReportsIt) {
  auto flash = PatternBytes(2 * 65536, 4);
  Flash(Area::GSM, flash);
  auto file = flash;
  file[100] ^= 0xFF;  // inside the GSMFFS area
  PutOnSd("gsm.bin", file);
  int progress = 0;
  EXPECT_EQ(CmpGSMwithSD(Sd("gsm.bin").c_str(), &progress), 0);
  EXPECT_EQ(LogCount("SDUpdate: GSMFFS [1]\r\n"), 1u);
  EXPECT_EQ(LogCount("GSMFFS is here. Skip the first 64k flash\r\n"), 1u);
  EXPECT_EQ(Controls(fd::kReadSectors).size(), 1u);
  EXPECT_EQ(Le32(Controls(fd::kReadSectors)[0].input, 4), 128u);
  // The named area asked before the partition was opened for the compare.
  EXPECT_EQ(Driver().Record().front().code, fd::kNamedArea);

  // CmpGSMFFS never skips.
  EXPECT_NE(CmpGSMFFS(Sd("gsm.bin").c_str()), 0);
  EXPECT_EQ(LogCount("CmpGSMFFS differences\r\n"), 1u);

  // Without the area the first chunk is compared.
  cesim::ClearDebugOutput();
  cesim::FailControl(fd::kNamedArea, 1);
  EXPECT_NE(CmpGSMwithSD(Sd("gsm.bin").c_str(), &progress), 0);
  EXPECT_EQ(LogCount("SDUpdate: GSMFFS [0]\r\n"), 1u);
  EXPECT_EQ(LogCount("CmpGSMwithSD differences\r\n"), 1u);
  EXPECT_EQ(progress, 50);
}

TEST_F(SdCompareTest, AShorterFileMatchesOnlyAnErasedTail) {
  auto image = PatternBytes(65536 + 5000, 5);
  Flash(Area::OS, image);  // the rest of the second chunk is erased flash (0xFF)
  PutOnSd("short.bin", image);
  int progress = 0;
  EXPECT_EQ(CmpOSwithSD(Sd("short.bin").c_str(), &progress), 0);
  auto longer = image;
  longer.push_back(0x00);
  Flash(Area::OS, longer);
  EXPECT_NE(CmpOSwithSD(Sd("short.bin").c_str(), &progress), 0);
}

TEST_F(SdCompareTest, AnEmptyFileComparesEqualAfterTheRelease) {
  PutOnSd("empty.bin", {});
  int progress = 3;
  EXPECT_EQ(CmpOSwithSD(Sd("empty.bin").c_str(), &progress), 0);
  EXPECT_EQ(CmpGSMwithSD(Sd("empty.bin").c_str(), &progress), 0);
  EXPECT_EQ(CmpEROMwithSD(Sd("empty.bin").c_str(), &progress), 0);
  EXPECT_EQ(CmpGSMFFS(Sd("empty.bin").c_str()), 0);
  EXPECT_EQ(progress, 3);
  EXPECT_EQ(Controls(fd::kReadSectors).size(), 0u);
  EXPECT_EQ(Controls(fd::kPartKey, fd::kRemoveKey).size(), 3u);
}

TEST_F(SdCompareTest, AFailedFlashReadEndsWithMinusOneAfterMatchingChunks) {
  auto image = PatternBytes(4 * 65536, 6);
  Flash(Area::OS, image);
  Flash(Area::GSM, image);
  Flash(Area::EXTROM, image);
  PutOnSd("img.bin", image);
  int progress = 0;
  cesim::FailControl(fd::kReadSectors, 8, -1, 2, 1);
  EXPECT_EQ(CmpOSwithSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(progress, 50);
  EXPECT_EQ(LogCount("CmpOSwithSD err\r\n"), 1u);
  cesim::FailControl(fd::kReadSectors, 8, -1, 2, 1);
  EXPECT_EQ(CmpEROMwithSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("CmpEROMwithSD err\r\n"), 1u);
  cesim::FailControl(fd::kReadSectors, 8, -1, 1, 1);  // GSM: the first chunk is skipped
  EXPECT_EQ(CmpGSMwithSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(progress, 75);  // file read and progress come before the flash read
  EXPECT_EQ(LogCount("CmpGSMwithSD err\r\n"), 1u);
  cesim::FailControl(fd::kReadSectors, 8, -1, 2, 1);
  EXPECT_EQ(CmpGSMFFS(Sd("img.bin").c_str()), -1);
  EXPECT_EQ(LogCount("CmpGSMFFS err\r\n"), 1u);
  // A read that fails with status 0 moved nothing; against an image of erased bytes it would compare equal.
  const std::vector<uint8_t> erased(65536, 0xFF);
  Flash(Area::OS, PatternBytes(65536, 9));
  PutOnSd("erased.bin", erased);
  cesim::FailControl(fd::kReadSectors, 0, -1, 0, 1);
  EXPECT_EQ(CmpOSwithSD(Sd("erased.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("CmpOSwithSD err\r\n"), 2u);
}

TEST_F(SdCompareTest, OpeningInitAndReleaseFailures) {
  int progress = 0;
  EXPECT_EQ(CmpOSwithSD(Sd("none.bin").c_str(), &progress), -1);
  EXPECT_EQ(Log(), "CmpOSwithSD \\Storage Card\\none.bin\r\nopen file fail\r\n");
  PutOnSd("img.bin", PatternBytes(65536, 7));
  cesim::FailAllocation(1, 1);  // the second of the two chunk buffers
  EXPECT_EQ(CmpEROMwithSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("allocate memory fail\r\n"), 1u);
  cesim::SetFileSizeFails(true);
  EXPECT_EQ(CmpEROMwithSD(Sd("img.bin").c_str(), &progress), -1);
  cesim::SetFileSizeFails(false);
  EXPECT_TRUE(Driver().Record().empty());

  cesim::FailControl(fd::kPartKey, 108, fd::kInsertKey, 0, 3);
  EXPECT_EQ(CmpOSwithSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(CmpGSMwithSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(CmpGSMFFS(Sd("img.bin").c_str()), -1);
  cesim::FailControl(fd::kMountVolume, 7, -1, 0, 1);
  EXPECT_EQ(CmpEROMwithSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("InitUpdateOS err\r\n"), 1u);
  EXPECT_EQ(LogCount("InitUpdateGSM err\r\n"), 1u);
  EXPECT_EQ(LogCount("InitCmpGSMFFS err\r\n"), 1u);
  EXPECT_EQ(LogCount("InitUpdateEROM err\r\n"), 1u);

  // Everything matches, then the release fails: -1.
  std::vector<uint8_t> same = PatternBytes(65536, 7);
  Handheld().Write(Area::OS, same.data(), same.size());
  Handheld().Write(Area::GSM, same.data(), same.size());
  Handheld().Write(Area::EXTROM, same.data(), same.size());
  cesim::FailControl(fd::kPartKey, 51, fd::kRemoveKey, 0, 3);
  EXPECT_EQ(CmpOSwithSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(CmpGSMwithSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(CmpGSMFFS(Sd("img.bin").c_str()), -1);
  EXPECT_EQ(LogCount("DeInitUpdateOS err\r\n"), 1u);
  EXPECT_EQ(LogCount("DeInitUpdateGSM err\r\n"), 1u);
  EXPECT_EQ(LogCount("DeInitCmpGSMFFS err\r\n"), 1u);
  cesim::ClearDebugOutput();
  cesim::FailDeviceOpen(u"DSK2:", 2, 1);  // init, one chunk read, then the release
  EXPECT_EQ(CmpEROMwithSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("CmpEROMwithSD err\r\n"), 1u);
}

TEST_F(SdCompareTest, AFileThatEndsEarlyEndsTheCompare) {
  auto image = PatternBytes(2 * 65536, 8);
  Flash(Area::EXTROM, image);
  PutOnSd("img.bin", image);
  int progress = 0;
  cesim::LimitFileReads(65536);
  EXPECT_EQ(CmpEROMwithSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(progress, 50);
  EXPECT_EQ(LogCount("differences"), 0u);
}

}  // namespace
