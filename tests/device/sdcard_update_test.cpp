// SD-card updates: boot areas from whole files, partitions chunk by chunk; progress, the GSMFFS skip and
// every failure path.
#include "device_fixture.h"
#include "flashdisk.h"
#include "sdcard.h"

namespace fd = handheld::flashdisk;
using handheld::Area;
using testing_support::PatternBytes;

namespace {

class SdUpdateTest : public DeviceTest {
 protected:
  // The percentages of the progress lines, in order.
  std::vector<int> Percentages() const {
    std::vector<int> out;
    const std::string log = Log();
    const std::string key = "Percentage= ";
    for (size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1)) {
      out.push_back(std::stoi(log.substr(at + key.size())));
    }
    return out;
  }
};

TEST_F(SdUpdateTest, FlashOSFromSDWritesWholeChunksPaddedWithErasedBytes) {
  auto image = PatternBytes(100000, 1);
  PutOnSd("os.nb0", image);
  int progress = -5;
  ASSERT_EQ(FlashOSFromSD(Sd("os.nb0").c_str(), &progress), 0);
  EXPECT_EQ(progress, 100);
  auto writes = Controls(fd::kWriteSectors);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(Le32(writes[1].input, 4), 128u);
  EXPECT_EQ(Le32(writes[1].input, 8), 128u);
  auto flash = PartitionBytes(Area::OS, 0, 131072);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
  EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 100000, flash.end()), std::vector<uint8_t>(31072, 0xFF));
  EXPECT_EQ(Handheld().StoredLength(Area::OS), 131072u);
  EXPECT_FALSE(Driver().PartKeyInserted(0));
  const std::string expected_start =
      "FlashOSFromSD \\Storage Card\\os.nb0\r\nopen file ok\r\nFile Size 100000\r\n";
  EXPECT_EQ(Log().substr(0, expected_start.size()), expected_start);
  EXPECT_EQ(LogCount("nHaveRead=65536\tnFileSize=100000\tPercentage= 65\r\n"), 1u);
  EXPECT_EQ(LogCount("UpdateOSWithSectors cur 0 flashed 128 sector read file 65536\r\n"), 1u);
  EXPECT_EQ(LogCount("UpdateOSWithSectors cur 128"), 0u);
}

// A card that hands out a file in small reads: every chunk is still filled from the file before it goes
// out, so the image lands whole and in place, and compares equal read the same way.
TEST_F(SdUpdateTest, ShortReadsStillFillEveryChunk) {
  auto image = PatternBytes(3 * 65536 + 1000, 6);
  PutOnSd("os.nb0", image);
  cesim::ShortenFileReads(5000);
  int progress = 0;
  ASSERT_EQ(FlashOSFromSD(Sd("os.nb0").c_str(), &progress), 0);
  EXPECT_EQ(Controls(fd::kWriteSectors).size(), 4u);
  auto flash = PartitionBytes(Area::OS, 0, image.size());
  EXPECT_EQ(flash, image);
  EXPECT_EQ(CmpOSwithSD(Sd("os.nb0").c_str(), &progress), 0);
  PutOnSd("ipl.nb0", PatternBytes(20000, 7));
  ASSERT_EQ(FlashIPLFromSD(Sd("ipl.nb0").c_str(), &progress), 0);
  EXPECT_EQ(Handheld().Read(Area::IPL), PatternBytes(20000, 7));
}

