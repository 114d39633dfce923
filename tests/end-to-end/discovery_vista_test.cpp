// Flashing runs on a Vista-or-later host: the sync services stopped and disabled before the search and
// started again at shutdown, the handheld reached through WinUSB bulk pipes initialised before each job;
// and the USB-serial driver's port, read and written as a file there too.
#include <dlfcn.h>

#include <atomic>
#include <mutex>

#include "discovery_fixture.h"

namespace {

// Frames the handheld had received each time the library initialised WinUSB.
std::mutex g_initMutex;
std::vector<uint32_t> g_initsAtFrame;
const handheld::VirtualHandheld* g_observed = nullptr;

}  // namespace

// Stands in front of the platform's WinUsb_Initialize to note when the library calls it.
extern "C" BOOL WINAPI WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle) {
  using Fn = BOOL(WINAPI*)(HANDLE, PWINUSB_INTERFACE_HANDLE);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "WinUsb_Initialize"));
  {
    std::lock_guard<std::mutex> lock(g_initMutex);
    if (g_observed != nullptr) g_initsAtFrame.push_back(g_observed->FramesReceived());
  }
  return real(DeviceHandle, InterfaceHandle);
}

namespace {

using namespace discovery_test;

class Vista : public DiscoveryEndToEnd {
 protected:
  void SetUp() override {
    DiscoveryEndToEnd::SetUp();
    std::lock_guard<std::mutex> lock(g_initMutex);
    g_initsAtFrame.clear();
    g_observed = &handheld_;
  }
  void TearDown() override {
    DiscoveryEndToEnd::TearDown();
    std::lock_guard<std::mutex> lock(g_initMutex);
    g_observed = nullptr;
  }
  std::vector<uint32_t> Inits() {
    std::lock_guard<std::mutex> lock(g_initMutex);
    return g_initsAtFrame;
  }
};

const std::vector<std::string> kStopped = {"STOP WcesComm", "CONFIG WcesComm start=4", "STOP RapiMgr",
                                           "CONFIG RapiMgr start=4"};
const std::vector<std::string> kStarted = {"CONFIG WcesComm start=2", "START WcesComm", "CONFIG RapiMgr start=2",
                                           "START RapiMgr"};

TEST_F(Vista, SyncDriverRunGoesThroughWinUsbInitialisedBeforeEachJob) {
  w32sim::HostProfile profile = Host(6, 1);
  AddSyncSoftware(&profile);
  w32sim::DeviceInterface itf =
      HandheldInterface("socket:" + handheld_.StartSocket(device_dir_.File("winusb.sock")));
  itf.endpoints = {{0x81, 2}, {0x83, 3}, {0x02, 2}};
  itf.presence.appears_after_polls = 3;  // attached after the services were stopped
  profile.interfaces = {itf};
  w32sim::SetHostProfile(profile);
  g_Driver = 0;

  const Bytes ipl = testing_support::PatternBytes(5000, 7);
  const Bytes ext = testing_support::PatternBytes(3100, 9);
  QueueJob(2, ipl);
  QueueJob(17, ext);
  uint32_t status = 0;
  const ClientResult progress = RunFlash(&status);
  ASSERT_EQ(CLIENT_STATUS_OK, status);
  EXPECT_EQ(100u, progress.dwValue);
  EXPECT_TRUE(FlashState.bLinkIsWinUsb);
  EXPECT_EQ(0x02, WinUsbLink.bOutPipe);
  EXPECT_EQ(0x81, WinUsbLink.bInPipe);
  // The services were stopped and disabled before the device was opened, and stay so during the run.
  EXPECT_EQ(kStopped, SyncServiceEvents());
  const std::string log = Log();
  EXPECT_LT(log.find("IsWinVerVista!!\r\n"), log.find("while until get PnpPath"));
  EXPECT_GE(CountInLog("while until get PnpPath\r\r\n"), 3u);
  EXPECT_NE(std::string::npos, log.find(std::string("OpenComPort(): id_mypc_end ") + kInterfacePath + "\r\r\n"));
  EXPECT_EQ(std::string::npos, log.find("InitWinUSB Error!"));

  // WinUSB set up before the first job's command and again before the second's.
  const std::vector<uint32_t> inits = Inits();
  ASSERT_EQ(2u, inits.size());
  EXPECT_EQ(0u, inits[0]);
  const auto frames = HostFrames();
  ASSERT_GT(frames.size(), inits[1]);
  EXPECT_EQ("FF112263", Code(frames[inits[1]]));  // the second job's flash command came right after
  EXPECT_EQ("FF112245", Code(frames[0]));
  EXPECT_EQ(0u, CountFrames("garbage!"));

  Client_Shutdown();
  EXPECT_EQ("FF112249", Code(HostFrames().back()));
  EXPECT_TRUE(handheld_.GetStorage().Read(Area::IPL) == ipl);
  EXPECT_TRUE(handheld_.GetStorage().Read(Area::EXTROM) == ext);
  std::vector<std::string> all = kStopped;
  all.insert(all.end(), kStarted.begin(), kStarted.end());
  EXPECT_EQ(all, SyncServiceEvents());
  EXPECT_EQ(nullptr, WinUsbLink.hInterface);  // released with the link
  // Windows and processes are not touched on this host class.
  EXPECT_TRUE(w32sim::CurrentHostRecord().window_posts.empty());
  EXPECT_TRUE(w32sim::CurrentHostRecord().terminated_pids.empty());
}

TEST_F(Vista, SecondRunAfterShutdownStopsAndRestartsTheServicesAgain) {
  w32sim::HostProfile profile = Host(6, 0);
  AddSyncSoftware(&profile);
  profile.interfaces = {HandheldInterface("socket:" + handheld_.StartSocket(device_dir_.File("winusb.sock")))};
  w32sim::SetHostProfile(profile);
  g_Driver = 0;

  FlashTwoImagesAndShutDown();
  FlashTwoImagesAndShutDown();
  std::vector<std::string> twice = kStopped;
  twice.insert(twice.end(), kStarted.begin(), kStarted.end());
  twice.insert(twice.end(), kStopped.begin(), kStopped.end());
  twice.insert(twice.end(), kStarted.begin(), kStarted.end());
  EXPECT_EQ(twice, SyncServiceEvents());
  EXPECT_EQ(4u, Inits().size());
}

TEST_F(Vista, UsbSerialPortIsReadAndWrittenAsAFile) {
  w32sim::HostProfile profile = Host(6, 1);
  AddSyncSoftware(&profile);
  profile.interfaces = {HandheldInterface("")};  // what the device-path poll waits for
  profile.ports = {HandheldPort(handheld_.StartPty())};
  w32sim::SetHostProfile(profile);
  g_Driver = 1;

  FlashTwoImagesAndShutDown();
  EXPECT_FALSE(FlashState.bLinkIsWinUsb);
  EXPECT_NE(std::string::npos, Log().find("GetUsb2SerDevicePreset EndEnumeratePorts"));
  // WinUSB cannot be set up on a serial port: the failure is logged before each job, and the job goes on.
  EXPECT_EQ(2u, CountInLog("InitWinUSB Error!\r\n"));
  std::vector<std::string> all = kStopped;
  all.insert(all.end(), kStarted.begin(), kStarted.end());
  EXPECT_EQ(all, SyncServiceEvents());
}

TEST_F(Vista, ServiceThatDoesNotStopInTimeIsLoggedAndTheRunGoesOn) {
  w32sim::HostProfile profile = Host(6, 2);
  AddSyncSoftware(&profile);
  profile.services[0].stop_ms = 30000;  // WcesComm
  profile.services[1].refuses_controls = true;  // RapiMgr
  profile.interfaces = {HandheldInterface("socket:" + handheld_.StartSocket(device_dir_.File("winusb.sock")))};
  w32sim::SetHostProfile(profile);
  g_Driver = 0;

  FlashTwoImagesAndShutDown();
  const std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("STOP WcesComm Fail!!\r\n"));
  EXPECT_NE(std::string::npos, log.find("STOP RapiMgr Fail!!\r\n"));
  // The refused stop left RapiMgr running, so starting it again has nothing to do.
  EXPECT_EQ(std::string::npos, log.find("START RapiMgr Fail!!"));
}

}  // namespace
