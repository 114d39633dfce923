// The virtual handheld's flashing exchange and one-frame commands, driven by a raw host over the pty.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "handheld_client.h"
#include "test_support.h"
#include "virtual_handheld.h"

namespace {

using handheld::Area;
using handheld::WireEvent;
using handheld_test::Command;
using handheld_test::Frame;
using handheld_test::HostClient;
using testing_support::PatternBytes;
using Dir = WireEvent::Direction;
using Kind = WireEvent::Kind;

class HandheldFlashing : public handheld_test::HandheldOnPty {
 protected:
  // Flashes a payload with the given command and expects the completion.
  void Flash(const char* code, const std::vector<uint8_t>& payload) {
    ASSERT_TRUE(host_->SendFrame(Command(code, static_cast<uint32_t>(payload.size()))));
    ASSERT_TRUE(host_->SendImage(payload));
    Frame done;
    ASSERT_TRUE(host_->ReceiveFrame(&done));
    EXPECT_EQ(handheld_test::CodeOf(done), "FF112248");
    for (size_t i = 8; i < done.size(); ++i) ASSERT_EQ(done[i], 0) << "completion byte " << i;
  }
};

TEST_F(HandheldFlashing, EachFeatureCodeStoresExactlyThePayloadInItsArea) {
  struct Case {
    const char* code;
    Area area;
    size_t size;
  } cases[] = {{"FF112244", Area::EBOOT, 3000}, {"FF112245", Area::IPL, 7000}, {"FF112246", Area::GSM, 4000},
               {"FF112247", Area::ASSET, 225},  {"FF112263", Area::EXTROM, 10000}};
  uint32_t seed = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    auto payload = PatternBytes(c.size, seed++);
    Flash(c.code, payload);
    EXPECT_EQ(device_->GetStorage().Read(c.area), payload);
  }
}

TEST_F(HandheldFlashing, TransferSizesAtFrameBoundariesTakeTheTailFrame) {
  // 0, 1519 and 1520 bytes: one, one and two data frames; the padding never reaches the area.
  for (size_t size : {size_t{0}, size_t{1519}, size_t{1520}, size_t{3041}}) {
    SCOPED_TRACE(size);
    device_->ClearRecord();
    auto payload = PatternBytes(size, 7);
    Flash("FF112263", payload);
    EXPECT_EQ(device_->GetStorage().Read(Area::EXTROM), payload);
    EXPECT_EQ(device_->FramesReceived(), 1 + size / 1520 + 1);
  }
}

TEST_F(HandheldFlashing, FeatureThreeGoesToGsmUpToTheLimitAndToOsAbove) {
  std::vector<uint8_t> at_limit(6291456, 0x5A);
  Flash("FF112246", at_limit);
  EXPECT_EQ(device_->GetStorage().StoredLength(Area::GSM), 6291456u);
  EXPECT_EQ(device_->GetStorage().StoredLength(Area::OS), 0u);
  auto above = PatternBytes(6291457, 3);
  Flash("FF112246", above);
  EXPECT_EQ(device_->GetStorage().Read(Area::OS), above);
  EXPECT_EQ(device_->GetStorage().StoredLength(Area::GSM), 6291456u);
}

TEST_F(HandheldFlashing, ExchangeTimesRunFromTheCommandToTheCompletionsAcknowledgement) {
  using Clock = std::chrono::steady_clock;
  EXPECT_EQ(device_->FirstFrameReceivedAt(), Clock::time_point{});
  EXPECT_EQ(device_->LastAckReceivedAt(), Clock::time_point{});
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    device_->ClearRecord();
    EXPECT_EQ(device_->FirstFrameReceivedAt(), Clock::time_point{}) << "cleared with the record";
    EXPECT_EQ(device_->LastAckReceivedAt(), Clock::time_point{});
    const auto before = Clock::now();
    auto payload = PatternBytes(4000, 5);
    ASSERT_TRUE(host_->SendFrame(Command("FF112244", static_cast<uint32_t>(payload.size()))));
    const auto command_taken = Clock::now();
    ASSERT_TRUE(host_->SendImage(payload));
    const auto image_sent = Clock::now();
    Frame done;
    ASSERT_TRUE(host_->ReceiveFrame(&done));
    ASSERT_EQ(handheld_test::RecordOf(*device_, 10).size(), 10u);  // ... completion, host ack
    const auto after = Clock::now();
    // The start is the command's arrival, not a later frame's; the end the host's acknowledgement of
    // the completion, which comes after every data frame.
    EXPECT_GE(device_->FirstFrameReceivedAt(), before);
    EXPECT_LE(device_->FirstFrameReceivedAt(), command_taken);
    EXPECT_GE(device_->LastAckReceivedAt(), image_sent);
    EXPECT_LE(device_->LastAckReceivedAt(), after);
  }
}

