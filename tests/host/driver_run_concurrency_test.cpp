// A flashing run started through Client_StartFlash while another thread polls Client_Progress, as the
// update application does; then the calls the application may make as soon as it has seen 100.
#include <algorithm>
#include <set>

#include "driver/dravik.h"
#include "driver_test_fixture.h"

namespace {

using driver_test::DriverTest;
using driver_test::PtyDevice;
using driver_test::ScriptedBootloader;
using testing_support::PatternBytes;

class RunConcurrencyTest : public DriverTest {
 protected:
  void Queue(uint16_t featureId, const std::string& name, size_t size) {
    MakeFile(name, PatternBytes(size, featureId));
    ClientResult r{};
    Client_QueueJob(featureId, name.c_str(), 0, &r);
  }
  // Polls from a thread of its own until 100 (or 102) shows; returns what it saw.
  struct Poller {
    std::vector<uint32_t> percents;
    std::set<uint32_t> featureIds;
    std::set<uint32_t> statuses;
    std::thread thread;
    void Start() {
      thread = std::thread([this] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < end) {
          ClientResult r{};
          Client_Progress(&r);
          percents.push_back(r.dwValue);
          featureIds.insert(r.dwFeatureId);
          statuses.insert(r.dwStatus);
          if (r.dwValue == 100 || r.dwStatus == CLIENT_STATUS_RUN_INCOMPLETE) return;
          std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
      });
    }
    void Join() { thread.join(); }
  };
};

TEST_F(RunConcurrencyTest, PollingDuringARunSeesOnlyTheRunsFigures) {
  w32sim::SetClockScale(20);  // the pause after each job lasts 50 ms: room for the calls below
  PtyDevice device;
  device.MakeLink();
  ScriptedBootloader bootloader(device);

  Queue(1, "eboot.nbf", 3000);
  Queue(3, "os.nbf", 7000);
  ClientResult r{};
  Client_StartFlash(&r);
  ASSERT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  Poller first;
  first.Start();
  first.Join();
  ASSERT_EQ(first.percents.back(), 100u);
  const std::set<uint32_t> allowed = {0, 15, 30, 45, 60, 75, 90, 92, 100};
  for (uint32_t p : first.percents) EXPECT_TRUE(allowed.count(p)) << p;
  EXPECT_TRUE(std::is_sorted(first.percents.begin(), first.percents.end()));
  EXPECT_EQ(first.statuses, std::set<uint32_t>{CLIENT_STATUS_OK});
  for (uint32_t id : first.featureIds) EXPECT_TRUE(id == 0 || id == 1 || id == 3) << id;

  // 100 shows while the worker still pauses after the last job. A new run queued and started now
  // must not share anything with it.
  Queue(17, "ext.nbf", 2000);
  Client_StartFlash(&r);
  ASSERT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  Poller second;
  second.Start();
  second.Join();
  EXPECT_EQ(second.percents.back(), 100u);
  // And a shutdown as soon as 100 shows: the worker is still pausing and freeing its list.
  Client_Shutdown();
  WaitForSingleObject(FlashState.hWorker, INFINITE);
  bootloader.Stop();

  ASSERT_EQ(bootloader.images.size(), 3u);
  EXPECT_EQ(bootloader.images[0], PatternBytes(3000, 1));
  EXPECT_EQ(bootloader.images[1], PatternBytes(7000, 3));
  EXPECT_EQ(bootloader.images[2], PatternBytes(2000, 17));
  EXPECT_EQ(bootloader.frames.back(), PtyDevice::Frame("FF112249"));
  EXPECT_EQ(FlashState.nProgress.load(), 0) << "the finished worker does not set 100 after the shutdown";
  EXPECT_EQ(FlashState.pJobs, nullptr);
}

TEST_F(RunConcurrencyTest, PollingSeesTheIncompleteRun) {
  PtyDevice device;
  device.MakeLink();
  ScriptedBootloader::Options options;
  options.vanishAtFrame = 4;
  ScriptedBootloader bootloader(device, options);
  Queue(3, "os.nbf", 9000);
  ClientResult r{};
  Client_StartFlash(&r);
  Poller poller;
  poller.Start();
  poller.Join();
  WaitForSingleObject(FlashState.hWorker, INFINITE);
  bootloader.Stop();
  EXPECT_TRUE(poller.statuses.count(CLIENT_STATUS_RUN_INCOMPLETE));
  EXPECT_LT(poller.percents.back(), 100u);
  Client_Progress(&r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_RUN_INCOMPLETE);
}

}  // namespace
