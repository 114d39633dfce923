// Flashing runs through the exports against the virtual handheld on a pty, found as the USB-serial
// port of an XP-plus host: the wire as the handheld recorded it, what it stored, an image of 32 MiB, and
// a handheld unplugged in the middle of a run and plugged in again.
#include <algorithm>
#include <chrono>
#include <functional>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver/dravik.h"
#include "driver/packet_link.h"
#include "driver/state.h"
#include "handheld/virtual_handheld.h"
#include "platform/posix/clock.h"
#include "platform/posix/host_profile.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using handheld::Area;
using handheld::WireEvent;
using testing_support::PatternBytes;

uint32_t GetLe32Bytes(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 | static_cast<uint32_t>(b[at + 2]) << 16 |
         static_cast<uint32_t>(b[at + 3]) << 24;
}

constexpr const char* kSymbolicName = "\\??\\USB#Vid_0e1f&Pid_4505#7&2a1b&0&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

class FlashingRun : public ::testing::Test {
 protected:
  void SetUp() override {
    chdir_ = std::make_unique<testing_support::ScopedChdir>(dir_.path());
    w32sim::SetClockScale(1000);
    g_Driver = 1;  // the USB-serial port
    g_RTimeout = g_WTimeout = 0;
    g_DebugON = g_PurgeTx = g_PurgeRx = g_WaitRx = g_splitReadAck = g_splitReadAckSize = 0;
    FlashState.hLink = nullptr;
    FlashState.nProgress.store(0);
    FlashState.nRunOutcome.store(kRunNone);
    PlugIn();
  }
  void TearDown() override {
    if (FlashState.hWorker != nullptr) WaitForSingleObject(FlashState.hWorker, INFINITE);
    CloseComPort();
    handheld_.Stop();
    w32sim::SetClockScale(1);
  }

  // The handheld (again) on the bus: a new pty, and the host's "Ports" device that opens it.
  void PlugIn() {
    const std::string tty = handheld_.StartPty();
    w32sim::HostProfile profile;
    profile.major_version = 5;
    profile.minor_version = 1;
    profile.windows_directory = dir_.path();
    w32sim::PortDevice port;
    port.portname = "COM7";
    port.symbolic_name = kSymbolicName;
    port.opens = tty;
    profile.ports.push_back(port);
    w32sim::SetHostProfile(profile);
  }

  void Queue(uint16_t featureId, const std::string& name, const Bytes& content, int32_t headerLen = 0) {
    testing_support::WriteFileBytes(dir_.File(name), content);
    ClientResult r{};
    Client_QueueJob(featureId, name.c_str(), headerLen, &r);
    ASSERT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  }

  // Client_StartFlash, then Client_Progress until 100 or 102; `during` runs once at each new figure.
  std::vector<uint32_t> Run(uint32_t* lastStatus, const std::function<void(uint32_t)>& during = nullptr) {
    ClientResult r{};
    Client_StartFlash(&r);
    EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
    std::vector<uint32_t> seen;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < end) {
      Client_Progress(&r);
      if (seen.empty() || seen.back() != r.dwValue) {
        seen.push_back(r.dwValue);
        if (during) during(r.dwValue);
      }
      if (r.dwValue == 100 || r.dwStatus == CLIENT_STATUS_RUN_INCOMPLETE) break;
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    *lastStatus = r.dwStatus;
    return seen;
  }

  std::vector<WireEvent> Events() const { return handheld_.Record(); }
  static std::string Code(const WireEvent& e) { return std::string(e.bytes.begin(), e.bytes.begin() + 8); }

  testing_support::TempDir dir_;
  std::unique_ptr<testing_support::ScopedChdir> chdir_;
  testing_support::TempDir device_dir_;
  handheld::VirtualHandheld handheld_{device_dir_.path()};
};