// A card read that fails once in the middle of a chunk, the reads after it going on: the update ends
// there, rather than flash a chunk with a hole and every later chunk shifted by the hole's size while
// reporting success. A compare stops there too, rather than report the hole as a difference.
TEST_F(SdUpdateTest, AReadErrorInTheMiddleOfAChunkEndsTheUpdate) {
  auto image = PatternBytes(3 * 65536, 14);
  PutOnSd("os.nb0", image);
  int progress = 0;
  cesim::ShortenFileReads(30000);
  cesim::FailFileReadAfter(65536 + 30000);
  EXPECT_EQ(FlashOSFromSD(Sd("os.nb0").c_str(), &progress), -1);
  EXPECT_EQ(Controls(fd::kWriteSectors).size(), 1u);
  EXPECT_EQ(PartitionBytes(Area::OS, 0, 65536), std::vector<uint8_t>(image.begin(), image.begin() + 65536));
  EXPECT_EQ(LogCount("UpdateOSWithSectors cur 128"), 0u);

  ASSERT_TRUE(Handheld().Write(Area::EXTROM, image.data(), image.size()));
  PutOnSd("erom.bin", image);
  cesim::FailFileReadAfter(30000);
  EXPECT_EQ(CmpEROMwithSD(Sd("erom.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("differences"), 0u);

  // The whole-image updates end on it too: the boot area is not written.
  PutOnSd("ipl.nb0", PatternBytes(20000, 15));
  cesim::FailFileReadAfter(8192 + 100);
  EXPECT_EQ(FlashIPLFromSD(Sd("ipl.nb0").c_str(), &progress), -1);
  EXPECT_EQ(Controls(fd::kBootAreaOp, fd::kBdkInitWrite).size(), 0u);
}

TEST_F(SdUpdateTest, PercentagesTruncateAndTheChunkLogComesEveryMegabyte) {
  PutOnSd("two.bin", PatternBytes(131072, 2));
  int progress = 0;
  ASSERT_EQ(FlashEROMFromSD(Sd("two.bin").c_str(), &progress), 0);
  EXPECT_EQ(Percentages(), (std::vector<int>{50, 100}));
  cesim::ClearDebugOutput();
  PutOnSd("three.bin", PatternBytes(3 * 65536, 3));
  ASSERT_EQ(FlashEROMFromSD(Sd("three.bin").c_str(), &progress), 0);
  EXPECT_EQ(Percentages(), (std::vector<int>{33, 66, 100}));

  cesim::ClearDebugOutput();
  PutOnSd("big.bin", PatternBytes(17 * 65536, 4));
  ASSERT_EQ(FlashEROMFromSD(Sd("big.bin").c_str(), &progress), 0);
  EXPECT_EQ(LogCount("UPdateEROMWithSectors cur "), 2u);
  EXPECT_EQ(LogCount("UPdateEROMWithSectors cur 2048 flashed 128 sector read file 1114112\r\n"), 1u);
  EXPECT_EQ(PartitionBytes(Area::EXTROM, 0, 17 * 65536), PatternBytes(17 * 65536, 4));
}

TEST_F(SdUpdateTest, FlashGSMFromSDLeavesTheGsmFfsArea) {
  std::vector<uint8_t> ffs(65536, 0x42);
  ASSERT_TRUE(Handheld().Write(Area::GSM, ffs.data(), ffs.size()));
  PutOnSd("ffs_only.bin", PatternBytes(65536, 5));
  int progress = 0;
  ASSERT_EQ(FlashGSMFromSD(Sd("ffs_only.bin").c_str(), &progress), 0);
  EXPECT_EQ(Controls(fd::kWriteSectors).size(), 0u);
  EXPECT_EQ(LogCount("GSMFFS is here. Skip the first 64k flash\r\n"), 1u);
  EXPECT_EQ(progress, 100);
  EXPECT_EQ(Controls(fd::kPartKey, fd::kRemoveKey).size(), 1u);

  auto image = PatternBytes(200000, 6);
  PutOnSd("gsm.bin", image);
  ASSERT_EQ(FlashGSMFromSD(Sd("gsm.bin").c_str(), &progress), 0);
  EXPECT_EQ(PartitionBytes(Area::GSM, 0, 65536), ffs);
  EXPECT_EQ(PartitionBytes(Area::GSM, 65536, 200000 - 65536),
            std::vector<uint8_t>(image.begin() + 65536, image.end()));
  auto writes = Controls(fd::kWriteSectors);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(Le32(writes[0].input, 4), 128u);
  // The first chunk was skipped, so the chunk log of cursor 0 is not printed.
  EXPECT_EQ(LogCount("UpdateGSMWithSectors cur"), 0u);
}

TEST_F(SdUpdateTest, FlashGsmFFSRewritesTheAreaAndStoresNoProgress) {
  auto image = PatternBytes(65536, 7);
  PutOnSd("ffs.bin", image);
  ASSERT_EQ(FlashGsmFFS(Sd("ffs.bin").c_str()), 0);
  EXPECT_EQ(PartitionBytes(Area::GSM, 0, 65536), image);
  EXPECT_EQ(LogCount("FlashGsmFFSWithSectors cur 0 flashed 128 sector read file 65536\r\n"), 1u);
  EXPECT_EQ(LogCount("Percentage= 100\r\n"), 1u);
}

TEST_F(SdUpdateTest, AnEmptyFileOnlyInitsAndReleases) {
  PutOnSd("empty.bin", {});
  int progress = 17;
  ASSERT_EQ(FlashOSFromSD(Sd("empty.bin").c_str(), &progress), 0);
  EXPECT_EQ(progress, 17);
  EXPECT_EQ(Controls(fd::kWriteSectors).size(), 0u);
  EXPECT_EQ(Controls(fd::kMountVolume).size(), 1u);
  EXPECT_EQ(Controls(fd::kPartKey, fd::kRemoveKey).size(), 1u);
}

TEST_F(SdUpdateTest, ChunkedUpdateFailures) {
  int progress = 0;
  EXPECT_EQ(FlashOSFromSD(Sd("missing.bin").c_str(), &progress), -1);
  EXPECT_EQ(Log(), "FlashOSFromSD \\Storage Card\\missing.bin\r\nopen file fail\r\n");
  EXPECT_TRUE(Driver().Record().empty());

  PutOnSd("img.bin", PatternBytes(3 * 65536, 8));
  cesim::ClearDebugOutput();
  cesim::FailAllocation(0, 1);
  EXPECT_EQ(FlashGSMFromSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("allocate memory fail\r\n"), 1u);
  EXPECT_TRUE(Driver().Record().empty());

  cesim::FailControl(fd::kPartKey, 108, fd::kInsertKey, 0, 3);
  EXPECT_EQ(FlashOSFromSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(FlashGSMFromSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(FlashGsmFFS(Sd("img.bin").c_str()), -1);
  EXPECT_EQ(LogCount("InitUpdateOS err\r\n"), 1u);
  EXPECT_EQ(LogCount("InitUpdateGSM err\r\n"), 1u);
  EXPECT_EQ(LogCount("InitFlashGsmFFS err\r\n"), 1u);
  cesim::FailControl(fd::kMountVolume, 3, -1, 0, 1);
  EXPECT_EQ(FlashEROMFromSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("InitUpdateEROM err\r\n"), 1u);
  EXPECT_EQ(Controls(fd::kWriteSectors).size(), 0u);

  // A failed chunk ends at once, without the release; the key stays in.
  cesim::FailControl(fd::kWriteSectors, 9, -1, 1, 4);
  EXPECT_EQ(FlashOSFromSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(progress, 66);
  EXPECT_EQ(LogCount("UpdateOSWithSectors err\r\n"), 1u);
  EXPECT_TRUE(Driver().PartKeyInserted(0));
  EXPECT_EQ(FlashGSMFromSD(Sd("img.bin").c_str(), &progress), -1);  // chunk 1 skipped, chunk 2 fails
  EXPECT_EQ(LogCount("UpdateGSMWithSectors err\r\n"), 1u);
  EXPECT_EQ(FlashEROMFromSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("UPdateEROMWithSectors err\r\n"), 1u);
  EXPECT_EQ(FlashGsmFFS(Sd("img.bin").c_str()), -1);
  EXPECT_EQ(LogCount("FlashGsmFFSWithSectors err\r\n"), 1u);
  // A write that fails with status 0 moved no sectors: the update does not go on as if it had.
  cesim::FailControl(fd::kWriteSectors, 0, -1, 1, 1);
  EXPECT_EQ(FlashOSFromSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("UpdateOSWithSectors err\r\n"), 2u);
  EXPECT_EQ(Controls(fd::kPartKey, fd::kRemoveKey).size(), 0u);

  cesim::FailControl(fd::kPartKey, 50, fd::kRemoveKey, 0, 3);
  EXPECT_EQ(FlashOSFromSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(FlashGSMFromSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(FlashGsmFFS(Sd("img.bin").c_str()), -1);
  EXPECT_EQ(LogCount("DeInitUpdateOS err\r\n"), 1u);
  EXPECT_EQ(LogCount("DeInitUpdateGSM err\r\n"), 1u);
  EXPECT_EQ(LogCount("DeInitFlashGsmFFS err\r\n"), 1u);
  // Partition 2 has no key to remove: its release fails only when the device cannot be opened.
  cesim::FailDeviceOpen(u"DSK2:", 4, 1);
  EXPECT_EQ(FlashEROMFromSD(Sd("img.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("DeInitUpdateEROM err\r\n"), 1u);
}

TEST_F(SdUpdateTest, AFileThatEndsEarlyEndsTheUpdate) {
  PutOnSd("img.bin", PatternBytes(3 * 65536, 9));
  int progress = 0;
  cesim::LimitFileReads(65536 + 100);
  EXPECT_EQ(FlashOSFromSD(Sd("img.bin").c_str(), &progress), -1);
  // The second piece cannot be filled: it is not written with erased bytes where the file's should be.
  EXPECT_EQ(Controls(fd::kWriteSectors).size(), 1u);
  EXPECT_EQ(Controls(fd::kPartKey, fd::kRemoveKey).size(), 0u);
  cesim::LimitFileReads(8192);
  PutOnSd("ipl.bin", PatternBytes(20000, 10));
  EXPECT_EQ(FlashIPLFromSD(Sd("ipl.bin").c_str(), &progress), -1);
  EXPECT_EQ(Controls(fd::kBootAreaOp, fd::kBdkInitWrite).size(), 0u);
}

TEST_F(SdUpdateTest, FlashIPLFromSDReadsInPiecesAndWritesTheImage) {
  auto image = PatternBytes(20000, 11);
  PutOnSd("ipl.nb0", image);
  int progress = 0;
  ASSERT_EQ(FlashIPLFromSD(Sd("ipl.nb0").c_str(), &progress), 0);
  EXPECT_EQ(Handheld().Read(Area::IPL), image);
  EXPECT_EQ(Percentages(), (std::vector<int>{40, 81, 100}));
  EXPECT_EQ(progress, 100);
  // The last block reaches past the file into the 0xFF padding of the rounded buffer.
  auto writes = Controls(fd::kBootAreaOp, fd::kBdkWrite);
  ASSERT_EQ(writes.size(), 20u);
  EXPECT_EQ(writes.back().payload[20000 - 19 * 1024], 0xFF);
  EXPECT_EQ(LogCount("WriteIPLCode: flash done\r\n"), 1u);

  cesim::ClearDebugOutput();
  cesim::FailControl(fd::kBootAreaOp, 4, fd::kBdkInitWrite, 0, 1);
  EXPECT_EQ(FlashIPLFromSD(Sd("ipl.nb0").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("WriteIPLCode\r\n"), 1u);

  // An empty file (a copy to the card that failed) would leave an IPL of no length: refused untouched.
  PutOnSd("empty.nb0", {});
  const size_t sent = Controls(fd::kBootAreaOp).size();
  EXPECT_EQ(FlashIPLFromSD(Sd("empty.nb0").c_str(), &progress), -1);
  EXPECT_EQ(Controls(fd::kBootAreaOp).size(), sent);
  EXPECT_EQ(Handheld().Read(Area::IPL), image);
  EXPECT_EQ(LogCount("empty file: the boot area is left as it is\r\n"), 1u);
}

TEST_F(SdUpdateTest, FlashEBOOTFromSDTakesOnlyTheExactImageSize) {
  int progress = 0;
  PutOnSd("eboot_short.nb0", PatternBytes(kEBootImageSize - 1, 12));
  EXPECT_EQ(FlashEBOOTFromSD(Sd("eboot_short.nb0").c_str(), &progress), -1);
  EXPECT_TRUE(Driver().Record().empty());
  EXPECT_EQ(progress, 100);  // the file was read whole before the writer refused it

  auto image = PatternBytes(kEBootImageSize, 13);
  PutOnSd("eboot.nb0", image);
  cesim::ClearDebugOutput();
  ASSERT_EQ(FlashEBOOTFromSD(Sd("eboot.nb0").c_str(), &progress), 0);
  EXPECT_EQ(Handheld().Read(Area::EBOOT), image);
  EXPECT_EQ(Percentages().size(), 48u);

  cesim::ClearDebugOutput();
  cesim::FailControl(fd::kBootAreaOp, 4, fd::kBdkWrite, 10, 1);
  EXPECT_EQ(FlashEBOOTFromSD(Sd("eboot.nb0").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("WriteEBootCode: BDK_WRITE failed 4\r\n"), 1u);

  cesim::ClearDebugOutput();
  cesim::FailAllocation(0, 1);
  EXPECT_EQ(FlashEBOOTFromSD(Sd("eboot.nb0").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("allocate memory fail\r\n"), 1u);
  EXPECT_EQ(FlashEBOOTFromSD(Sd("none.nb0").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("open file fail\r\n"), 1u);
}

// The capacities a host's format gives the areas for its images (7,000,000 bytes of OS, 3,000,000 of GSM,
// the EBOOT image): the device programs reach every byte of each in their own units, whole 64 KiB chunks
// and doubled EBOOT sectors, and the fixed 5 MiB of the GSM dump.
TEST_F(SdUpdateTest, AreasAsAHostFormatMadeThemTakeTheProgramsWholeChunks) {
  Handheld().SetCapacity(Area::OS, handheld::FormattedCapacity(Area::OS, 7000000));
  Handheld().SetCapacity(Area::GSM, handheld::FormattedCapacity(Area::GSM, 3000000));
  Handheld().SetCapacity(Area::EBOOT, handheld::FormattedCapacity(Area::EBOOT, kEBootImageSize));
  int progress = 0;
  auto os = PatternBytes(7000000, 14);
  PutOnSd("os.nb0", os);
  ASSERT_EQ(FlashOSFromSD(Sd("os.nb0").c_str(), &progress), 0);
  EXPECT_EQ(CmpOSwithSD(Sd("os.nb0").c_str(), &progress), 0);
  ASSERT_EQ(DumpGSMtoSD(Sd("gsm.dump").c_str(), &progress), 0);
  EXPECT_EQ(FromSd("gsm.dump").size(), 0x500000u);
  auto eboot = PatternBytes(kEBootImageSize, 15);
  PutOnSd("eboot.nb0", eboot);
  ASSERT_EQ(FlashEBOOTFromSD(Sd("eboot.nb0").c_str(), &progress), 0);
  EXPECT_EQ(Handheld().Read(Area::EBOOT), eboot);
}

}  // namespace
