// The image flashing exchange and the flash worker against a scripted bootloader on a pty: the wire
// bytes of the flash command and the data packets, the completion wait, the progress figures of a run,
// skipped jobs, and runs that end because the device stopped answering.
#include <chrono>
#include <functional>

#include "driver/flashing.h"
#include "driver/jobs.h"
#include "driver_test_fixture.h"

namespace {

using driver_test::Distinct;
using driver_test::DriverTest;
using driver_test::PtyDevice;
using driver_test::ScriptedBootloader;
using testing_support::PatternBytes;
using Bytes = std::vector<uint8_t>;

class FlashingTest : public DriverTest {
 protected:
  // Queues a job whose payload (after a header of headerLen bytes) is the pattern of `size` bytes.
  Bytes QueueImage(uint16_t featureId, const std::string& name, size_t size, uint32_t headerLen = 0) {
    Bytes file = PatternBytes(headerLen, 99);
    const Bytes payload = PatternBytes(size, featureId);
    file.insert(file.end(), payload.begin(), payload.end());
    MakeFile(name, file);
    // By its bare name: the test runs in the job files' directory.
    AppendJob(&FlashState.pJobs, featureId, name.c_str(), static_cast<int32_t>(headerLen));
    return payload;
  }
};

TEST_F(FlashingTest, FlashCommandCarriesCodeSizeAndAddress) {
  PtyDevice device(50);
  struct Case {
    int featureId;
    const char* code;
    const char* line;
  };
  const Case cases[] = {{1, "FF112244", "COM_PRE_BL \r\n"}, {2, "FF112245", "COM_BL \r\n"}, {3, "FF112246", "COM_OS \r\n"},
                        {7, "FF112247", "COM_AD \r\n"},     {17, "FF112263", "COM_EXTROM \r\n"}};
  for (const Case& c : cases) {
    ClearLog();
    device.Ack();
    EXPECT_EQ(SendFlashCmd(device.handle(), c.featureId, 3000000, 0x12345678), 1);
    Bytes expected = PtyDevice::Frame(c.code);
    const uint8_t params[] = {0xC0, 0xC6, 0x2D, 0x00, 0x78, 0x56, 0x34, 0x12};
    std::copy(std::begin(params), std::end(params), expected.begin() + 8);
    EXPECT_EQ(device.Read(kPacketFrameSize), expected) << c.featureId;
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"CMD - " + std::to_string(c.featureId) + " \r\n", c.line}));
  }
  ClearLog();
  EXPECT_EQ(SendFlashCmd(device.handle(), 4, 100, 0), 0);
  EXPECT_TRUE(device.Drain().empty());
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"CMD - 4 \r\n", "default \r\n"}));
  device.Drain();
  EXPECT_EQ(SendFlashCmd(device.handle(), 3, 100, 0), 0) << "no acknowledgement, no acceptance";
}

TEST_F(FlashingTest, DataPacketsEndWithATailEvenWhenNothingRemains) {
  struct Case {
    uint32_t size;
    std::vector<uint32_t> packetBytes;  // payload bytes in each packet
  };
  const Case cases[] = {{0, {0}}, {1519, {1519}}, {1520, {1520, 0}}, {3100, {1520, 1520, 60}}};
  for (const Case& c : cases) {
    PtyDevice device;
    FlashState.nBytesSent.store(0);
    FlashState.nTotalBytes.store(100000);
    FlashState.nOnePercent.store(1000);
    const Bytes payload = PatternBytes(c.size, 4);
    for (size_t i = 0; i < c.packetBytes.size(); ++i) device.Ack();
    EXPECT_EQ(SendImageData(device.handle(), payload.data(), c.size), 1);
    size_t offset = 0;
    for (uint32_t n : c.packetBytes) {
      Bytes expected(kPacketFrameSize, 0);
      std::copy(payload.begin() + offset, payload.begin() + offset + n, expected.begin());
      EXPECT_EQ(device.Read(kPacketFrameSize), expected) << c.size << " at " << offset;
      offset += n;
    }
    EXPECT_TRUE(device.Drain().empty()) << c.size;
    EXPECT_EQ(FlashState.nBytesSent.load(), static_cast<int32_t>(c.size));
  }
}