TEST_F(FlashingRun, TwoJobsOnTheWireAndInStorage) {
  Bytes eboot = PatternBytes(64, 50);  // a 64-byte header that is never sent
  const Bytes ebootPayload = PatternBytes(3000, 1);
  eboot.insert(eboot.end(), ebootPayload.begin(), ebootPayload.end());
  const Bytes gsm = PatternBytes(7000, 3);
  Queue(1, "eboot.nbf", eboot, 64);
  Queue(3, "gsm.nbf", gsm);

  uint32_t status = 0;
  const std::vector<uint32_t> seen = Run(&status);
  EXPECT_EQ(status, CLIENT_STATUS_OK);
  ASSERT_EQ(seen.back(), 100u);
  const std::set<uint32_t> allowed = {0, 15, 30, 45, 60, 75, 90, 92, 100};
  for (uint32_t p : seen) EXPECT_TRUE(allowed.count(p)) << p;
  ClientResult r{};
  Client_Progress(&r);
  EXPECT_EQ(r.dwFeatureId, 3u);
  Client_Shutdown();

  EXPECT_EQ(handheld_.GetStorage().Read(Area::EBOOT), ebootPayload);
  EXPECT_EQ(handheld_.GetStorage().Read(Area::GSM), gsm);

  // Host frames: command, 2 data packets, command, 5 data packets, the reset to IPL; each answered by a
  // 4-byte acknowledgement. The device's two completions, each acknowledged with four zero bytes.
  // (The handheld notes an acknowledgement just after sending it: give the last one a moment.)
  const auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (Events().size() < 24 && std::chrono::steady_clock::now() < settle)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const std::vector<WireEvent> events = Events();
  std::vector<std::string> shape;
  for (const WireEvent& e : events) {
    const bool fromHost = e.direction == WireEvent::Direction::HostToDevice;
    if (e.kind == WireEvent::Kind::Frame) {
      const std::string code = Code(e);
      shape.push_back(std::string(fromHost ? "H:" : "D:") + (code.rfind("FF11", 0) == 0 ? code : "data"));
    } else if (e.kind == WireEvent::Kind::Ack) {
      shape.push_back(fromHost ? "h-ack" : "d-ack");
      if (fromHost) {
        EXPECT_EQ(e.bytes, Bytes(4, 0));
      }
      EXPECT_EQ(e.bytes.size(), 4u);
    } else {
      shape.push_back("partial");
    }
  }
  std::vector<std::string> expected = {"H:FF112244", "d-ack", "H:data", "d-ack", "H:data", "d-ack",
                                       "D:FF112248", "h-ack", "H:FF112246", "d-ack"};
  for (int i = 0; i < 5; ++i) {
    expected.push_back("H:data");
    expected.push_back("d-ack");
  }
  for (const char* s : {"D:FF112248", "h-ack", "H:FF112249", "d-ack"}) expected.push_back(s);
  EXPECT_EQ(shape, expected);

  // The commands carry the payload sizes; the tail packets are zero beyond the image.
  ASSERT_EQ(events.size(), expected.size());
  EXPECT_EQ(GetLe32Bytes(events[0].bytes, 8), 3000u);
  EXPECT_EQ(GetLe32Bytes(events[0].bytes, 12), 0u);
  EXPECT_EQ(GetLe32Bytes(events[8].bytes, 8), 7000u);
  const Bytes& tail = events[4].bytes;
  EXPECT_TRUE(std::equal(ebootPayload.begin() + 1520, ebootPayload.end(), tail.begin()));
  EXPECT_TRUE(std::all_of(tail.begin() + 1480, tail.end(), [](uint8_t b) { return b == 0; }));
}

// Acknowledgements lost or cut short by the device: the host sends the same packet again (the command
// once, data packets anywhere in the image) and the image arrives whole, in order. A read time-out of 20
// (an acknowledgement is waited for 100 real ms) lets the host notice a lost one; at clock scale 10 that
// wait is a second on the layer's clock, far within the minute after which the host gives up.
TEST_F(FlashingRun, LostAndShortAcknowledgementsAreSentAgainAndTheImageArrivesWhole) {
  w32sim::SetClockScale(10);
  g_RTimeout = 20;
  const Bytes gsm = PatternBytes(10 * 1520 + 300, 8);  // the command and 11 data packets
  Queue(3, "gsm.nbf", gsm);
  handheld::FaultPlan plan;
  plan.lose_ack_of_frames = {1, 5};  // the command, the fourth data packet (its first copy)
  plan.short_ack_of_frames = {9};    // the seventh data packet (its first copy)
  handheld_.SetFaults(plan);
  uint32_t status = 0;
  const std::vector<uint32_t> seen = Run(&status);
  EXPECT_EQ(status, CLIENT_STATUS_OK);
  EXPECT_EQ(seen.back(), 100u);
  Client_Shutdown();
  EXPECT_TRUE(handheld_.GetStorage().Read(Area::GSM) == gsm);
  size_t hostFrames = 0;
  for (const WireEvent& e : Events())
    if (e.direction == WireEvent::Direction::HostToDevice && e.kind == WireEvent::Kind::Frame) ++hostFrames;
  EXPECT_GE(hostFrames, 1u + 11u + 3u + 1u) << "the three frames sent again, and the reset to IPL";
}