TEST_F(HandheldFlashing, RecordHoldsEveryFrameAndAcknowledgementInOrder) {
  auto payload = PatternBytes(2000, 9);
  Flash("FF112244", payload);
  auto events = handheld_test::RecordOf(*device_, 8);
  // command, ack, data, ack, data, ack, completion, host ack
  ASSERT_EQ(events.size(), 8u);
  Frame cmd = Command("FF112244", 2000);
  EXPECT_EQ(events[0].direction, Dir::HostToDevice);
  EXPECT_EQ(events[0].kind, Kind::Frame);
  EXPECT_EQ(events[0].bytes, std::vector<uint8_t>(cmd.begin(), cmd.end()));
  for (size_t i = 1; i < 6; i += 2) {
    EXPECT_EQ(events[i].direction, Dir::DeviceToHost);
    EXPECT_EQ(events[i].kind, Kind::Ack);
    EXPECT_EQ(events[i].bytes.size(), 4u);
  }
  EXPECT_EQ(std::vector<uint8_t>(events[2].bytes.begin(), events[2].bytes.end()),
            std::vector<uint8_t>(payload.begin(), payload.begin() + 1520));
  EXPECT_EQ(events[4].bytes[479], payload[1999]);
  EXPECT_EQ(events[4].bytes[480], 0);
  EXPECT_EQ(events[6].direction, Dir::DeviceToHost);
  EXPECT_EQ(events[6].kind, Kind::Frame);
  EXPECT_EQ(std::string(events[6].bytes.begin(), events[6].bytes.begin() + 8), "FF112248");
  EXPECT_EQ(events[7].direction, Dir::HostToDevice);
  EXPECT_EQ(events[7].kind, Kind::Ack);
  EXPECT_EQ(device_->FramesReceived(), 3u);
  EXPECT_EQ(device_->FramesSent(), 1u);
}

// The host reads until the handheld's end goes away (bounded): true when it did.
bool HostSeesTheDeviceGone(HostClient& host) {
  uint8_t byte;
  host.Read(&byte, 1, 3000);
  return host.eof();
}

TEST_F(HandheldFlashing, ImageLargerThanItsAreaIsNotStoredAndTheLinkIsDropped) {
  auto& storage = device_->GetStorage();
  storage.SetCapacity(Area::EXTROM, 3000);
  auto old = PatternBytes(100, 4);
  storage.Write(Area::EXTROM, old.data(), old.size());
  ASSERT_TRUE(host_->SendFrame(Command("FF112263", 3001)));
  host_->SendImage(PatternBytes(3001, 5));  // the last acknowledgement may go with the link
  // No completion: the end goes away instead, as a device that resets.
  EXPECT_TRUE(HostSeesTheDeviceGone(*host_));
  EXPECT_EQ(device_->FramesSent(), 0u);
  EXPECT_EQ(storage.Read(Area::EXTROM), old);
  auto log = device_->Log();
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "EXTROM image of 3001 bytes exceeds the capacity of 3000: not stored; the link is dropped"),
            log.end());
  for (int i = 0; i < 200 && !device_->PtyPath().empty(); ++i) ::usleep(5000);
  EXPECT_EQ(device_->PtyPath(), "");
  // Served again, the handheld takes a fitting image.
  path_ = device_->StartPty();
  host_ = HostClient::OpenPty(path_);
  ASSERT_TRUE(host_);
  Flash("FF112263", PatternBytes(3000, 6));
  EXPECT_EQ(storage.StoredLength(Area::EXTROM), 3000u);
}

TEST_F(HandheldFlashing, EbootAreaTakesTheImageSizeOfItsBackupAndNoMore) {
  auto image = PatternBytes(393216, 7);
  Flash("FF112244", image);
  EXPECT_EQ(device_->GetStorage().Read(Area::EBOOT), image);
  ASSERT_TRUE(host_->SendFrame(Command("FF112244", 393217)));
  host_->SendImage(PatternBytes(393217, 8));
  EXPECT_TRUE(HostSeesTheDeviceGone(*host_));
  EXPECT_EQ(device_->GetStorage().Read(Area::EBOOT), image);
}

TEST_F(HandheldFlashing, AreaThatCannotBeWrittenDropsTheLink) {
  // The staging directory is a file: no image can be staged.
  testing_support::WriteFileBytes(dir_.path() + "/hh/.staging", {1});
  ASSERT_TRUE(host_->SendFrame(Command("FF112245", 2000)));
  host_->SendImage(PatternBytes(2000, 9));
  EXPECT_TRUE(HostSeesTheDeviceGone(*host_));
  EXPECT_EQ(device_->FramesSent(), 0u);
  EXPECT_EQ(device_->GetStorage().StoredLength(Area::IPL), 0u);
  auto log = device_->Log();
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "IPL image of 2000 bytes: writing the area failed, not stored; the link is dropped"),
            log.end());
}