// A run near the count's limit (jobs of up to 2 GiB each): the count stops at its largest value and the
// percent stays at its cap instead of wrapping negative.
TEST_F(FlashingTest, SentCountStopsAtItsLimit) {
  PtyDevice device;
  FlashState.nBytesSent.store(INT32_MAX - 100);
  FlashState.nTotalBytes.store(INT32_MAX);
  FlashState.nOnePercent.store(INT32_MAX / 100);
  const Bytes payload = PatternBytes(3100, 5);
  for (int i = 0; i < 3; ++i) device.Ack();
  EXPECT_EQ(SendImageData(device.handle(), payload.data(), 3100), 1);
  EXPECT_EQ(FlashState.nBytesSent.load(), INT32_MAX);
  EXPECT_EQ(FlashState.nProgress.load(), 92);
}

TEST_F(FlashingTest, CompletionWaitSkipsOtherPackets) {
  PtyDevice device;
  for (const char* start : {"FF112254", "FF112249", "FF11224\x38"}) {  // the last one is "FF112248"
    device.Write(PtyDevice::Frame(start));
  }
  // Only bytes 0-7 decide; what follows does not matter.
  ClearLog();
  EXPECT_EQ(WaitForFlashComplete(device.handle()), 1);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "WaitForFlashComplete(): USBReadPacket", "WaitForFlashComplete(): receive wrong packet",
                            "WaitForFlashComplete(): USBReadPacket", "WaitForFlashComplete(): receive wrong packet",
                            "WaitForFlashComplete(): USBReadPacket", "WaitForFlashComplete(): receive flash ok"}));
  EXPECT_EQ(device.Read(3 * kAckSize), Bytes(3 * kAckSize, 0)) << "every packet is acknowledged";
  EXPECT_FALSE(testing_support::ReadFileBytes(dir_.File("RES_FLASH_DONE.dat")).size() > 0)
      << "no dump without DebugON";
}

TEST_F(FlashingTest, CompletionWaitPurgesAndDumpsWhenConfigured) {
  PtyDevice device(20);
  g_PurgeTx = 1;
  g_DebugON = 1;
  Bytes completion = PtyDevice::Frame("FF112248");
  completion[1519] = 0x77;
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    device.Write(completion);
  });
  EXPECT_EQ(WaitForFlashComplete(device.handle()), 1);
  late.join();
  EXPECT_EQ(testing_support::ReadFileBytes(dir_.File("RES_FLASH_DONE.dat")), completion);
  const size_t purges = CountLogLines("WaitForFlashComplete(): PurgeComm TX=4 RX=0");
  EXPECT_GE(purges, 2u);
  EXPECT_EQ(purges, CountLogLines("WaitForFlashComplete(): USBReadPacket"));
  EXPECT_EQ(purges - 1, CountLogLines("WaitForFlashComplete(): receive flash complete fail"));

  // The receive side is cleared before each read: only a frame that comes after the purge counts. The
  // completion goes out once the first purge is done, well inside the read that follows it (a frame
  // arriving while a purge runs could be cut by it, which is not what is checked here).
  ClearLog();
  g_PurgeTx = 0;
  g_PurgeRx = 1;
  PtyDevice patient(400);
  patient.Write(PtyDevice::Frame("FF112254"));
  std::thread later([&] {
    for (int i = 0; i < 2000 && CountLogLines("WaitForFlashComplete(): PurgeComm TX=0 RX=8") == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    patient.Write(PtyDevice::Frame("FF112248"));
  });
  EXPECT_EQ(WaitForFlashComplete(patient.handle()), 1);
  later.join();
  EXPECT_EQ(CountLogLines("WaitForFlashComplete(): receive wrong packet"), 0u) << "the early packet was purged";
  EXPECT_EQ(LogLines()[1], "WaitForFlashComplete(): PurgeComm TX=0 RX=8");
}