TEST_F(FlashingRun, ThirtyTwoMebibyteImageIsStoredByteForByte) {
  const Bytes os = PatternBytes(32u << 20, 77);
  Queue(3, "os.nbf", os);
  uint32_t status = 0;
  const std::vector<uint32_t> seen = Run(&status);
  EXPECT_EQ(status, CLIENT_STATUS_OK);
  EXPECT_EQ(seen.back(), 100u);
  Client_Shutdown();
  EXPECT_EQ(handheld_.GetStorage().StoredLength(Area::OS), os.size());
  EXPECT_TRUE(handheld_.GetStorage().Read(Area::OS) == os);
}

TEST_F(FlashingRun, ScrambledTempFilesArriveUnscrambled) {
  const struct {
    const char* name;
    uint16_t featureId;
    Area area;
  } jobs[] = {{"temp0", 1, Area::EBOOT}, {"temp1", 2, Area::IPL}, {"temp2", 3, Area::GSM},
              {"temp3", 7, Area::ASSET}, {"temp4", 17, Area::EXTROM}};
  std::vector<Bytes> plain;
  for (const auto& job : jobs) {
    plain.push_back(PatternBytes(2000 + job.featureId, job.featureId));
    Bytes scrambled = plain.back();
    for (uint8_t& b : scrambled) b ^= 0x5B;
    Queue(job.featureId, job.name, scrambled);
  }
  uint32_t status = 0;
  Run(&status);
  EXPECT_EQ(status, CLIENT_STATUS_OK);
  Client_Shutdown();
  for (size_t i = 0; i < plain.size(); ++i) {
    EXPECT_TRUE(handheld_.GetStorage().Read(jobs[i].area) == plain[i]) << jobs[i].name;
  }
}

TEST_F(FlashingRun, UnpluggedMidRunEndsWith102AndTheNextRunWorks) {
  const Bytes os = PatternBytes(8u << 20, 5);
  Queue(3, "os.nbf", os);
  Queue(17, "ext.nbf", PatternBytes(5000, 6));
  uint32_t status = 0;
  const auto start = std::chrono::steady_clock::now();
  bool unplugged = false;
  const std::vector<uint32_t> seen = Run(&status, [&](uint32_t percent) {
    if (percent >= 30 && !unplugged) {
      handheld_.Vanish();
      unplugged = true;
    }
  });
  EXPECT_TRUE(unplugged);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_EQ(status, CLIENT_STATUS_RUN_INCOMPLETE);
  EXPECT_LT(seen.back(), 100u);
  WaitForSingleObject(FlashState.hWorker, INFINITE);
  EXPECT_EQ(FlashState.hLink, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FlashState.pJobs, nullptr);
  const std::string log = testing_support::ReadFileText(dir_.File("logfile.txt"));
  EXPECT_NE(log.find("SendImageData(): the device is gone, the image is not sent"), std::string::npos);
  EXPECT_NE(log.find("FlashWorker(): the run ends before completion, the remaining jobs are dropped"),
            std::string::npos);
  ClientResult r{};
  Client_Progress(&r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_RUN_INCOMPLETE) << "until the next start";

  // Plugged in again: the next run opens the link afresh and completes.
  PlugIn();
  Queue(3, "os.nbf", os);
  const std::vector<uint32_t> again = Run(&status);
  EXPECT_EQ(status, CLIENT_STATUS_OK);
  EXPECT_EQ(again.back(), 100u);
  Client_Shutdown();
  EXPECT_TRUE(handheld_.GetStorage().Read(Area::OS) == os);
}

}  // namespace
