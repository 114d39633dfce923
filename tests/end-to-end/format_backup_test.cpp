// Formatting and backups through the exports against the virtual handheld: the link is found and opened
// by the library on a simulated host whose USB-serial port is the handheld's pty, and every file the host
// writes is compared with what the handheld holds.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
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
using testing_support::ReadFileBytes;
using testing_support::ReadFileText;

constexpr size_t kFrame = 1520;

std::vector<std::string> LogLines() { return testing_support::ReadTextLines("logfile.txt"); }

size_t CountLines(const std::string& line) {
  const auto lines = LogLines();
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

size_t CountLinesStartingWith(const std::string& prefix) {
  size_t n = 0;
  for (const auto& l : LogLines()) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

std::string Code(const WireEvent& e) {
  return std::string(e.bytes.begin(), e.bytes.begin() + std::min<size_t>(8, e.bytes.size()));
}

std::vector<WireEvent> Frames(const std::vector<WireEvent>& record, WireEvent::Direction direction) {
  std::vector<WireEvent> out;
  for (const auto& e : record)
    if (e.kind == WireEvent::Kind::Frame && e.direction == direction) out.push_back(e);
  return out;
}

struct Progress {
  uint32_t status;
  uint32_t percent;
};

Progress Poll() {
  ClientResult r{};
  Client_Progress(&r);
  return {r.dwStatus, r.dwValue};
}

class FormatBackupEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    chdir_ = std::make_unique<testing_support::ScopedChdir>(dir_.path());
    // An acknowledgement may take 100 ms of real time (20 ms per byte and 20 ms), so that a loaded
    // machine does not make the host send a command twice; no test here waits for a read to time out.
    w32sim::SetClockScale(20);
    g_Driver = 1;  // the USB-serial driver's port
    g_RTimeout = 20;
    g_WTimeout = 20;
    g_DebugON = 0;
    g_PurgeTx = 0;
    g_PurgeRx = 0;
    g_WaitRx = 0;
    g_splitReadAck = 0;
    FlashState.hLink = nullptr;
    FlashState.nRunOutcome.store(kRunNone);
    FlashState.nProgress.store(0);
    pty_ = handheld_.StartPty();
    ASSERT_FALSE(pty_.empty());
    SetHost(5, 1, pty_);
  }
  void TearDown() override {
    if (HasFailure()) {
      const auto lines = LogLines();
      for (size_t i = lines.size() > 60 ? lines.size() - 60 : 0; i < lines.size(); ++i)
        std::fprintf(stderr, "log: %s\n", lines[i].c_str());
    }
    WaitForBackupThread();
    if (FlashState.hBackupThread != nullptr) CloseHandle(FlashState.hBackupThread);
    FlashState.hBackupThread = nullptr;
    CloseComPort();
    handheld_.Stop();
    w32sim::SetClockScale(1);
  }

  static void SetHost(uint32_t major, uint32_t minor, const std::string& opens) {
    w32sim::HostProfile profile;
    profile.major_version = major;
    profile.minor_version = minor;
    w32sim::PortDevice port;
    port.portname = "COM7";
    port.symbolic_name = "\\??\\USB#Vid_0e1f&Pid_4505#0001#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    port.opens = opens;
    profile.ports.push_back(port);
    w32sim::SetHostProfile(profile);
  }

  void QueueJob(uint16_t featureId, const Bytes& payload) {
    const std::string name = dir_.File("image" + std::to_string(jobs_++) + ".bin");
    testing_support::WriteFileBytes(name, payload);
    ClientResult r{};
    Client_QueueJob(featureId, name.c_str(), 0, &r);
    ASSERT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  }

  void WaitForBackupThread() {
    if (FlashState.hBackupThread != nullptr) WaitForSingleObject(FlashState.hBackupThread, INFINITE);
  }

  // Starts a backup and polls Client_Progress until it reports 100 or status 102; the figures seen.
  std::vector<Progress> BackUp(int32_t type, const std::string& path) {
    ClientResult r{};
    std::memset(r.szText, 'x', sizeof r.szText);
    Client_BackUp(type, path.c_str(), &r);
    EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
    EXPECT_EQ(r.szText[0], '\0');
    EXPECT_EQ(r.szText[1023], '\0');
    std::vector<Progress> seen;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
      const Progress p = Poll();
      if (seen.empty() || p.percent != seen.back().percent || p.status != seen.back().status) seen.push_back(p);
      if (p.percent == 100 || p.status == CLIENT_STATUS_RUN_INCOMPLETE) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    WaitForBackupThread();
    return seen;
  }

  static void ExpectRisingTo100(const std::vector<Progress>& seen) {
    ASSERT_FALSE(seen.empty());
    for (size_t i = 0; i < seen.size(); ++i) {
      EXPECT_EQ(seen[i].status, CLIENT_STATUS_OK);
      EXPECT_LE(seen[i].percent, 100u);
      if (i > 0) {
        EXPECT_GE(seen[i].percent, seen[i - 1].percent);
      }
    }
    EXPECT_EQ(seen.back().percent, 100u);
  }

  testing_support::TempDir dir_;
  std::unique_ptr<testing_support::ScopedChdir> chdir_;
  handheld::VirtualHandheld handheld_{dir_.File("handheld")};
  std::string pty_;
  int jobs_ = 0;
};