TEST_F(FlashingTest, RunOfTwoJobsShowsTheCappedFiguresThen100) {
  PtyDevice device;
  device.MakeLink();
  const Bytes first = QueueImage(1, "eboot.nbf", 3000, 64);
  const Bytes second = QueueImage(3, "temp3", 7000);
  ScriptedBootloader bootloader(device);
  EXPECT_EQ(FlashWorker(nullptr), 0u);
  EXPECT_EQ(FlashState.nProgress.load(), 100);
  bootloader.Stop();

  EXPECT_EQ(FlashState.nTotalBytes.load(), 10000);
  EXPECT_EQ(FlashState.nOnePercent.load(), 100);
  std::vector<int32_t> seen = bootloader.progressAtFrame;
  seen.push_back(bootloader.progressBeforeCompletion.back());
  EXPECT_EQ(Distinct(seen), (std::vector<int32_t>{0, 15, 30, 45, 60, 75, 90, 92}));
  EXPECT_EQ(bootloader.progressBeforeCompletion, (std::vector<int32_t>{30, 92}));
  ASSERT_EQ(bootloader.images.size(), 2u);
  EXPECT_EQ(bootloader.images[0], first);
  Bytes scrambled = second;  // "temp3" is sent unscrambled: the file held it scrambled
  for (uint8_t& b : scrambled) b ^= 0x5B;
  EXPECT_EQ(bootloader.images[1], scrambled);
  EXPECT_EQ(bootloader.frames.size(), 1u + 2u + 1u + 5u);
  EXPECT_EQ(FlashState.pJobs, nullptr);
  EXPECT_EQ(FlashState.pJobData, nullptr);
  EXPECT_EQ(FlashState.nCurrentFeatureId.load(), 3);
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunCompleted);
  EXPECT_EQ(CountLogLines("ProcessOneJob():SendFlashCmd 1 1\r\n"), 1u);
  EXPECT_EQ(CountLogLines("ProcessOneJob():SendFlashCmd 3 3\r\n"), 1u);
}

TEST_F(FlashingTest, LargeImageReaches89Then90ThenTheTailCap) {
  PtyDevice device;
  device.MakeLink();
  QueueImage(3, "os.nbf", 151000);
  ScriptedBootloader bootloader(device);
  FlashWorker(nullptr);
  bootloader.Stop();
  // Frame 1 is the command; frame k+1 arrives after k full packets.
  ASSERT_EQ(bootloader.progressAtFrame.size(), 1u + 99u + 1u);
  EXPECT_EQ(bootloader.progressAtFrame[1 + 89], 89);
  for (int k = 90; k <= 99; ++k) EXPECT_EQ(bootloader.progressAtFrame[1 + k], 90) << k;
  EXPECT_EQ(bootloader.progressBeforeCompletion, (std::vector<int32_t>{92}));
  EXPECT_EQ(FlashState.nProgress.load(), 100);
}

TEST_F(FlashingTest, RunsBelowOneHundredBytesUseTheTotal) {
  {
    PtyDevice device;
    device.MakeLink();
    QueueImage(7, "a", 30);
    QueueImage(7, "b", 20);
    ScriptedBootloader bootloader(device);
    FlashWorker(nullptr);
    bootloader.Stop();
    EXPECT_EQ(FlashState.nOnePercent.load(), 0);
    EXPECT_EQ(bootloader.progressBeforeCompletion, (std::vector<int32_t>{60, 92}));
  }
  {
    PtyDevice device;
    device.MakeLink();
    QueueImage(7, "empty", 0);
    ScriptedBootloader bootloader(device);
    FlashWorker(nullptr);
    bootloader.Stop();
    EXPECT_EQ(bootloader.progressBeforeCompletion, (std::vector<int32_t>{92}));
    EXPECT_EQ(FlashState.nProgress.load(), 100);
  }
}

