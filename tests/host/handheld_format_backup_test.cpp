// The virtual handheld's format and backup exchanges: what the host receives, and what the storage
// holds afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "handheld_client.h"
#include "test_support.h"
#include "virtual_handheld.h"

namespace {

using handheld::Area;
using handheld_test::Command;
using handheld_test::FormatCommand;
using handheld_test::Frame;
using handheld_test::HostClient;
using handheld_test::Le32;
using testing_support::PatternBytes;

class HandheldFormatBackup : public handheld_test::HandheldOnPty {
 protected:
  void Put(Area area, const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(device_->GetStorage().Write(area, bytes.data(), bytes.size()));
  }

  // Sends a command and reads the "FF112254" completion.
  Frame Exchange(const Frame& command) {
    Frame done{};
    EXPECT_TRUE(host_->SendFrame(command));
    EXPECT_TRUE(host_->ReceiveFrame(&done));
    EXPECT_EQ(handheld_test::CodeOf(done), "FF112254");
    return done;
  }
};

TEST_F(HandheldFormatBackup, FormatSetsTheNamedAreasAndErasesThemOnly) {
  Put(Area::GSM, PatternBytes(5000, 1));
  Put(Area::OS, PatternBytes(5000, 2));
  Put(Area::EXTROM, PatternBytes(5000, 3));
  Put(Area::IPL, PatternBytes(500, 4));
  // GSM and OS named, EBOOT, IPL and EXTROM left at zero.
  Frame cmd = FormatCommand("FF112253", {5000000, 0, 0, 30000000, 0});
  Exchange(cmd);
  EXPECT_TRUE(host_->Quiet(100));  // type 0: no data after the completion
  auto& storage = device_->GetStorage();
  // Partitions are whole 64 KiB blocks, and GSM at least the 5 MiB its backup reads.
  EXPECT_EQ(storage.Capacity(Area::GSM), 5242880u);
  EXPECT_EQ(storage.Capacity(Area::OS), 458u * 65536);
  EXPECT_EQ(storage.StoredLength(Area::GSM), 0u);
  EXPECT_EQ(storage.StoredLength(Area::OS), 0u);
  EXPECT_EQ(storage.Read(Area::EXTROM), PatternBytes(5000, 3));
  EXPECT_EQ(storage.Read(Area::IPL), PatternBytes(500, 4));
  EXPECT_EQ(storage.Capacity(Area::EXTROM), handheld::kDefaultExtRomCapacity);
  auto sizes = device_->LastFormatSizes();
  EXPECT_TRUE(std::equal(sizes.begin(), sizes.end(), cmd.begin() + 8));
  EXPECT_EQ(device_->FormatCount(), 1u);
}

// An area that cannot be formatted (no staging directory to write it through) gets no completion: the
// handheld drops the link, and the area keeps what it held.
TEST_F(HandheldFormatBackup, AFormatThatCannotEraseItsAreaIsNotReportedDone) {
  Put(Area::OS, PatternBytes(7000, 2));
  std::filesystem::remove_all(dir_.path() + "/hh/.staging");
  testing_support::WriteFileBytes(dir_.path() + "/hh/.staging", {1});
  const Frame command = FormatCommand("FF112253", {0, 0, 0, 7000000, 0});
  ASSERT_TRUE(host_->Write(command.data(), command.size()));
  // The command's acknowledgement may go with the link; nothing more comes.
  uint8_t answer[5];
  EXPECT_LE(host_->Read(answer, sizeof answer, 3000), 4u);
  EXPECT_TRUE(host_->eof()) << "the link is dropped";
  EXPECT_EQ(device_->FramesSent(), 0u);
  EXPECT_EQ(device_->GetStorage().Read(Area::OS), PatternBytes(7000, 2));
  EXPECT_EQ(device_->FormatCount(), 0u);
  auto log = device_->Log();
  EXPECT_NE(std::find(log.begin(), log.end(), "format type 0: formatting OS failed, the format is not done; the link "
                                              "is dropped"),
            log.end());
}

TEST_F(HandheldFormatBackup, FormatGivesBootAreasTheImageSizeAndWholeBlocksStayAsTheyAre) {
  Exchange(FormatCommand("FF112253", {6291456, 393216, 131073, 7 * 65536, 2u << 20}));
  auto& storage = device_->GetStorage();
  EXPECT_EQ(storage.Capacity(Area::GSM), 6291456u);
  EXPECT_EQ(storage.Capacity(Area::EBOOT), 393216u);  // bytes of image, as the host flashes them
  EXPECT_EQ(storage.Capacity(Area::IPL), 131073u);
  EXPECT_EQ(storage.Capacity(Area::OS), 7u * 65536);
  EXPECT_EQ(storage.Capacity(Area::EXTROM), 2u << 20);
}

TEST_F(HandheldFormatBackup, FormatTypeThreeSendsTheGsmFfsAreaAsItWasBefore) {
  auto gsm = PatternBytes(70000, 5);
  Put(Area::GSM, gsm);
  Exchange(FormatCommand("FF112257", {3000000, 0, 0, 0, 0}));
  std::vector<uint8_t> backup;
  ASSERT_TRUE(host_->ReceiveData(65536, &backup));
  EXPECT_EQ(backup, std::vector<uint8_t>(gsm.begin(), gsm.begin() + 65536));
  EXPECT_TRUE(host_->Quiet(100));
  EXPECT_EQ(device_->FramesSent(), 1u + 44u);  // completion, 43 full frames and one of 176 bytes used
  EXPECT_EQ(device_->GetStorage().StoredLength(Area::GSM), 0u);
  // The last frame carries the area's last 176 bytes and zeros after them.
  auto events = handheld_test::RecordOf(*device_, 2 + 2 * 45);
  const auto& last = events[events.size() - 2];
  ASSERT_EQ(last.bytes.size(), 1520u);
  EXPECT_EQ(last.bytes[175], gsm[65535]);
  EXPECT_EQ(last.bytes[176], 0);
}

TEST_F(HandheldFormatBackup, FormatTypeThreeOfAnUnwrittenGsmSendsErasedFlash) {
  Exchange(FormatCommand("FF112257", {0, 0, 0, 0, 0}));
  std::vector<uint8_t> backup;
  ASSERT_TRUE(host_->ReceiveData(65536, &backup));
  EXPECT_EQ(backup, std::vector<uint8_t>(65536, 0xFF));
}

TEST_F(HandheldFormatBackup, FormatTypeFourAndZeroCodeFramesAnswerWithTheCompletionOnly) {
  Put(Area::OS, PatternBytes(3000, 6));
  Exchange(FormatCommand("FF112264", {0, 0, 0, 0, 4000}));
  EXPECT_TRUE(host_->Quiet(100));
  EXPECT_EQ(device_->GetStorage().Capacity(Area::EXTROM), 65536u);
  // Format type 1: zero code, sizes present. Nothing is formatted; the host still gets its completion.
  Exchange(FormatCommand(nullptr, {0, 0, 0, 77, 0}));
  EXPECT_TRUE(host_->Quiet(100));
  EXPECT_EQ(device_->GetStorage().StoredLength(Area::OS), 3000u);
  EXPECT_NE(device_->GetStorage().Capacity(Area::OS), 77u);
  EXPECT_EQ(device_->FormatCount(), 1u);
  // An unknown backup type: an all-zero frame; completion with the sizes, no data.
  Frame done = Exchange(Frame{});
  EXPECT_EQ(Le32(&done[8]), 3000u);
  EXPECT_TRUE(host_->Quiet(100));
}

TEST_F(HandheldFormatBackup, CompletionCarriesTheStoredLengthsOfOsExtRomAndIpl) {
  Put(Area::OS, PatternBytes(3000, 1));
  Put(Area::EXTROM, PatternBytes(4500, 2));
  Put(Area::IPL, PatternBytes(1234, 3));
  Frame done = Exchange(Command("FF112260"));
  EXPECT_EQ(Le32(&done[8]), 3000u);
  EXPECT_EQ(Le32(&done[12]), 4500u);
  EXPECT_EQ(Le32(&done[16]), 1234u);
  for (size_t i = 20; i < done.size(); ++i) ASSERT_EQ(done[i], 0) << i;
}

TEST_F(HandheldFormatBackup, EachBackupTypeSendsItsPartitionByteForByte) {
  auto eboot = PatternBytes(200000, 1);
  auto ipl = PatternBytes(1234, 2);
  auto os = PatternBytes(3000, 3);
  auto gsm = PatternBytes(100000, 4);
  auto ext = PatternBytes(4560, 5);  // exactly three frames
  Put(Area::EBOOT, eboot);
  Put(Area::IPL, ipl);
  Put(Area::OS, os);
  Put(Area::GSM, gsm);
  Put(Area::EXTROM, ext);
  auto erased_beyond = [](std::vector<uint8_t> bytes, size_t size) {
    bytes.resize(size, 0xFF);
    return bytes;
  };
  struct Case {
    const char* code;
    size_t size;
    std::vector<uint8_t> expected;
  } cases[] = {{"FF112261", 393216, erased_beyond(eboot, 393216)},
               {"FF112260", ipl.size(), ipl},
               {"FF112259", os.size(), os},
               {"FF112258", 5242880, erased_beyond(gsm, 5242880)},
               {"FF112262", ext.size(), ext}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    uint32_t sent_before = device_->FramesSent();
    Exchange(Command(c.code));
    std::vector<uint8_t> data;
    ASSERT_TRUE(host_->ReceiveData(c.size, &data));
    EXPECT_TRUE(data == c.expected);
    EXPECT_TRUE(host_->Quiet(50));
    EXPECT_EQ(device_->FramesSent() - sent_before, 1 + (c.size + 1519) / 1520);
  }
}

TEST_F(HandheldFormatBackup, BackupOfAnEmptyPartitionSendsNoDataFrame) {
  Frame done = Exchange(Command("FF112259"));
  EXPECT_EQ(Le32(&done[8]), 0u);
  EXPECT_TRUE(host_->Quiet(100));
  // And the link is still in step.
  ASSERT_TRUE(host_->SendFrame(Command("FF112266")));
  EXPECT_EQ(device_->Flag(), 1);
}

TEST_F(HandheldFormatBackup, EbootBackupCutsALongerStoredAreaToItsFixedSize) {
  auto eboot = PatternBytes(400000, 8);
  Put(Area::EBOOT, eboot);
  Exchange(Command("FF112261"));
  std::vector<uint8_t> data;
  ASSERT_TRUE(host_->ReceiveData(393216, &data));
  EXPECT_EQ(data, std::vector<uint8_t>(eboot.begin(), eboot.begin() + 393216));
  EXPECT_TRUE(host_->Quiet(100));
}

TEST_F(HandheldFormatBackup, AFormatFollowedByFlashingFillsTheNewlySizedArea) {
  Exchange(FormatCommand("FF112253", {0, 0, 0, 7000000, 0}));
  auto image = PatternBytes(7000000, 9);
  ASSERT_TRUE(host_->SendFrame(Command("FF112246", 7000000)));
  ASSERT_TRUE(host_->SendImage(image));
  Frame done;
  ASSERT_TRUE(host_->ReceiveFrame(&done));
  EXPECT_EQ(handheld_test::CodeOf(done), "FF112248");
  EXPECT_TRUE(device_->GetStorage().Read(Area::OS) == image);
}

}  // namespace
