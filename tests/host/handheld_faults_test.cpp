// The virtual handheld's fault plan: each fault as the host sees it on the wire, and the exchange
// staying in step (or ending) as the plan says.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

#include "handheld_client.h"
#include "test_support.h"
#include "virtual_handheld.h"

namespace {

using handheld::Area;
using handheld::FaultPlan;
using handheld::WireEvent;
using handheld_test::Command;
using handheld_test::Frame;
using handheld_test::HostClient;
using testing_support::PatternBytes;
using Dir = WireEvent::Direction;
using Kind = WireEvent::Kind;

class HandheldFaults : public handheld_test::HandheldOnPty {
 protected:
  // Sends a frame until it is acknowledged (as the host's data-packet loop does); returns the attempts.
  int SendUntilAcked(const Frame& f) {
    for (int attempt = 1; attempt <= 5; ++attempt) {
      if (!host_->Write(f.data(), f.size())) return -1;
      uint8_t ack[4];
      if (host_->Read(ack, 4, 150) == 4) return attempt;
    }
    return -1;
  }

  Frame DataFrame(const std::vector<uint8_t>& payload, size_t index) {
    Frame f{};
    size_t off = index * f.size();
    size_t n = std::min(f.size(), payload.size() - off);
    std::memcpy(f.data(), payload.data() + off, n);
    return f;
  }

  // Whether the handheld logs, within two seconds, that the host closed its port.
  bool HostClosingNoticed() {
    auto noticed = [&] {
      auto log = device_->Log();
      return std::find(log.begin(), log.end(), "host closed the link") != log.end();
    };
    for (int i = 0; i < 400 && !noticed(); ++i) ::usleep(5000);
    return noticed();
  }