TEST_F(FlashingTest, JobsWithoutPayloadAreSkippedAndTheRunGoesOn) {
  PtyDevice device;
  device.MakeLink();
  AppendJob(&FlashState.pJobs, 3, "missing.nbf", 0);
  const Bytes asset = QueueImage(7, "asset.bin", 2000);
  MakeFile("short.nbf", PatternBytes(10));
  AppendJob(&FlashState.pJobs, 1, "short.nbf", 11);
  QueueImage(5, "unknown.bin", 500);
  ScriptedBootloader bootloader(device);
  FlashWorker(nullptr);
  bootloader.Stop();
  EXPECT_EQ(FlashState.nTotalBytes.load(), 2000);
  ASSERT_EQ(bootloader.images.size(), 1u);
  EXPECT_EQ(bootloader.images[0], asset);
  EXPECT_EQ(FlashState.nProgress.load(), 100);
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunCompleted);
  EXPECT_EQ(FlashState.nCurrentFeatureId.load(), 7) << "skipped jobs are never the current one";
  EXPECT_EQ(CountLogLines("ProcessOneJob(): job FeatureID=3 FileName=missing.nbf skipped: the file cannot be opened"), 1u);
  EXPECT_EQ(CountLogLines("ProcessOneJob(): job FeatureID=1 FileName=short.nbf skipped: the header length exceeds "
                          "the file size"),
            1u);
  EXPECT_EQ(CountLogLines("ProcessOneJob(): job FeatureID=5 FileName=unknown.bin skipped: no flash command for the feature id"),
            1u);
  EXPECT_EQ(CountLogLines("CMD - 5 \r\n"), 0u);
}

TEST_F(FlashingTest, SlowCompletionStillSucceeds) {
  PtyDevice device(20);
  device.MakeLink();
  QueueImage(3, "os.nbf", 4000);
  QueueImage(17, "ext.nbf", 100);
  ScriptedBootloader::Options options;
  options.completionDelayMs = 100;  // 100 s of the layer's clock: beyond a minute
  options.wrongPacketsBeforeCompletion = 2;
  ScriptedBootloader bootloader(device, options);
  FlashWorker(nullptr);
  bootloader.Stop();
  EXPECT_EQ(FlashState.nProgress.load(), 100);
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunCompleted);
  EXPECT_EQ(bootloader.images.size(), 2u);
  EXPECT_GT(CountLogLines("WaitForFlashComplete(): receive flash complete fail"), 2u);
  EXPECT_EQ(CountLogLines("WaitForFlashComplete(): receive wrong packet"), 4u);
}

class FailedRunTest : public FlashingTest {
 protected:
  void ExpectIncompleteRun() {
    EXPECT_LT(FlashState.nProgress.load(), 100);
    EXPECT_EQ(FlashState.nRunOutcome.load(), kRunIncomplete);
    EXPECT_EQ(FlashState.hLink, INVALID_HANDLE_VALUE) << "the link is closed for the next run to reopen";
    EXPECT_EQ(FlashState.pJobs, nullptr);
    EXPECT_EQ(FlashState.pJobData, nullptr);
    EXPECT_EQ(CountLogLines("FlashWorker(): the run ends before completion, the remaining jobs are dropped"), 1u);
  }
  // Runs the worker on one image of `size` bytes against a bootloader that falls silent from frame
  // `silentFrom` on; `before` runs just before the worker. The run must end incomplete.
  void RunAgainstABootloaderFallingSilent(size_t size, uint32_t silentFrom, const std::function<void()>& before = {}) {
    PtyDevice device(10);
    device.MakeLink();
    QueueImage(3, "os.nbf", size);
    ScriptedBootloader::Options options;
    options.silentFromFrame = silentFrom;
    ScriptedBootloader bootloader(device, options);
    if (before) before();
    FlashWorker(nullptr);
    bootloader.Stop();
    ExpectIncompleteRun();
  }
};

