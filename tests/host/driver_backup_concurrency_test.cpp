// A backup started through Client_BackUp while another thread polls Client_Progress, as the update
// application does: the backup thread's figures reach the poller whole and in order, and the end of a
// backup that could not complete shows as status 102.
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver/dravik.h"
#include "driver/state.h"
#include "handheld/virtual_handheld.h"
#include "platform/posix/clock.h"
#include "platform/posix/host_profile.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testing_support::PatternBytes;

struct Seen {
  std::vector<uint32_t> percents;
  std::vector<uint32_t> statuses;
};

// Polls from its own thread until 100 or status 102 shows (or 30 s of real time pass).
Seen PollUntilDone() {
  Seen seen;
  std::thread poller([&seen] {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end) {
      ClientResult r{};
      Client_Progress(&r);
      seen.percents.push_back(r.dwValue);
      seen.statuses.push_back(r.dwStatus);
      if (r.dwValue == 100 || r.dwStatus == CLIENT_STATUS_RUN_INCOMPLETE) return;
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  poller.join();
  return seen;
}

class BackupConcurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    chdir_ = std::make_unique<testing_support::ScopedChdir>(dir_.path());
    w32sim::SetClockScale(20);
    g_Driver = 1;
    g_RTimeout = 20;  // acknowledgements within 100 ms of real time, also under ThreadSanitizer
    g_WTimeout = 20;
    g_DebugON = g_PurgeTx = g_PurgeRx = g_WaitRx = g_splitReadAck = 0;
    FlashState.hLink = nullptr;
    FlashState.nProgress.store(0);
    FlashState.nRunOutcome.store(kRunNone);
    w32sim::HostProfile profile;
    profile.major_version = 5;
    profile.minor_version = 1;
    w32sim::PortDevice port;
    port.portname = "COM7";
    port.symbolic_name = "\\??\\USB#Vid_0e1f&Pid_4505#0001#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    port.opens = handheld_.StartPty();
    profile.ports.push_back(port);
    w32sim::SetHostProfile(profile);
  }
  void TearDown() override {
    AwaitEarlierThread(&FlashState.hWorker);
    AwaitEarlierThread(&FlashState.hBackupThread);
    CloseComPort();
    handheld_.Stop();
    w32sim::SetClockScale(1);
  }

  testing_support::TempDir dir_;
  std::unique_ptr<testing_support::ScopedChdir> chdir_;
  handheld::VirtualHandheld handheld_{dir_.File("handheld")};
};