  size_t Count(const std::vector<WireEvent>& events, Dir dir, Kind kind) {
    return handheld_test::Only(events, dir, kind).size();
  }
};

TEST_F(HandheldFaults, LostAndShortAcknowledgementsDropTheFrameSoTheResendTakesItsPlace) {
  FaultPlan plan;
  plan.lose_ack_of_frames = {2};   // the first data frame
  plan.short_ack_of_frames = {4};  // the second data frame's re-send... counted as frame 4
  device_->SetFaults(plan);
  auto payload = PatternBytes(3000, 1);
  ASSERT_EQ(SendUntilAcked(Command("FF112244", 3000)), 1);
  EXPECT_EQ(SendUntilAcked(DataFrame(payload, 0)), 2);  // frame 2 lost, frame 3 is its re-send
  // Frame 4 is answered with 3 bytes only: the host's 4-byte read falls short, it sends again.
  ASSERT_TRUE(host_->Write(DataFrame(payload, 1).data(), 1520));
  uint8_t ack[4];
  EXPECT_EQ(host_->Read(ack, 4, 150), 3u);
  EXPECT_EQ(SendUntilAcked(DataFrame(payload, 1)), 1);
  Frame done;
  ASSERT_TRUE(host_->ReceiveFrame(&done));
  EXPECT_EQ(handheld_test::CodeOf(done), "FF112248");
  EXPECT_EQ(device_->GetStorage().Read(Area::EBOOT), payload);
  auto events = handheld_test::RecordOf(*device_, 11);
  EXPECT_EQ(Count(events, Dir::HostToDevice, Kind::Frame), 5u);
  EXPECT_EQ(Count(events, Dir::DeviceToHost, Kind::Ack), 3u);
  auto partial = handheld_test::Only(events, Dir::DeviceToHost, Kind::Partial);
  ASSERT_EQ(partial.size(), 1u);
  EXPECT_EQ(partial[0].bytes.size(), 3u);
}

TEST_F(HandheldFaults, IgnoredFrameIsAcknowledgedButLost) {
  FaultPlan plan;
  plan.ignore_frames = {2};
  device_->SetFaults(plan);
  auto payload = PatternBytes(1000, 2);
  ASSERT_TRUE(host_->SendFrame(Command("FF112263", 1000)));
  ASSERT_TRUE(host_->SendFrame(DataFrame(payload, 0)));
  EXPECT_TRUE(host_->Quiet(150));  // still waiting for its data frame
  auto other = PatternBytes(1000, 3);
  ASSERT_TRUE(host_->SendFrame(DataFrame(other, 0)));
  Frame done;
  ASSERT_TRUE(host_->ReceiveFrame(&done));
  EXPECT_EQ(handheld_test::CodeOf(done), "FF112248");
  EXPECT_EQ(device_->GetStorage().Read(Area::EXTROM), other);
}

TEST_F(HandheldFaults, WrongPacketsComeBeforeEachCompletionAndDifferInTheLastCharacter) {
  FaultPlan plan;
  plan.wrong_packets_before_completion = 3;
  device_->SetFaults(plan);
  ASSERT_TRUE(host_->SendFrame(Command("FF112245", 10)));
  ASSERT_TRUE(host_->SendImage(PatternBytes(10, 4)));
  for (const char* code : {"FF112249", "FF112249", "FF112249", "FF112248"}) {
    Frame f;
    ASSERT_TRUE(host_->ReceiveFrame(&f));
    EXPECT_EQ(handheld_test::CodeOf(f), code);
  }
  ASSERT_TRUE(host_->SendFrame(Command("FF112259")));
  for (const char* code : {"FF112255", "FF112255", "FF112255", "FF112254"}) {
    Frame f;
    ASSERT_TRUE(host_->ReceiveFrame(&f));
    EXPECT_EQ(handheld_test::CodeOf(f), code);
  }
  EXPECT_TRUE(host_->Quiet(50));
}

TEST_F(HandheldFaults, DelayedCompletionArrivesLate) {
  FaultPlan plan;
  plan.completion_delay_ms = 300;
  device_->SetFaults(plan);
  ASSERT_TRUE(host_->SendFrame(Command("FF112253")));
  EXPECT_TRUE(host_->Quiet(150));
  Frame f;
  ASSERT_TRUE(host_->ReceiveFrame(&f, 2000));
  EXPECT_EQ(handheld_test::CodeOf(f), "FF112254");
}

TEST_F(HandheldFaults, SilenceReadsAndSendsNothingUntilThePlanChanges) {
  FaultPlan plan;
  plan.silent_after_frames = 1;
  device_->SetFaults(plan);
  ASSERT_TRUE(host_->SendFrame(Command("FF112253")));  // acknowledged, but its completion never comes
  EXPECT_TRUE(host_->Quiet(100));
  EXPECT_FALSE(host_->SendFrame(Command("FF112266"), 150));
  EXPECT_EQ(device_->FramesReceived(), 1u);
  EXPECT_EQ(device_->Flag(), -1);
  device_->SetFaults(FaultPlan{});
  uint8_t ack[4];
  EXPECT_EQ(host_->Read(ack, 4, 2000), 4u);  // the waiting frame is taken now
  EXPECT_EQ(device_->Flag(), 1);
}

TEST_F(HandheldFaults, SilenceAfterSentFramesStopsABackupHalfway) {
  device_->GetStorage().Write(Area::OS, PatternBytes(6000, 1).data(), 6000);
  FaultPlan plan;
  plan.silent_after_sent_frames = 2;  // the completion and one data frame
  device_->SetFaults(plan);
  ASSERT_TRUE(host_->SendFrame(Command("FF112259")));
  Frame f;
  ASSERT_TRUE(host_->ReceiveFrame(&f));
  ASSERT_TRUE(host_->ReceiveFrame(&f));
  EXPECT_FALSE(host_->ReceiveFrame(&f, 150));
}

TEST_F(HandheldFaults, VanishingAfterReceivedFramesClosesTheEndAndAReplugWorks) {
  FaultPlan plan;
  plan.vanish_after_frames = 2;
  device_->SetFaults(plan);
  ASSERT_TRUE(host_->SendFrame(Command("FF112246", 3000)));
  // The second frame goes with the cable: no acknowledgement, the host reads the end instead.
  EXPECT_FALSE(host_->SendFrame(Frame{}));
  EXPECT_TRUE(host_->eof());
  EXPECT_EQ(device_->FramesReceived(), 2u);
  Frame f{};
  EXPECT_FALSE(host_->Write(f.data(), f.size()));
  EXPECT_EQ(host_->last_errno(), EIO);
  for (int i = 0; i < 200 && !device_->PtyPath().empty(); ++i) ::usleep(5000);
  EXPECT_EQ(device_->PtyPath(), "");
  EXPECT_NE(::access(path_.c_str(), F_OK), 0);
  EXPECT_EQ(device_->GetStorage().StoredLength(Area::GSM), 0u);  // the unfinished image is not stored

  std::string again = device_->StartPty();
  ASSERT_FALSE(again.empty());
  auto host2 = HostClient::OpenPty(again);
  ASSERT_TRUE(host2);
  device_->SetFaults(FaultPlan{});
  ASSERT_TRUE(host2->SendFrame(Command("FF112246", 5)));
  ASSERT_TRUE(host2->SendImage(PatternBytes(5, 1)));
  ASSERT_TRUE(host2->ReceiveFrame(&f));
  EXPECT_EQ(handheld_test::CodeOf(f), "FF112248");
}

TEST_F(HandheldFaults, VanishingAfterSentFramesLeavesTheHostWithWhatCameSoFar) {
  device_->GetStorage().Write(Area::OS, PatternBytes(6000, 1).data(), 6000);
  FaultPlan plan;
  plan.vanish_after_sent_frames = 3;  // completion and two of the four data frames
  device_->SetFaults(plan);
  ASSERT_TRUE(host_->SendFrame(Command("FF112259")));
  Frame f;
  int got = 0;
  while (host_->ReceiveFrame(&f, 1000)) ++got;
  EXPECT_EQ(got, 3);
  EXPECT_TRUE(host_->eof());
}

TEST_F(HandheldFaults, EventHookCanPullTheCableInTheMiddleOfABackup) {
  device_->GetStorage().Write(Area::EXTROM, PatternBytes(20 * 1520, 1).data(), 20 * 1520);
  std::atomic<int> sent{0};
  handheld::VirtualHandheld* device = device_.get();
  device_->SetEventHook([&sent, device](const WireEvent& e) {
    if (e.direction == Dir::DeviceToHost && e.kind == Kind::Frame && ++sent == 6) device->Vanish();
  });
  ASSERT_TRUE(host_->SendFrame(Command("FF112262")));
  Frame f;
  int got = 0;
  while (host_->ReceiveFrame(&f, 1000)) ++got;
  // The sixth frame was written before the hook pulled the cable; its acknowledgement is not awaited.
  EXPECT_GE(got, 5);
  EXPECT_LE(got, 6);
  EXPECT_TRUE(host_->eof());
  device_->SetEventHook(nullptr);
}

TEST_F(HandheldFaults, ShortDataFrameIsFollowedByTheWholeFrameWhenNotAcknowledged) {
  auto ipl = PatternBytes(3000, 7);
  device_->GetStorage().Write(Area::IPL, ipl.data(), ipl.size());
  FaultPlan plan;
  plan.short_frames_sent = 1;
  plan.short_frame_bytes = 1000;
  plan.short_frame_resend_ms = 200;
  device_->SetFaults(plan);
  ASSERT_TRUE(host_->SendFrame(Command("FF112260")));
  Frame f;
  ASSERT_TRUE(host_->ReceiveFrame(&f));  // the completion is not a data frame: whole
  EXPECT_EQ(handheld_test::CodeOf(f), "FF112254");
  EXPECT_EQ(host_->Read(f.data(), f.size(), 100), 1000u);  // the host's read times out short: no ack
  std::vector<uint8_t> data;
  ASSERT_TRUE(host_->ReceiveData(3000, &data));
  EXPECT_EQ(data, ipl);
  auto events = handheld_test::RecordOf(*device_, 9);
  auto partial = handheld_test::Only(events, Dir::DeviceToHost, Kind::Partial);
  ASSERT_EQ(partial.size(), 1u);
  EXPECT_EQ(partial[0].bytes, std::vector<uint8_t>(ipl.begin(), ipl.begin() + 1000));
}

TEST_F(HandheldFaults, FrameDiscardedByTheHostsPurgeIsSentAgain) {
  ASSERT_TRUE(host_->SendFrame(Command("FF112264")));
  ::usleep(50000);                       // the completion now waits in the host's receive queue
  ASSERT_EQ(::tcflush(host_->fd(), TCIFLUSH), 0);  // what PurgeComm with the receive bits does
  Frame f;
  ASSERT_TRUE(host_->ReceiveFrame(&f, 2000));
  EXPECT_EQ(handheld_test::CodeOf(f), "FF112254");
  EXPECT_TRUE(host_->Quiet(100));
  auto events = handheld_test::RecordOf(*device_, 5);
  EXPECT_EQ(handheld_test::Only(events, Dir::DeviceToHost, Kind::Frame).size(), 2u);
}

TEST_F(HandheldFaults, HostThatMovesOnInsteadOfAcknowledgingStartsANewCommand) {
  device_->GetStorage().Write(Area::OS, PatternBytes(6000, 1).data(), 6000);
  ASSERT_TRUE(host_->SendFrame(Command("FF112259")));
  Frame stale;
  ASSERT_EQ(host_->Read(stale.data(), stale.size(), 2000), stale.size());  // completion, not acknowledged
  ASSERT_TRUE(host_->SendFrame(Command("FF112266")));
  EXPECT_EQ(device_->Flag(), 1);
  EXPECT_TRUE(host_->Quiet(100));  // the backup's data frames are not sent
}

// The host starts its next frame before the completion of an image goes out; the pty has its bytes
// when the completion is about to be sent.
TEST_F(HandheldFaults, HostFrameWaitingAtTheTtyBeforeASendStartsTheNextCommand) {
  handheld_test::ExpectAFrameWaitingBeforeACompletionStartsTheNextCommand(*device_, *host_);
}

TEST_F(HandheldFaults, HostClosingInTheMiddleOfAnImageLeavesTheNextHostInIdle) {
  ASSERT_TRUE(host_->SendFrame(Command("FF112263", 5000)));
  ASSERT_TRUE(host_->SendFrame(Frame{}));
  std::vector<uint8_t> piece(100, 0xAB);
  ASSERT_TRUE(host_->Write(piece.data(), piece.size()));
  ::usleep(20000);
  host_->Close();
  // The handheld notices the closed port before the next host opens it.
  ASSERT_TRUE(HostClosingNoticed());
  auto host2 = HostClient::OpenPty(path_);
  ASSERT_TRUE(host2);
  ASSERT_TRUE(host2->SendFrame(Command("FF112266")));
  EXPECT_EQ(device_->Flag(), 1);  // a command again, not the image's next data frame
  auto events = device_->Record();
  auto partial = handheld_test::Only(events, Dir::HostToDevice, Kind::Partial);
  ASSERT_EQ(partial.size(), 1u);
  EXPECT_EQ(partial[0].bytes, piece);
  EXPECT_EQ(device_->GetStorage().StoredLength(Area::EXTROM), 0u);
}

// A host that closes its port before reading what the handheld sent (here the completion of a backup)
// leaves nothing for the next host: its first acknowledgement is four zero bytes, not the old frame.
TEST_F(HandheldFaults, WhatAClosedHostDidNotReadDoesNotReachTheNextHost) {
  const std::vector<uint8_t> os(6000, 0x3C);
  ASSERT_TRUE(device_->GetStorage().Write(Area::OS, os.data(), os.size()));
  ASSERT_TRUE(host_->SendFrame(Command("FF112259")));
  ASSERT_TRUE(device_->WaitForFramesSent(1, 2000));  // the completion is on its way, never read
  host_->Close();
  ASSERT_TRUE(HostClosingNoticed());
  auto host2 = HostClient::OpenPty(path_);
  ASSERT_TRUE(host2);
  const Frame command = Command("FF112266");
  ASSERT_TRUE(host2->Write(command.data(), command.size()));
  uint8_t ack[4] = {1, 1, 1, 1};
  ASSERT_EQ(host2->Read(ack, 4, 2000), 4u);
  EXPECT_EQ(std::vector<uint8_t>(ack, ack + 4), std::vector<uint8_t>(4, 0));
  EXPECT_TRUE(host2->Quiet(100));
  EXPECT_EQ(device_->Flag(), 1);
}

TEST_F(HandheldFaults, ANewPlanRestartsTheFrameCount) {
  FaultPlan plan;
  plan.lose_ack_of_frames = {2};
  device_->SetFaults(plan);
  ASSERT_TRUE(host_->SendFrame(Command("FF113300")));
  device_->SetFaults(plan);  // counting from 1 again
  ASSERT_TRUE(host_->SendFrame(Command("FF113300")));
  EXPECT_FALSE(host_->SendFrame(Command("FF113300"), 150));
  EXPECT_TRUE(host_->SendFrame(Command("FF113300")));
}

}  // namespace
