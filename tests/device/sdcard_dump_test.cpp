// SD-card dumps and the GSMFFS backup: exact file sizes and contents, the extended ROM's size query, a
// partition that is not a whole number of chunks, and every failure path.
#include "device_fixture.h"
#include "flashdisk.h"
#include "sdcard.h"

namespace fd = handheld::flashdisk;
using handheld::Area;
using testing_support::PatternBytes;

namespace {

class SdDumpTest : public DeviceTest {};

TEST_F(SdDumpTest, DumpGSMtoSDWritesTheFirstFiveMegabytesOfGsm) {
  auto gsm = PatternBytes(0x500000 + 4096, 1);
  ASSERT_TRUE(Handheld().Write(Area::GSM, gsm.data(), gsm.size()));
  PutOnSd("gsm.dump", PatternBytes(0x600000, 2));  // an existing file is overwritten
  int progress = 0;
  ASSERT_EQ(DumpGSMtoSD(Sd("gsm.dump").c_str(), &progress), 0);
  EXPECT_EQ(progress, 100);
  auto dumped = FromSd("gsm.dump");
  ASSERT_EQ(dumped.size(), 0x500000u);
  EXPECT_TRUE(std::equal(dumped.begin(), dumped.end(), gsm.begin()));
  EXPECT_FALSE(OnSd("gsm.dump.partial"));
  EXPECT_FALSE(OnSd("gsm.dump.old"));
  auto reads = Controls(fd::kReadSectors);
  ASSERT_EQ(reads.size(), 80u);
  EXPECT_EQ(Le32(reads.back().input, 4), 10240u - 128u);
  EXPECT_EQ(Log().rfind("DumpGSMtoSD \\Storage Card\\gsm.dump\r\nopen file ok\r\nFile Size 5242880\r\n", 0), 0u);
  EXPECT_EQ(LogCount("File Size 5242880\r\n"), 1u);
  EXPECT_EQ(LogCount("DumpGSMwithSD cur "), 5u);
  EXPECT_EQ(LogCount("DumpGSMwithSD cur 2048 flashed 128 sector read file 1048576\r\n"), 1u);
  EXPECT_EQ(LogCount("nHaveRead=5242880\tnFileSize=5242880\tPercentage= 100\r\n"), 1u);
  EXPECT_FALSE(Driver().PartKeyInserted(1));
  // A "<path>.old" beside the earlier file (a copy the user kept) neither stops the next dump nor is
  // removed by it: the earlier file goes aside under the next free name, which is gone afterwards.
  PutOnSd("gsm.dump.old", PatternBytes(100, 3));
  ASSERT_EQ(DumpGSMtoSD(Sd("gsm.dump").c_str(), &progress), 0);
  EXPECT_EQ(FromSd("gsm.dump").size(), 0x500000u);
  EXPECT_EQ(FromSd("gsm.dump.old"), PatternBytes(100, 3));
  EXPECT_FALSE(OnSd("gsm.dump.old2"));
}

TEST_F(SdDumpTest, GetGsmFFSDumpsTheAreaAndStoresNoProgress) {
  auto gsm = PatternBytes(0x20000, 3);
  ASSERT_TRUE(Handheld().Write(Area::GSM, gsm.data(), gsm.size()));
  ASSERT_EQ(GetGsmFFS(Sd("ffs.bin").c_str()), 0);
  EXPECT_EQ(FromSd("ffs.bin"), std::vector<uint8_t>(gsm.begin(), gsm.begin() + 65536));
  EXPECT_EQ(LogCount("GetGsmFFScur 0 flashed 128 sector read file 0\r\n"), 1u);
  EXPECT_EQ(LogCount("Percentage= 100\r\n"), 1u);
}

TEST_F(SdDumpTest, DumpEROMtoSDDumpsExactlyThePartitionSize) {
  const uint32_t size = 3 * 65536 + 1536;  // not a whole number of chunks
  ASSERT_TRUE(Handheld().SetCapacity(Area::EXTROM, size));
  auto erom = PatternBytes(size, 4);
  ASSERT_TRUE(Handheld().Write(Area::EXTROM, erom.data(), erom.size()));
  int progress = 0;
  ASSERT_EQ(DumpEROMtoSD(Sd("erom.bin").c_str(), &progress), 0);
  EXPECT_EQ(FromSd("erom.bin"), erom);
  EXPECT_EQ(progress, 100);
  auto reads = Controls(fd::kReadSectors);
  ASSERT_EQ(reads.size(), 4u);
  EXPECT_EQ(Le32(reads.back().input, 8), 3u);
  EXPECT_EQ(LogCount("File Size 198144\r\n"), 1u);
  // The size query: mount and disk information on DSK2, before the dump's own init.
  EXPECT_EQ(Driver().Record()[0].code, fd::kMountVolume);
  EXPECT_EQ(Driver().Record()[1].code, fd::kGetInfo);
  EXPECT_EQ(Driver().Record()[0].device, 2);

  // The default capacity: whole chunks, 16 MB.
  ASSERT_TRUE(Handheld().SetCapacity(Area::EXTROM, 16u << 20));
  ASSERT_EQ(DumpEROMtoSD(Sd("erom16.bin").c_str(), &progress), 0);
  auto big = FromSd("erom16.bin");
  ASSERT_EQ(big.size(), 16u << 20);
  EXPECT_TRUE(std::equal(erom.begin(), erom.end(), big.begin()));
  EXPECT_EQ(big.back(), 0xFF);
}

TEST_F(SdDumpTest, DumpEROMtoSDSizeQueryFailures) {
  int progress = 0;
  cesim::FailDeviceOpen(u"DSK2:", 0, 1);
  EXPECT_EQ(DumpEROMtoSD(Sd("erom.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("DumpEROMtoSD:CreateFile(DSK) failed\r\n"), 1u);
  cesim::FailControl(fd::kMountVolume, 14, -1, 0, 1);
  EXPECT_EQ(DumpEROMtoSD(Sd("erom.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("DumpEROMtoSD:FL_IOCTL_MOUNT_VOLUME_FH fail with statu=14\r\n"), 1u);
  cesim::FailControl(fd::kGetInfo, 15, -1, 0, 1);
  EXPECT_EQ(DumpEROMtoSD(Sd("erom.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("DumpEROMtoSD:FL_IOCTL_GET_INFO fail with statu=15\r\n"), 1u);
  EXPECT_EQ(LogCount("File Size"), 0u);
  EXPECT_EQ(Controls(fd::kReadSectors).size(), 0u);
  // A failed control with status 0 counts as success.
  ASSERT_TRUE(Handheld().SetCapacity(Area::EXTROM, 65536));
  cesim::FailControl(fd::kGetInfo, 0, -1, 0, 1, /*perform=*/true);
  EXPECT_EQ(DumpEROMtoSD(Sd("erom.bin").c_str(), &progress), 0);
  EXPECT_EQ(FromSd("erom.bin").size(), 65536u);

  // A partition of no sectors, or a status-0 failure that filled nothing in, dumps nothing: the earlier
  // dump is not replaced by an empty file.
  const auto earlier = FromSd("erom.bin");
  cesim::FailControl(fd::kGetInfo, 0, -1, 0, 1);
  EXPECT_EQ(DumpEROMtoSD(Sd("erom.bin").c_str(), &progress), -1);
  ASSERT_TRUE(Handheld().SetCapacity(Area::EXTROM, 0));
  EXPECT_EQ(DumpEROMtoSD(Sd("erom.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("DumpEROMtoSD:FL_IOCTL_GET_INFO reports no sectors, nothing to dump\r\n"), 2u);
  // Nor does a partition of 4 GiB, whose size the dump's 32-bit count would wrap to 0.
  ASSERT_TRUE(Handheld().SetCapacity(Area::EXTROM, 4ull << 30));
  EXPECT_EQ(DumpEROMtoSD(Sd("erom.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("DumpEROMtoSD:FL_IOCTL_GET_INFO reports 8388608 sectors, more than a dump can hold\r\n"), 1u);
  EXPECT_FALSE(Driver().PartKeyInserted(2));
  EXPECT_FALSE(OnSd("erom.bin.partial"));
}

TEST_F(SdDumpTest, DumpFailures) {
  int progress = 0;
  EXPECT_EQ(DumpGSMtoSD(u"\\Storage Card\\no_such_dir\\gsm.bin", &progress), -1);
  EXPECT_EQ(LogCount("open file fail\r\n"), 1u);
  // No path at all: the same failure, and nothing is made on the card or asked of the flash disk.
  EXPECT_EQ(DumpGSMtoSD(nullptr, &progress), -1);
  EXPECT_EQ(GetGsmFFS(nullptr), -1);
  EXPECT_EQ(DumpEROMtoSD(nullptr, &progress), -1);
  EXPECT_EQ(LogCount("open file fail\r\n"), 4u);
  EXPECT_EQ(LogCount("(null)"), 0u) << "no null string reaches the debug output";
  cesim::FailAllocation(0, 1);
  EXPECT_EQ(GetGsmFFS(Sd("ffs.bin").c_str()), -1);
  EXPECT_EQ(LogCount("allocate memory fail\r\n"), 1u);
  EXPECT_TRUE(Driver().Record().empty());

  // An earlier dump of the same name outlives a dump that fails.
  PutOnSd("ffs.bin", PatternBytes(65536, 7));
  cesim::FailControl(fd::kPartKey, 108, fd::kInsertKey, 0, 2);
  EXPECT_EQ(DumpGSMtoSD(Sd("gsm.bin").c_str(), &progress), -1);
  EXPECT_EQ(GetGsmFFS(Sd("ffs.bin").c_str()), -1);
  EXPECT_EQ(FromSd("ffs.bin"), PatternBytes(65536, 7));
  EXPECT_FALSE(OnSd("ffs.bin.partial"));
  EXPECT_FALSE(OnSd("gsm.bin"));
  EXPECT_EQ(LogCount("InitDumpGSMtoSD err\r\n"), 1u);
  EXPECT_EQ(LogCount("InitGetGsmFFS err\r\n"), 1u);
  ASSERT_TRUE(Handheld().SetCapacity(Area::EXTROM, 4 * 65536));
  cesim::FailDeviceOpen(u"DSK2:", 1, 1);  // the size query's open passes, the init's fails
  EXPECT_EQ(DumpEROMtoSD(Sd("erom.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("InitUpdateEROM err\r\n"), 1u);

  cesim::FailControl(fd::kReadSectors, 16, -1, 2, 3);
  EXPECT_EQ(DumpGSMtoSD(Sd("gsm.bin").c_str(), &progress), -1);
  EXPECT_EQ(progress, 2);  // 131072 of 5242880 bytes
  EXPECT_FALSE(OnSd("gsm.bin"));  // what was read is not left as a dump
  EXPECT_FALSE(OnSd("gsm.bin.partial"));
  EXPECT_EQ(LogCount("DumpGSMwithSD err\r\n"), 1u);
  EXPECT_EQ(GetGsmFFS(Sd("ffs.bin").c_str()), -1);
  EXPECT_EQ(LogCount("\nGetGsmFFS err\r\n"), 1u);
  EXPECT_EQ(DumpEROMtoSD(Sd("erom.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("LoaddateEROMWithSectors err\r\n"), 1u);
  // A read that fails with status 0 moved no sectors: the chunk would be stored as erased bytes.
  cesim::FailControl(fd::kReadSectors, 0, -1, 3, 1);
  EXPECT_EQ(DumpGSMtoSD(Sd("gsm.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("DumpGSMwithSD err\r\n"), 2u);
  EXPECT_FALSE(OnSd("gsm.bin"));
  cesim::FailControl(fd::kReadSectors, 0, -1, 0, 1);
  EXPECT_EQ(GetGsmFFS(Sd("ffs.bin").c_str()), -1);
  EXPECT_EQ(FromSd("ffs.bin"), PatternBytes(65536, 7));

  cesim::FailControl(fd::kPartKey, 52, fd::kRemoveKey, 0, 2);
  EXPECT_EQ(GetGsmFFS(Sd("ffs.bin").c_str()), -1);
  EXPECT_EQ(LogCount("\nGetGsmFFS err\r\n"), 3u);
  EXPECT_EQ(DumpGSMtoSD(Sd("gsm.bin").c_str(), &progress), -1);
  EXPECT_EQ(progress, 100);
  EXPECT_EQ(LogCount("DeInitUpdateGSM err\r\n"), 1u);
  EXPECT_FALSE(OnSd("gsm.bin"));
  cesim::FailDeviceOpen(u"DSK2:", 6, 1);  // size query, init, four chunk reads, then the release
  EXPECT_EQ(DumpEROMtoSD(Sd("erom.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("DeInitUpdateEROM err\r\n"), 1u);
}

// The earlier file goes before the dump takes its name; when the rename then fails, the whole dump just
// read stays under its partial name, which the message gives, instead of both files being lost.
TEST_F(SdDumpTest, ADumpThatCannotTakeItsNameIsKeptWhole) {
  auto gsm = PatternBytes(0x500000, 5);
  ASSERT_TRUE(Handheld().Write(Area::GSM, gsm.data(), gsm.size()));
  PutOnSd("gsm.bin", PatternBytes(1000, 6));
  cesim::FailFileMoves();
  int progress = 0;
  EXPECT_EQ(DumpGSMtoSD(Sd("gsm.bin").c_str(), &progress), -1);
  EXPECT_EQ(FromSd("gsm.bin.partial"), gsm);
  EXPECT_EQ(FromSd("gsm.bin"), PatternBytes(1000, 6));
  EXPECT_EQ(LogCount("the dump could not take the name \\Storage Card\\gsm.bin; it is kept whole as "
                     "\\Storage Card\\gsm.bin.partial\r\n"),
            1u);

  // The earlier file moved aside takes its name back when the dump cannot have it (the first move fails
  // because the name is taken, the second moves the earlier file aside, the third fails).
  ASSERT_TRUE(DeleteSd("gsm.bin.partial"));
  cesim::FailFileMoves(2, 1);
  EXPECT_EQ(DumpGSMtoSD(Sd("gsm.bin").c_str(), &progress), -1);
  EXPECT_EQ(FromSd("gsm.bin"), PatternBytes(1000, 6));
  EXPECT_EQ(FromSd("gsm.bin.partial"), gsm);
  EXPECT_FALSE(OnSd("gsm.bin.old"));
  EXPECT_EQ(LogCount("it is kept whole as \\Storage Card\\gsm.bin.partial\r\n"), 2u);


  // When it cannot take its name back either, the message says where both are.
  ASSERT_TRUE(DeleteSd("gsm.bin.partial"));
  cesim::FailFileMoves(2, -1);
  EXPECT_EQ(DumpGSMtoSD(Sd("gsm.bin").c_str(), &progress), -1);
  EXPECT_EQ(FromSd("gsm.bin.old"), PatternBytes(1000, 6));
  EXPECT_EQ(FromSd("gsm.bin.partial"), gsm);
  EXPECT_EQ(LogCount("it is kept whole as \\Storage Card\\gsm.bin.partial, the earlier file as "
                     "\\Storage Card\\gsm.bin.old\r\n"),
            1u);
}

// A dump kept whole under its partial name may be the only copy of it: later dumps of the same path, one
// that fails and one that succeeds, work under the next free partial name and never write over it.
TEST_F(SdDumpTest, ADumpKeptUnderItsPartialNameOutlivesLaterDumps) {
  const auto gsm = PatternBytes(0x500000, 11);
  ASSERT_TRUE(Handheld().Write(Area::GSM, gsm.data(), gsm.size()));
  PutOnSd("gsm.bin", PatternBytes(1000, 12));
  cesim::FailFileMoves(0, 2);  // the dump's rename, then the earlier file's move aside
  int progress = 0;
  ASSERT_EQ(DumpGSMtoSD(Sd("gsm.bin").c_str(), &progress), -1);
  ASSERT_EQ(FromSd("gsm.bin.partial"), gsm);

  cesim::FailControl(fd::kPartKey, 108, fd::kInsertKey, 0, 1);
  EXPECT_EQ(DumpGSMtoSD(Sd("gsm.bin").c_str(), &progress), -1);
  EXPECT_EQ(FromSd("gsm.bin.partial"), gsm);
  EXPECT_FALSE(OnSd("gsm.bin.partial2"));

  const auto later = PatternBytes(0x500000, 13);
  ASSERT_TRUE(Handheld().Write(Area::GSM, later.data(), later.size()));
  ASSERT_EQ(DumpGSMtoSD(Sd("gsm.bin").c_str(), &progress), 0);
  EXPECT_EQ(FromSd("gsm.bin"), later);
  EXPECT_EQ(FromSd("gsm.bin.partial"), gsm);
  EXPECT_FALSE(OnSd("gsm.bin.partial2"));
  EXPECT_FALSE(OnSd("gsm.bin.old"));

  // With every working name taken the dump does not start: the card and the flash disk are untouched.
  for (int n = 2; n <= 9; ++n) PutOnSd("gsm.bin.partial" + std::to_string(n), PatternBytes(10, n));
  const size_t keys = Controls(fd::kPartKey).size();
  EXPECT_EQ(DumpGSMtoSD(Sd("gsm.bin").c_str(), &progress), -1);
  EXPECT_EQ(LogCount("open file fail\r\n\\Storage Card\\gsm.bin.partial to \\Storage Card\\gsm.bin.partial9 all "
                     "hold earlier dumps; move them off the card to dump again\r\n"),
            1u);
  EXPECT_EQ(Controls(fd::kPartKey).size(), keys);
  EXPECT_EQ(FromSd("gsm.bin"), later);
  EXPECT_EQ(FromSd("gsm.bin.partial"), gsm);
  EXPECT_EQ(FromSd("gsm.bin.partial9"), PatternBytes(10, 9));
}

// The earlier dump is touched only once the new one is known to be on the card.
TEST_F(SdDumpTest, ADumpThatCannotBeFlushedLeavesTheEarlierFile) {
  PutOnSd("ffs.bin", PatternBytes(65536, 8));
  cesim::SetFileFlushFails(true);
  EXPECT_EQ(GetGsmFFS(Sd("ffs.bin").c_str()), -1);
  EXPECT_EQ(FromSd("ffs.bin"), PatternBytes(65536, 8));
  EXPECT_FALSE(OnSd("ffs.bin.partial"));
  EXPECT_EQ(LogCount("the dump could not be written out to the card; \\Storage Card\\ffs.bin is left as it "
                     "was\r\n"),
            1u);
}

TEST_F(SdDumpTest, AShortWriteEndsTheDump) {
  int progress = 0;
  cesim::LimitFileWrites(65536 + 1000);
  EXPECT_EQ(DumpGSMtoSD(Sd("gsm.bin").c_str(), &progress), -1);
  EXPECT_FALSE(OnSd("gsm.bin"));
  EXPECT_FALSE(OnSd("gsm.bin.partial"));
  EXPECT_EQ(Controls(fd::kReadSectors).size(), 2u);
  EXPECT_EQ(Controls(fd::kPartKey, fd::kRemoveKey).size(), 0u);
}

TEST_F(SdDumpTest, BackupGsmFFSCopiesTheAreaIntoCfg) {
  auto gsm = PatternBytes(0x20000, 5);
  ASSERT_TRUE(Handheld().Write(Area::GSM, gsm.data(), gsm.size()));
  ASSERT_EQ(BackupGsmFFS(), 0);
  EXPECT_EQ(Handheld().Read(Area::CFG), std::vector<uint8_t>(gsm.begin(), gsm.begin() + 65536));
  EXPECT_EQ(Log().rfind("BackupGsmFFS\r\nFile Size 65536\r\nCreateFile(DSK) ok\r\n", 0), 0u);
  EXPECT_EQ(LogCount("GetGsmFFScur 0 flashed 128 sector read file 0\r\n"), 1u);
  EXPECT_EQ(LogCount("nHaveRead=0\tnFileSize=65536\t\r\n"), 1u);
  EXPECT_EQ(LogCount("WriteCFG: flash done\r\n"), 1u);
  EXPECT_FALSE(Driver().PartKeyInserted(1));
}

TEST_F(SdDumpTest, BackupGsmFFSFailures) {
  cesim::FailAllocation(0, 1);
  EXPECT_EQ(BackupGsmFFS(), -1);
  EXPECT_EQ(LogCount("allocate memory fail\r\n"), 1u);
  cesim::FailControl(fd::kPartKey, 108, fd::kInsertKey, 0, 1);
  EXPECT_EQ(BackupGsmFFS(), -1);
  EXPECT_EQ(LogCount("InitGetGsmFFS err\r\n"), 1u);
  cesim::FailControl(fd::kReadSectors, 17, -1, 0, 1);
  EXPECT_EQ(BackupGsmFFS(), -1);
  EXPECT_EQ(LogCount("\nGetGsmFFS err\r\n"), 1u);
  cesim::FailControl(fd::kBootAreaOp, 18, fd::kBdkInitWrite, 0, 1);
  EXPECT_EQ(BackupGsmFFS(), -1);
  EXPECT_EQ(LogCount("WriteCFG: BDK_INIT_WRITE failed\r\n"), 1u);
  EXPECT_EQ(LogCount("nHaveRead="), 0u);
  EXPECT_TRUE(Driver().PartKeyInserted(1));
  cesim::FailControl(fd::kPartKey, 53, fd::kRemoveKey, 0, 1);
  EXPECT_EQ(BackupGsmFFS(), -1);
  EXPECT_EQ(LogCount("\nGetGsmFFS err\r\n"), 2u);
  EXPECT_EQ(LogCount("nHaveRead=0\tnFileSize=65536\t\r\n"), 1u);
}

}  // namespace