// ---- Backups -----------------------------------------------------------------------------------------

// Every backup type, one after the other on the same link, gives a file equal to the handheld's area.
TEST_F(FormatBackupEndToEnd, EachBackupTypeStoresTheAreaByteForByte) {
  handheld::Storage& storage = handheld_.GetStorage();
  const Bytes eboot = PatternBytes(0x60000, 1);
  const Bytes ipl = PatternBytes(4321, 2);
  const Bytes os = PatternBytes(100000, 3);
  const Bytes gsm = PatternBytes(0x500000, 4);
  const Bytes ext = PatternBytes(7777, 5);
  ASSERT_TRUE(storage.Write(Area::EBOOT, eboot.data(), eboot.size()));
  ASSERT_TRUE(storage.Write(Area::IPL, ipl.data(), ipl.size()));
  ASSERT_TRUE(storage.Write(Area::OS, os.data(), os.size()));
  ASSERT_TRUE(storage.Write(Area::GSM, gsm.data(), gsm.size()));
  ASSERT_TRUE(storage.Write(Area::EXTROM, ext.data(), ext.size()));
  handheld_.SetRecordWholeFrames(false);

  const struct {
    int32_t type;
    const Bytes* expected;
  } cases[] = {{0, &eboot}, {1, &ipl}, {2, &os}, {3, &gsm}, {4, &ext}};
  for (const auto& c : cases) {
    SCOPED_TRACE("backup type " + std::to_string(c.type));
    const std::string path = dir_.File("backup" + std::to_string(c.type) + ".bin");
    ExpectRisingTo100(BackUp(c.type, path));
    EXPECT_EQ(FlashState.nRunOutcome.load(), kRunCompleted);
    const Bytes file = ReadFileBytes(path);
    EXPECT_EQ(file.size(), c.expected->size());
    EXPECT_TRUE(file == *c.expected);
  }
}

