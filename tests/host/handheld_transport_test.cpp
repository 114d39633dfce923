// The virtual handheld's transports: the socket (WinUSB path) with its one-host-at-a-time serving, the
// pty's replug and its quiet wait for a host, and Stop with a host still attached.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "handheld_client.h"
#include "test_support.h"
#include "virtual_handheld.h"

namespace {

using handheld::Area;
using handheld_test::Command;
using handheld_test::Frame;
using handheld_test::HostClient;
using testing_support::PatternBytes;

class HandheldTransport : public ::testing::Test {
 protected:
  void SetUp() override { device_ = std::make_unique<handheld::VirtualHandheld>(dir_.path() + "/hh"); }

  static void FlashOver(HostClient& host, const char* code, const std::vector<uint8_t>& payload) {
    ASSERT_TRUE(host.SendFrame(Command(code, static_cast<uint32_t>(payload.size()))));
    ASSERT_TRUE(host.SendImage(payload));
    Frame done;
    ASSERT_TRUE(host.ReceiveFrame(&done));
    EXPECT_EQ(handheld_test::CodeOf(done), "FF112248");
  }

  // The voluntary context switches of every thread of this process but the caller's: how often the
  // handheld's threads have gone to sleep, and so woken.
  static long OtherThreadsSwitches() {
    const std::string self = std::to_string(::syscall(SYS_gettid));
    const std::string key = "voluntary_ctxt_switches:";
    long total = 0;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
      if (task.path().filename() == self) continue;
      std::ifstream status(task.path() / "status");
      for (std::string line; std::getline(status, line);) {
        if (line.rfind(key, 0) == 0) total += std::stol(line.substr(key.size()));
      }
    }
    return total;
  }

  testing_support::TempDir dir_;
  std::unique_ptr<handheld::VirtualHandheld> device_;
};

TEST_F(HandheldTransport, SocketServesOneHostAfterAnotherFromIdle) {
  std::string sock = dir_.File("hh.sock");
  ASSERT_EQ(device_->StartSocket(sock), sock);
  EXPECT_EQ(device_->SocketPath(), sock);
  auto payload = PatternBytes(100000, 1);
  {
    auto host = HostClient::Connect(sock);
    ASSERT_TRUE(host);
    FlashOver(*host, "FF112263", payload);
    // Leave in the middle of a backup.
    ASSERT_TRUE(host->SendFrame(Command("FF112262")));
  }
  auto host = HostClient::Connect(sock);
  ASSERT_TRUE(host);
  // The second host talks to an idle handheld (the first one's backup was dropped with it).
  ASSERT_TRUE(host->SendFrame(Command("FF112266")));
  EXPECT_EQ(device_->Flag(), 1);
  Frame done;
  ASSERT_TRUE(host->SendFrame(Command("FF112262")));
  ASSERT_TRUE(host->ReceiveFrame(&done));
  EXPECT_EQ(handheld_test::Le32(&done[12]), payload.size());
  std::vector<uint8_t> data;
  ASSERT_TRUE(host->ReceiveData(payload.size(), &data));
  EXPECT_EQ(data, payload);
}

TEST_F(HandheldTransport, SocketVanishEndsTheConnectionAndRefusesNewOnesUntilRestarted) {
  std::string sock = dir_.File("hh.sock");
  ASSERT_FALSE(device_->StartSocket(sock).empty());
  auto host = HostClient::Connect(sock);
  ASSERT_TRUE(host);
  ASSERT_TRUE(host->SendFrame(Command("FF113300")));
  device_->Vanish();
  uint8_t b;
  EXPECT_EQ(host->Read(&b, 1, 1000), 0u);
  EXPECT_TRUE(host->eof());
  EXPECT_FALSE(HostClient::Connect(sock));
  EXPECT_EQ(device_->SocketPath(), "");
  ASSERT_EQ(device_->StartSocket(sock), sock);
  auto again = HostClient::Connect(sock);
  ASSERT_TRUE(again);
  FlashOver(*again, "FF112245", PatternBytes(3000, 2));
  EXPECT_EQ(device_->GetStorage().Read(Area::IPL), PatternBytes(3000, 2));
}

// The host starts its next frame before the completion of an image goes out; its bytes wait in the
// socket, not read yet, when the completion is about to be sent.
TEST_F(HandheldTransport, SocketHostFrameQueuedBeforeASendStartsTheNextCommand) {
  std::string sock = dir_.File("hh.sock");
  ASSERT_EQ(device_->StartSocket(sock), sock);
  auto host = HostClient::Connect(sock);
  ASSERT_TRUE(host);
  handheld_test::ExpectAFrameWaitingBeforeACompletionStartsTheNextCommand(*device_, *host);
}

TEST_F(HandheldTransport, SocketPathThatIsNotASocketIsLeftAlone) {
  std::string file = dir_.File("plain");
  testing_support::WriteFileBytes(file, {1, 2, 3});
  EXPECT_EQ(device_->StartSocket(file), "");
  EXPECT_EQ(testing_support::ReadFileBytes(file), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(device_->StartSocket(std::string(200, 'x')), "");
}

TEST_F(HandheldTransport, PtyIsRawFromTheStartAndAReplugGivesANewPath) {
  std::string first = device_->StartPty();
  ASSERT_FALSE(first.empty());
  auto host = HostClient::OpenPty(first);
  ASSERT_TRUE(host);
  termios tio{};
  ASSERT_EQ(::tcgetattr(host->fd(), &tio), 0);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | INLCR), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  // Bytes that a cooked line would translate (CR, LF, ^C, ^S, DEL) cross unchanged.
  std::vector<uint8_t> payload = {'\r', '\n', 3, 0x13, 0x11, 0x7F, 0x04, 0x1A, 0, 0xFF};
  FlashOver(*host, "FF112247", payload);
  EXPECT_EQ(device_->GetStorage().Read(Area::ASSET), payload);

  std::string second = device_->StartPty();
  ASSERT_FALSE(second.empty());
  EXPECT_NE(second, first);
  EXPECT_EQ(device_->PtyPath(), second);
  Frame f{};
  EXPECT_FALSE(host->SendFrame(f, 500));  // the old port is dead
  auto host2 = HostClient::OpenPty(second);
  ASSERT_TRUE(host2);
  EXPECT_TRUE(host2->SendFrame(Command("FF112265")));
  EXPECT_EQ(device_->Flag(), 0);
}