TEST_F(HandheldFlashing, HandEditedCapacityThatIsNoNumberLeavesTheDefault) {
  testing_support::WriteFileBytes(dir_.path() + "/hh/layout.ini",
                                  {'[', 'c', 'a', 'p', 'a', 'c', 'i', 't', 'y', ']', '\n', 'E', 'X', 'T', 'R', 'O',
                                   'M', '=', 'l', 'o', 't', 's', '\n'});
  EXPECT_EQ(device_->GetStorage().Capacity(Area::EXTROM), handheld::kDefaultExtRomCapacity);
  Flash("FF112263", PatternBytes(5000, 1));
  EXPECT_EQ(device_->GetStorage().StoredLength(Area::EXTROM), 5000u);
}

TEST_F(HandheldFlashing, ThirtyTwoMebibyteImageStreamsAndIsStoredByteForByte) {
  device_->SetRecordWholeFrames(false);
  auto payload = PatternBytes(32u << 20, 11);
  auto start = std::chrono::steady_clock::now();
  Flash("FF112246", payload);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(took).count(), 60);
  EXPECT_TRUE(device_->GetStorage().Read(Area::OS) == payload);
  // Without whole frames the record keeps the code and size fields of each frame.
  auto events = device_->Record();
  EXPECT_EQ(events.front().bytes.size(), 40u);
  EXPECT_EQ(handheld_test::Le32(events.front().bytes.data() + 8), 32u << 20);
}

TEST_F(HandheldFlashing, ResetFlagAndBareCodesAreAcknowledgedAndTaken) {
  auto& storage = device_->GetStorage();
  EXPECT_EQ(device_->Flag(), -1);
  ASSERT_TRUE(host_->SendFrame(Command("FF112266")));
  ASSERT_TRUE(host_->SendFrame(Command("FF113300")));
  ASSERT_TRUE(host_->SendFrame(Command("FF112233")));
  ASSERT_TRUE(host_->SendFrame(Command("garbage!")));
  ASSERT_TRUE(host_->SendFrame(Command("FF11224X")));
  ASSERT_TRUE(host_->SendFrame(Command("FF112249")));
  EXPECT_TRUE(host_->Quiet(100));  // none of them is answered beyond the acknowledgement
  EXPECT_EQ(device_->Flag(), 1);
  EXPECT_EQ(storage.GetMode(), handheld::Mode::BootLoader);
  ASSERT_TRUE(host_->SendFrame(Command("FF112265")));
  EXPECT_EQ(device_->Flag(), 0);
  EXPECT_EQ(device_->FramesSent(), 0u);
}

TEST_F(HandheldFlashing, InOsModeFramesAreReadButNeverAnswered) {
  auto& storage = device_->GetStorage();
  ASSERT_TRUE(host_->SendFrame(Command("FF112250")));  // reset into the OS: acknowledged, then silence
  EXPECT_EQ(storage.GetMode(), handheld::Mode::OS);
  EXPECT_FALSE(host_->SendFrame(Command("FF112249"), 200));
  ASSERT_TRUE(device_->WaitForFramesReceived(2, 2000));
  EXPECT_EQ(storage.GetMode(), handheld::Mode::OS);
  // Back in the boot loader (the device programs' restart), the next frame is answered again.
  storage.SetMode(handheld::Mode::BootLoader);
  EXPECT_TRUE(host_->SendFrame(Command("FF112266")));
  EXPECT_EQ(device_->Flag(), 1);
}

TEST_F(HandheldFlashing, ReadAssetSendsTheFirst225BytesPaddedWithErasedFlash) {
  auto asset = PatternBytes(100, 2);
  device_->GetStorage().Write(Area::ASSET, asset.data(), asset.size());
  ASSERT_TRUE(host_->SendFrame(Command("FF112252")));
  Frame f;
  ASSERT_TRUE(host_->ReceiveFrame(&f));
  EXPECT_TRUE(std::equal(asset.begin(), asset.end(), f.begin()));
  for (size_t i = 100; i < 225; ++i) ASSERT_EQ(f[i], 0xFF) << i;
  for (size_t i = 225; i < f.size(); ++i) ASSERT_EQ(f[i], 0) << i;
  auto events = handheld_test::RecordOf(*device_, 4);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events.back().kind, Kind::Ack);
  EXPECT_EQ(events.back().direction, Dir::HostToDevice);
}

}  // namespace