TEST_F(FailedRunTest, DeviceVanishingMidImageEndsTheRun) {
  PtyDevice device;
  device.MakeLink();
  QueueImage(3, "os.nbf", 20000);
  QueueImage(1, "eboot.nbf", 100);
  ScriptedBootloader::Options options;
  options.vanishAtFrame = 5;
  ScriptedBootloader bootloader(device, options);
  const auto start = std::chrono::steady_clock::now();
  FlashWorker(nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  bootloader.Stop();
  ExpectIncompleteRun();
  EXPECT_EQ(CountLogLines("SendImageData(): the device is gone, the image is not sent"), 1u);
  EXPECT_EQ(CountLogLines("CMD - 1 \r\n"), 0u) << "the second job never starts";
}

// Gone when the image's last packet arrives: the log says that all of the image but that packet's
// acknowledgement went through (an image too large for its area ends this way), not that it was not sent.
TEST_F(FailedRunTest, DeviceVanishingAtTheLastPacketSaysSo) {
  PtyDevice device;
  device.MakeLink();
  QueueImage(3, "os.nbf", 3000);  // the command, a full packet, the last packet
  ScriptedBootloader::Options options;
  options.vanishAtFrame = 3;
  ScriptedBootloader bootloader(device, options);
  FlashWorker(nullptr);
  bootloader.Stop();
  ExpectIncompleteRun();
  EXPECT_EQ(CountLogLines("SendImageData(): the device is gone, the image's last packet is not acknowledged"), 1u);
  EXPECT_EQ(CountLogLines("SendImageData(): the device is gone, the image is not sent"), 0u);
}

TEST_F(FailedRunTest, FlashCommandNeverAcceptedEndsAfterAMinute) {
  RunAgainstABootloaderFallingSilent(3000, 1);
  EXPECT_GE(CountLogLines("ProcessOneJob():SendFlashCmd id=3 id=3 transf=3000 add=0\r\n"), 2u);
  EXPECT_EQ(CountLogLines("ProcessOneJob(): the device has not answered for too long, the flash command was not "
                          "accepted"),
            1u);
}

TEST_F(FailedRunTest, DataPacketsNeverAcknowledgedEndAfterAMinute) {
  RunAgainstABootloaderFallingSilent(5000, 3);
  EXPECT_EQ(FlashState.nProgress.load(), 30);
  EXPECT_EQ(CountLogLines("SendImageData(): the device has not answered for too long, the image is not sent"), 1u);
}

// The tick counter wraps after 49.7 days of up time. The bounds are differences of tick counts: a run
// across the wrap neither ends at once nor runs on without end, and a good run is not cut short.
TEST_F(FailedRunTest, BoundsHoldAcrossTheTickCounterWrap) {
  uint64_t start = 0;
  RunAgainstABootloaderFallingSilent(5000, 3, [&] {
    w32sim::SetTickCountOrigin(0xFFFFFFFFu - 5000u);  // wraps 5 s into the minute's bound
    start = w32sim::VirtualMilliseconds();
  });
  EXPECT_GE(w32sim::VirtualMilliseconds() - start, 60000u);
  EXPECT_LT(w32sim::VirtualMilliseconds() - start, 120000u);
  EXPECT_EQ(CountLogLines("SendImageData(): the device has not answered for too long, the image is not sent"), 1u);
}

TEST_F(FlashingTest, ARunAcrossTheTickCounterWrapCompletes) {
  PtyDevice device;
  device.MakeLink();
  const Bytes eboot = QueueImage(1, "eboot.nbf", 4000);
  const Bytes os = QueueImage(3, "os.nbf", 6000);
  ScriptedBootloader bootloader(device);
  w32sim::SetTickCountOrigin(0xFFFFFFFFu - 300u);
  FlashWorker(nullptr);
  bootloader.Stop();
  EXPECT_EQ(FlashState.nProgress.load(), 100);
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunCompleted);
  ASSERT_EQ(bootloader.images.size(), 2u);
  EXPECT_EQ(bootloader.images[0], eboot);
  EXPECT_EQ(bootloader.images[1], os);
}

TEST_F(FailedRunTest, MissingCompletionEndsAfterFifteenMinutes) {
  w32sim::SetClockScale(20000);
  PtyDevice device(10);
  device.MakeLink();
  QueueImage(3, "os.nbf", 100);
  ScriptedBootloader::Options options;
  options.sendCompletion = false;
  ScriptedBootloader bootloader(device, options);
  FlashWorker(nullptr);
  bootloader.Stop();
  ExpectIncompleteRun();
  EXPECT_EQ(FlashState.nProgress.load(), 92);
  bool logged = false;
  for (const std::string& line : LogLines())
    logged |= line.rfind("WaitForFlashComplete(): no packet for ", 0) == 0 &&
              line.find(" ms, no completion received") != std::string::npos;
  EXPECT_TRUE(logged);
}

}  // namespace