// With no host attached the pty end waits for the slave to be opened; the wait must not wake the
// serving thread every few milliseconds (an idle demo or test would spin), and it must still answer a
// host that opens the port, the first time and after a host has come and gone.
TEST_F(HandheldTransport, AnIdlePtyWaitsForItsHostWithoutWakingEveryFewMilliseconds) {
  std::string pty = device_->StartPty();
  ASSERT_FALSE(pty.empty());
  for (int round = 0; round < 2; ++round) {
    const auto start = std::chrono::steady_clock::now();
    const long before = OtherThreadsSwitches();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long woke = OtherThreadsSwitches() - before;
    const auto idle_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    // A look every 2 ms would be 150 here; the bound allows one in 20 ms and a few more.
    EXPECT_LT(woke, idle_ms / 20 + 5) << "round " << round << ": " << woke << " wake-ups in " << idle_ms << " ms";
    auto host = HostClient::OpenPty(pty);
    ASSERT_TRUE(host);
    FlashOver(*host, "FF112247", PatternBytes(3000, round + 1));
    EXPECT_EQ(device_->GetStorage().Read(Area::ASSET), PatternBytes(3000, round + 1));
  }
}

TEST_F(HandheldTransport, ReplugFromTheEventHookGivesANewPtyAndTheOldThreadIsJoinedLater) {
  std::string first = device_->StartPty();
  std::string second;
  handheld::VirtualHandheld* device = device_.get();
  device_->SetEventHook([device, &second](const handheld::WireEvent& e) {
    if (e.kind == handheld::WireEvent::Kind::Frame && second.empty()) second = device->StartPty();
  });
  auto host = HostClient::OpenPty(first);
  ASSERT_TRUE(host);
  EXPECT_FALSE(host->SendFrame(Command("FF113300"), 1000));
  device_->SetEventHook(nullptr);
  ASSERT_FALSE(second.empty());
  EXPECT_NE(second, first);
  auto host2 = HostClient::OpenPty(second);
  ASSERT_TRUE(host2);
  EXPECT_TRUE(host2->SendFrame(Command("FF112266")));
  EXPECT_EQ(device_->Flag(), 1);
  device_->Stop();
}

TEST_F(HandheldTransport, PtyAndSocketServeTogetherAndStopJoinsWithHostsAttached) {
  std::string pty = device_->StartPty();
  std::string sock = device_->StartSocket(dir_.File("hh.sock"));
  ASSERT_FALSE(pty.empty());
  ASSERT_FALSE(sock.empty());
  auto a = HostClient::OpenPty(pty);
  auto b = HostClient::Connect(sock);
  ASSERT_TRUE(a && b);
  FlashOver(*a, "FF112244", PatternBytes(5000, 3));
  FlashOver(*b, "FF112263", PatternBytes(6000, 4));
  // Both hosts stop in the middle of an exchange; Stop must not wait for them.
  ASSERT_TRUE(a->SendFrame(Command("FF112246", 100000)));
  ASSERT_TRUE(b->SendFrame(Command("FF112258")));
  device_->Stop();
  EXPECT_EQ(device_->PtyPath(), "");
  EXPECT_EQ(device_->SocketPath(), "");
  EXPECT_EQ(device_->GetStorage().Read(Area::EBOOT), PatternBytes(5000, 3));
  EXPECT_EQ(device_->GetStorage().Read(Area::EXTROM), PatternBytes(6000, 4));
  device_.reset();  // the destructor after Stop is harmless
}

// The serving thread waits for the host's next frame in a blocking read of the pty; a stop must end that
// read whenever it comes: while the thread waits, and while it is still busy with the frame before.
TEST_F(HandheldTransport, StopEndsThePtyWaitWhenTheHostStaysAttached) {
  for (int round = 0; round < 30; ++round) {
    handheld::VirtualHandheld device(dir_.path() + "/stop" + std::to_string(round));
    std::string pty = device.StartPty();
    ASSERT_FALSE(pty.empty());
    auto host = HostClient::OpenPty(pty);
    ASSERT_TRUE(host);
    ASSERT_TRUE(host->SendFrame(Command("FF112246", 100000)));
    if (round % 2 == 1) {
      // A data frame whose acknowledgement the host does not wait for: the stop lands while the handheld
      // takes it in, or just after.
      Frame data{};
      ASSERT_TRUE(host->Write(data.data(), data.size()));
    }
    if (round % 3 == 2) std::this_thread::sleep_for(std::chrono::microseconds(50 * round));
    device.Stop();
    EXPECT_EQ(device.PtyPath(), "");
    Frame f{};
    EXPECT_FALSE(host->SendFrame(f, 500)) << round;  // the port is dead
  }
}

}  // namespace