TEST_F(BackupConcurrency, PollingSeesRisingFiguresAndThenTheEndOfAnIncompleteBackup) {
  const Bytes os = PatternBytes(200 * 1520, 3);
  ASSERT_TRUE(handheld_.GetStorage().Write(handheld::Area::OS, os.data(), os.size()));
  ClientResult r{};
  Client_BackUp(2, dir_.File("os.bin").c_str(), &r);
  ASSERT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  Seen seen = PollUntilDone();
  ASSERT_FALSE(seen.percents.empty());
  EXPECT_EQ(seen.percents.back(), 100u);
  // Once 100 shows, the log tells the end of the read-back (an application may read it then).
  EXPECT_NE(testing_support::ReadFileText(dir_.File("logfile.txt")).find("ReadBackupEx(): Get Backup Done!"),
            std::string::npos);
  for (size_t i = 0; i < seen.percents.size(); ++i) {
    EXPECT_EQ(seen.statuses[i], CLIENT_STATUS_OK);
    EXPECT_LE(seen.percents[i], 100u);
    if (i > 0) {
      EXPECT_GE(seen.percents[i], seen.percents[i - 1]);
    }
  }
  WaitForSingleObject(FlashState.hBackupThread, INFINITE);
  EXPECT_EQ(testing_support::ReadFileBytes(dir_.File("os.bin")), os);
  // The backup thread's per-packet lines, gathered and appended between the poller's entries: all of
  // them, whole and in order, and no entry of either thread broken by the other's.
  const std::string log = testing_support::ReadFileText(dir_.File("logfile.txt"));
  const std::string packetLine = "ReadBackupEx(): Get a packet Remain=";
  std::vector<long> remains;
  for (size_t start = 0, end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::string line = log.substr(start, end - start);
    const size_t progress = line.find("Client_Progress()");
    EXPECT_TRUE(progress == std::string::npos || progress == 0) << line;
    if (line.find("Get a packet") == std::string::npos) continue;
    ASSERT_EQ(line.compare(0, packetLine.size(), packetLine), 0) << line;
    const std::string number = line.substr(packetLine.size());
    ASSERT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << line;
    remains.push_back(std::stol(number));
  }
  ASSERT_EQ(remains.size(), 200u);
  for (size_t i = 0; i < remains.size(); ++i) EXPECT_EQ(remains[i], static_cast<long>((200 - i) * 1520));

  // The handheld goes away after the completion and 50 data packets of the next backup.
  handheld::FaultPlan plan;
  plan.vanish_after_sent_frames = 51;
  handheld_.SetFaults(plan);
  Client_BackUp(2, dir_.File("os2.bin").c_str(), &r);
  seen = PollUntilDone();
  ASSERT_FALSE(seen.statuses.empty());
  EXPECT_EQ(seen.statuses.back(), CLIENT_STATUS_RUN_INCOMPLETE);
  EXPECT_LT(seen.percents.back(), 100u);
  WaitForSingleObject(FlashState.hBackupThread, INFINITE);
  const Bytes partial = testing_support::ReadFileBytes(dir_.File("os2.bin"));
  ASSERT_EQ(partial.size(), 50u * 1520u);
  EXPECT_EQ(partial, Bytes(os.begin(), os.begin() + 50 * 1520));
}

// 100 shows a moment before the thread of a run has ended: the flash worker pauses for a second after
// its last job, a backup thread stores its outcome after its last packet. A backup started as soon as
// 100 shows must not get those last writes: one that fails at once shows 102, not the earlier run's end.
TEST_F(BackupConcurrency, ABackupStartedAsSoonAsARunShows100KeepsItsOwnOutcome) {
  const Bytes image = PatternBytes(20 * 1520, 7);
  testing_support::WriteFileBytes(dir_.File("eboot.nbf"), image);
  ClientResult r{};
  Client_QueueJob(1, dir_.File("eboot.nbf").c_str(), 0, &r);
  Client_StartFlash(&r);
  ASSERT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  ASSERT_EQ(PollUntilDone().percents.back(), 100u);
  const std::string unwritable = dir_.File("no_such_dir/os.bin");
  Client_BackUp(2, unwritable.c_str(), &r);
  WaitForSingleObject(FlashState.hBackupThread, INFINITE);
  if (FlashState.hWorker != nullptr) WaitForSingleObject(FlashState.hWorker, INFINITE);
  Client_Progress(&r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_RUN_INCOMPLETE);
  EXPECT_LT(r.dwValue, 100u);
  EXPECT_EQ(handheld_.GetStorage().Read(handheld::Area::EBOOT), image);

  // The same after a backup that shows 100.
  const Bytes os = PatternBytes(30 * 1520, 3);
  ASSERT_TRUE(handheld_.GetStorage().Write(handheld::Area::OS, os.data(), os.size()));
  Client_BackUp(2, dir_.File("os.bin").c_str(), &r);
  ASSERT_EQ(PollUntilDone().percents.back(), 100u);
  Client_BackUp(2, unwritable.c_str(), &r);
  WaitForSingleObject(FlashState.hBackupThread, INFINITE);
  Client_Progress(&r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_RUN_INCOMPLETE);
  EXPECT_EQ(testing_support::ReadFileBytes(dir_.File("os.bin")), os);
}

}  // namespace