// 3,000 bytes of OS: the handheld holds back its second data packet until the host has published the
// percent of the first, which is 50 (one percent is 30 bytes).
TEST_F(FormatBackupEndToEnd, OsBackupOf3000BytesShows50AfterTheFirstPacket) {
  const Bytes os = PatternBytes(3000, 8);
  ASSERT_TRUE(handheld_.GetStorage().Write(Area::OS, os.data(), os.size()));
  std::atomic<int> framesSent{0};
  std::atomic<int32_t> afterFirst{-1};
  handheld_.SetEventHook([&](const WireEvent& e) {
    if (e.kind == WireEvent::Kind::Frame && e.direction == WireEvent::Direction::DeviceToHost) ++framesSent;
    // The host's acknowledgement of the first data packet (the completion is the first frame sent).
    if (e.kind == WireEvent::Kind::Ack && e.direction == WireEvent::Direction::HostToDevice &&
        framesSent.load() == 2 && afterFirst.load() < 0) {
      for (int i = 0; i < 400 && Poll().percent != 50; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      afterFirst.store(static_cast<int32_t>(Poll().percent));
    }
  });
  const auto seen = BackUp(2, dir_.File("os.bin"));
  handheld_.SetEventHook(nullptr);
  EXPECT_EQ(afterFirst.load(), 50);
  ExpectRisingTo100(seen);
  EXPECT_EQ(ReadFileBytes(dir_.File("os.bin")), os);
  EXPECT_EQ(CountLines("ReadBackupEx(): Get a packet Remain=3000"), 1u);
  EXPECT_EQ(CountLines("ReadBackupEx(): Get a packet Remain=1480"), 1u);
  EXPECT_EQ(CountLines("SendBackUp(): backup size=3000"), 1u);
}

// The handheld vanishes after its fifth frame (the completion and four data packets): the backup ends
// with status 102 and a file of exactly the four packets; the next backup finds the handheld again.
TEST_F(FormatBackupEndToEnd, VanishingMidBackupEndsWithStatus102AndAShortFile) {
  const Bytes os = PatternBytes(20 * kFrame, 6);
  ASSERT_TRUE(handheld_.GetStorage().Write(Area::OS, os.data(), os.size()));
  handheld::FaultPlan plan;
  plan.vanish_after_sent_frames = 5;
  handheld_.SetFaults(plan);
  const auto start = std::chrono::steady_clock::now();
  const auto seen = BackUp(2, dir_.File("os.bin"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().status, CLIENT_STATUS_RUN_INCOMPLETE);
  EXPECT_LT(seen.back().percent, 100u);
  EXPECT_EQ(ReadFileBytes(dir_.File("os.bin")), Bytes(os.begin(), os.begin() + 4 * kFrame));
  EXPECT_EQ(FlashState.hLink, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Poll().status, CLIENT_STATUS_RUN_INCOMPLETE);  // it stays so until the next run

  handheld_.SetFaults(handheld::FaultPlan{});
  const std::string again = handheld_.StartPty();
  SetHost(5, 1, again);
  ExpectRisingTo100(BackUp(2, dir_.File("os2.bin")));
  EXPECT_EQ(ReadFileBytes(dir_.File("os2.bin")), os);
}

TEST_F(FormatBackupEndToEnd, OverlongBackupPathIsRefusedWithoutContactingTheDevice) {
  const std::string path = dir_.File(std::string(600, 'p'));
  const auto seen = BackUp(2, path);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().status, CLIENT_STATUS_RUN_INCOMPLETE);
  EXPECT_EQ(handheld_.FramesReceived(), 0u);
  EXPECT_EQ(CountLinesStartingWith("Client_BackUp(): backup path of "), 1u);

  // A path of exactly 511 characters fits the record and is taken.
  const Bytes ipl = PatternBytes(100, 1);
  ASSERT_TRUE(handheld_.GetStorage().Write(Area::IPL, ipl.data(), ipl.size()));
  std::string fits = dir_.path() + "/" + std::string(200, 'q');
  ASSERT_EQ(mkdir(fits.c_str(), 0700), 0);
  fits += "/" + std::string(200, 'r');
  ASSERT_EQ(mkdir(fits.c_str(), 0700), 0);
  fits += "/";
  ASSERT_LT(fits.size(), 507u);
  fits += std::string(511 - 4 - fits.size(), 's') + ".bin";
  ASSERT_EQ(fits.size(), 511u);
  ExpectRisingTo100(BackUp(1, fits));
  EXPECT_EQ(ReadFileBytes(fits), ipl);
}

// A port that is found but cannot be opened: neither a format nor a backup touches the link.
TEST_F(FormatBackupEndToEnd, UnopenableLinkRunsNoExchange) {
  SetHost(5, 1, dir_.File("no-such-tty"));
  QueueJob(3, PatternBytes(1000));
  ClientResult r{};
  Client_FormatDisk(&r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  EXPECT_EQ(CountLines("Client_FormatDisk(): the device link could not be opened, no format sent"), 1u);
  Client_FormatDiskEx(3, dir_.File("ffs.bin").c_str(), &r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  EXPECT_EQ(CountLines("Client_FormatDiskEx(): the device link could not be opened, no format sent"), 1u);
  const auto seen = BackUp(2, dir_.File("os.bin"));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().status, CLIENT_STATUS_RUN_INCOMPLETE);
  EXPECT_EQ(CountLines("Client_BackUp(): the device link could not be opened, no backup taken"), 1u);
  EXPECT_EQ(handheld_.FramesReceived(), 0u);
  EXPECT_EQ(CountLinesStartingWith("SendFormatDisk"), 0u);
}

// ---- A data packet that arrives short -----------------------------------------------------------------

// The handheld sends its first data packet as 1000 bytes and, having no acknowledgement, the whole packet
// again. With the default read time-out (none) a read does not end at the gap, whole or in pieces: it
// takes the short packet and the start of the resend as one frame, and every later frame is out of step.
// The backup must not pass for complete: status 102 and never 100, the bytes left on the link cleared, so
// that the next backup is whole.
class ShortPacketOnTheSerialLink : public FormatBackupEndToEnd, public ::testing::WithParamInterface<int32_t> {
 protected:
  void SetUp() override {
    FormatBackupEndToEnd::SetUp();
    g_RTimeout = 0;
    g_WTimeout = 0;
    g_splitReadAck = GetParam() != 0 ? 1 : 0;
    g_splitReadAckSize = GetParam();
  }
  // After a read-back out of step the handheld still waits for the acknowledgement of its last frame,
  // and sends it again once it notices the library's clearing of the link. Here it waits a second more
  // first, so that the next command reaches it before (it then leaves the old exchange): the tests look at
  // what the library leaves on the link, not at a frame sent after it, which a loaded machine could let
  // come first.
  static handheld::FaultPlan SlowToResend() {
    handheld::FaultPlan plan;
    plan.resend_after_purge_ms = 1000;
    return plan;
  }
  void SendFirstDataPacketShort() {
    handheld::FaultPlan plan = SlowToResend();
    plan.short_frames_sent = 1;
    plan.short_frame_bytes = 1000;
    plan.short_frame_resend_ms = 100;
    handheld_.SetFaults(plan);
  }
  // The rest of the resend is found behind the frame that took the short packet, or (should it reach the
  // link only after that frame's acknowledgement) beyond the announced end.
  static size_t CountOutOfStepLines(const std::string& who, uint32_t size) {
    const std::string tail = ": a packet arrived short and the data is out of step, the backup is not complete";
    const std::string behind = " bytes wait behind the packet at byte ";
    const std::string beyond = " bytes beyond the backup's " + std::to_string(size) + " wait on the link";
    size_t n = 0;
    for (const auto& l : LogLines()) {
      if (l.rfind(who + "(): ", 0) == 0 && l.size() > tail.size() &&
          l.compare(l.size() - tail.size(), tail.size(), tail) == 0 &&
          (l.find(behind) != std::string::npos || l.find(beyond) != std::string::npos))
        ++n;
    }
    return n;
  }
};

TEST_P(ShortPacketOnTheSerialLink, BackupEndsIncompleteAndTheNextOneIsWhole) {
  const Bytes os = PatternBytes(10 * kFrame + 300, 11);
  ASSERT_TRUE(handheld_.GetStorage().Write(Area::OS, os.data(), os.size()));
  SendFirstDataPacketShort();
  const auto seen = BackUp(2, dir_.File("os.bin"));
  ASSERT_FALSE(seen.empty());
  for (const Progress& p : seen) EXPECT_LT(p.percent, 100u) << "a backup out of step reported complete";
  // (Bytes left on the link would make the next exchange wait for ever: it is not tried then.)
  ASSERT_EQ(seen.back().status, CLIENT_STATUS_RUN_INCOMPLETE);
  EXPECT_LT(Poll().percent, 100u);
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunIncomplete);
  EXPECT_EQ(CountOutOfStepLines("ReadBackupEx", static_cast<uint32_t>(os.size())), 1u);
  EXPECT_EQ(CountLines("ReadBackupEx(): Get Backup Done!"), 0u);

  handheld_.SetFaults(SlowToResend());
  ExpectRisingTo100(BackUp(2, dir_.File("os2.bin")));
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunCompleted);
  EXPECT_EQ(ReadFileBytes(dir_.File("os2.bin")), os);
  EXPECT_EQ(CountLines("ReadBackupEx(): Get Backup Done!"), 1u);
}

// Two short packets of half a frame each: the host's reads take 760 + 760 bytes, so the second brings the
// count of bytes back to the announced size while the data in between is shifted. Not complete either.
TEST_P(ShortPacketOnTheSerialLink, TwoShortPacketsThatAddUpToAFrameAreNotTakenForWhole) {
  const Bytes os = PatternBytes(10 * kFrame + 300, 13);
  ASSERT_TRUE(handheld_.GetStorage().Write(Area::OS, os.data(), os.size()));
  handheld::FaultPlan plan = SlowToResend();
  plan.short_frames_sent = 2;
  plan.short_frame_bytes = kFrame / 2;
  plan.short_frame_resend_ms = 100;
  handheld_.SetFaults(plan);
  const auto seen = BackUp(2, dir_.File("os.bin"));
  ASSERT_FALSE(seen.empty());
  for (const Progress& p : seen) EXPECT_LT(p.percent, 100u) << "a backup out of step reported complete";
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunIncomplete);
  EXPECT_EQ(CountOutOfStepLines("ReadBackupEx", static_cast<uint32_t>(os.size())), 1u);
  EXPECT_EQ(CountLines("ReadBackupEx(): Get Backup Done!"), 0u);
}

// The 64 KiB read-back of a type 3 format: the same, and the next format's read-back is whole.
TEST_P(ShortPacketOnTheSerialLink, FormatReadBackIsNotTakenForWhole) {
  const Bytes gsm = PatternBytes(0x80000, 12);
  ASSERT_TRUE(handheld_.GetStorage().Write(Area::GSM, gsm.data(), gsm.size()));
  QueueJob(17, PatternBytes(5000));  // sizes the extended ROM only: the GSM area stays as it is
  SendFirstDataPacketShort();
  ClientResult r{};
  Client_FormatDiskEx(3, dir_.File("ffs.bin").c_str(), &r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  ASSERT_EQ(CountOutOfStepLines("ReadBackup", 0x10000), 1u);
  EXPECT_EQ(CountLines("ReadBackup(): Get Backup Done!"), 0u);

  handheld_.SetFaults(SlowToResend());
  Client_FormatDiskEx(3, dir_.File("ffs2.bin").c_str(), &r);
  EXPECT_EQ(ReadFileBytes(dir_.File("ffs2.bin")), Bytes(gsm.begin(), gsm.begin() + 0x10000));
  EXPECT_EQ(CountLines("ReadBackup(): Get Backup Done!"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Reads, ShortPacketOnTheSerialLink, ::testing::Values(0, 500),
                         [](const ::testing::TestParamInfo<int32_t>& info) {
                           return info.param == 0 ? std::string("WholeRead") : std::string("SplitRead");
                         });

// ---- Formats -----------------------------------------------------------------------------------------

// Type 3: the handheld sends the GSMFFS area as it was before the format; the file holds its 65,536 bytes.
TEST_F(FormatBackupEndToEnd, FormatType3WritesTheGsmFfsArea) {
  const Bytes gsm = PatternBytes(0x80000, 9);
  ASSERT_TRUE(handheld_.GetStorage().Write(Area::GSM, gsm.data(), gsm.size()));
  QueueJob(3, PatternBytes(5000));
  QueueJob(17, PatternBytes(1234));
  ClientResult r{};
  Client_FormatDiskEx(3, dir_.File("ffs.bin").c_str(), &r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  EXPECT_EQ(ReadFileBytes(dir_.File("ffs.bin")), Bytes(gsm.begin(), gsm.begin() + 0x10000));
  EXPECT_EQ(CountLinesStartingWith("ReadBackup(): Get a packet Remain="), 44u);
  EXPECT_EQ(CountLines("ReadBackup(): Get Backup Done!"), 1u);

  std::array<uint8_t, 32> sizes{};
  const uint32_t slots[5] = {5000, 0, 0, 0, 1234};
  for (int s = 0; s < 5; ++s)
    for (int b = 0; b < 4; ++b) sizes[4 * s + b] = static_cast<uint8_t>(slots[s] >> (8 * b));
  EXPECT_EQ(handheld_.LastFormatSizes(), sizes);
}

// Types 0 and 4: after the completion nothing is read; the only frames are the command and the completion.
TEST_F(FormatBackupEndToEnd, FormatTypes0And4ReadNoDataPacket) {
  QueueJob(1, PatternBytes(300));
  const std::pair<int32_t, const char*> types[] = {{0, "FF112253"}, {4, "FF112264"}};
  for (const auto& [type, code] : types) {
    SCOPED_TRACE(code);
    handheld_.ClearRecord();
    ClientResult r{};
    Client_FormatDiskEx(type, "", &r);
    EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
    EXPECT_TRUE(handheld_.WaitForFramesSent(1, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a data packet would be on its way
    const auto record = handheld_.Record();
    const auto out = Frames(record, WireEvent::Direction::HostToDevice);
    const auto in = Frames(record, WireEvent::Direction::DeviceToHost);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(Code(out[0]), code);
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(Code(in[0]), "FF112254");
  }
  EXPECT_EQ(CountLines("SendFormatDisk(): receive format ok"), 2u);
  EXPECT_EQ(CountLinesStartingWith("ReadBackup("), 0u) << "no read-back was tried";
}

// Type 1 has no code: the frame's bytes 0-7 are zero, the size block follows, and the host still waits
// for the completion.
TEST_F(FormatBackupEndToEnd, FormatType1SendsAZeroCodeAndStillWaits) {
  QueueJob(2, PatternBytes(777));
  ClientResult r{};
  Client_FormatDiskEx(1, "", &r);
  EXPECT_TRUE(handheld_.WaitForFramesSent(1, 2000));
  const auto record = handheld_.Record();
  const auto out = Frames(record, WireEvent::Direction::HostToDevice);
  ASSERT_EQ(out.size(), 1u);
  ASSERT_GE(out[0].bytes.size(), 40u);
  EXPECT_EQ(Bytes(out[0].bytes.begin(), out[0].bytes.begin() + 8), Bytes(8, 0));
  EXPECT_EQ(Bytes(out[0].bytes.begin() + 16, out[0].bytes.begin() + 20), (Bytes{0x09, 0x03, 0, 0}));
  EXPECT_EQ(CountLines("SendFormatDisk(): receive format ok"), 1u);
}

// A format followed by a flashing run on the same link: the run stores the images the format sized.
TEST_F(FormatBackupEndToEnd, FormatThenFlash) {
  const Bytes gsmImage = PatternBytes(5000, 1);
  const Bytes ebootImage = PatternBytes(3000, 2);
  QueueJob(3, gsmImage);
  QueueJob(1, ebootImage);
  ClientResult r{};
  Client_FormatDisk(&r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  EXPECT_EQ(handheld_.FormatCount(), 1u);
  Client_StartFlash(&r);
  ASSERT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (Poll().percent != 100 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(Poll().percent, 100u);
  if (FlashState.hWorker != nullptr) WaitForSingleObject(FlashState.hWorker, INFINITE);
  EXPECT_EQ(handheld_.GetStorage().Read(Area::GSM), gsmImage);
  EXPECT_EQ(handheld_.GetStorage().Read(Area::EBOOT), ebootImage);
}

// Windows 2000 (5.0) is not XP plus: the format command is written once, after the priming packet.
TEST_F(FormatBackupEndToEnd, NotXpPlusWritesTheFormatCommandOnce) {
  SetHost(5, 0, pty_);
  QueueJob(1, PatternBytes(300));
  ClientResult r{};
  Client_FormatDisk(&r);
  const auto out = Frames(handheld_.Record(), WireEvent::Direction::HostToDevice);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(Code(out[0]), "garbage!");
  EXPECT_EQ(Code(out[1]), "FF112253");
  EXPECT_EQ(CountLines("SendFormatDisk():USBWritePacket Not XP plus"), 1u);
  EXPECT_EQ(CountLines("SendFormatDisk():USBWritePacket"), 0u);
  EXPECT_EQ(CountLines("SendFormatDisk(): receive format ok"), 1u);
}

}  // namespace

// ---- Vista and later: the link's bytes move through the WinUSB pipes ---------------------------------

class FormatBackupOverWinUsb : public FormatBackupEndToEnd {
 protected:
  void SetUp() override {
    FormatBackupEndToEnd::SetUp();
    g_Driver = 0;  // the sync driver's device
    w32sim::HostProfile profile;
    profile.major_version = 6;
    profile.minor_version = 1;
    w32sim::DeviceInterface itf;
    itf.path = "\\\\?\\usb#vid_0e1f&pid_4505#0001#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}";
    itf.opens = "socket:" + handheld_.StartSocket(dir_.File("winusb.sock"));
    profile.interfaces.push_back(itf);
    w32sim::SetHostProfile(profile);
  }
};

// A backup on a link that was just opened works: the exchange sets up the pipes it needs. A format with
// read-back follows on the same link.
TEST_F(FormatBackupOverWinUsb, BackupOnAFreshLinkThenFormatWithReadBack) {
  const Bytes os = PatternBytes(5000, 4);
  const Bytes gsm = PatternBytes(0x10000, 5);
  ASSERT_TRUE(handheld_.GetStorage().Write(Area::OS, os.data(), os.size()));
  ASSERT_TRUE(handheld_.GetStorage().Write(Area::GSM, gsm.data(), gsm.size()));
  ExpectRisingTo100(BackUp(2, dir_.File("os.bin")));
  EXPECT_EQ(ReadFileBytes(dir_.File("os.bin")), os);
  EXPECT_TRUE(FlashState.bLinkIsWinUsb);

  QueueJob(3, PatternBytes(2000));
  ClientResult r{};
  Client_FormatDiskEx(3, dir_.File("ffs.bin").c_str(), &r);
  EXPECT_EQ(ReadFileBytes(dir_.File("ffs.bin")), gsm);
  EXPECT_EQ(CountLines("InitWinUSB Error!"), 0u);
}

// The handheld vanishes during a backup over the pipes: status 102, a short file, the link and its
// interface let go; once it is back the next backup opens the device again and completes.
TEST_F(FormatBackupOverWinUsb, VanishingClosesTheLinkAndTheNextBackupReopensIt) {
  const Bytes ext = PatternBytes(10 * kFrame, 2);
  ASSERT_TRUE(handheld_.GetStorage().Write(Area::EXTROM, ext.data(), ext.size()));
  handheld::FaultPlan plan;
  plan.vanish_after_sent_frames = 3;  // the completion and two data packets
  handheld_.SetFaults(plan);
  const auto seen = BackUp(4, dir_.File("ext.bin"));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().status, CLIENT_STATUS_RUN_INCOMPLETE);
  EXPECT_EQ(ReadFileBytes(dir_.File("ext.bin")), Bytes(ext.begin(), ext.begin() + 2 * kFrame));
  EXPECT_EQ(FlashState.hLink, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(FlashState.bLinkIsWinUsb);

  handheld_.SetFaults(handheld::FaultPlan{});
  ASSERT_FALSE(handheld_.StartSocket(dir_.File("winusb.sock")).empty());
  ExpectRisingTo100(BackUp(4, dir_.File("ext2.bin")));
  EXPECT_EQ(ReadFileBytes(dir_.File("ext2.bin")), ext);
}
