// Flashing runs on an XP-plus host with either driver: the sync driver's interface path or the
// USB-serial "Ports" device, found when the handheld is attached late, and a device that cannot be
// opened.
#include "discovery_fixture.h"

namespace {

using namespace discovery_test;

class XpPlus : public DiscoveryEndToEnd {};

TEST_F(XpPlus, SyncDriverInterfaceOpensTheHandheldAfterClosingTheSyncSoftware) {
  w32sim::HostProfile profile = Host(5, 1);
  AddSyncSoftware(&profile);
  // An unreadable interface in front: the search passes over it.
  w32sim::DeviceInterface broken = HandheldInterface("/nonexistent");
  broken.path += "-broken";
  broken.detail_readable = false;
  profile.interfaces = {broken, HandheldInterface(handheld_.StartPty())};
  w32sim::SetHostProfile(profile);
  g_Driver = 0;
  g_RTimeout = 1200;

  FlashTwoImagesAndShutDown();

  EXPECT_EQ(0u, CountFrames("garbage!"));
  EXPECT_EQ("FF112245", Code(HostFrames().front()));
  EXPECT_EQ(1200, g_RTimeout);
  const std::string log = Log();
  EXPECT_NE(std::string::npos, log.find(std::string("OpenComPort(): Wceusbsh ") + kInterfacePath + "\r\r\n"));
  EXPECT_EQ(2u, CountInLog("OpenComPort(): PC is XP plus\r\n"));
  const auto& record = w32sim::CurrentHostRecord();
  EXPECT_EQ((std::vector<std::string>{"SyncMgrUI", "DccMan Class"}), record.window_posts);
  EXPECT_EQ((std::vector<uint32_t>{760, 745, 733}), record.terminated_pids);
  EXPECT_TRUE(record.service_events.empty());
}

TEST_F(XpPlus, UsbSerialPortOpensThePtyAndLeavesTheSyncSoftwareAlone) {
  w32sim::HostProfile profile = Host(5, 2);
  AddSyncSoftware(&profile);
  w32sim::PortDevice modem;
  modem.portname = "COM3";
  modem.symbolic_name = "\\??\\ACPI#PNP0501#1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
  modem.opens = "/nonexistent";
  profile.ports = {modem, HandheldPort(handheld_.StartPty())};
  w32sim::SetHostProfile(profile);
  g_Driver = 1;

  FlashTwoImagesAndShutDown();

  EXPECT_EQ(0u, CountFrames("garbage!"));
  EXPECT_NE(std::string::npos, Log().find("OpenComPort(): Usbsys driver COM7\r\r\n"));
  const auto& record = w32sim::CurrentHostRecord();
  EXPECT_TRUE(record.window_posts.empty());
  EXPECT_TRUE(record.terminated_pids.empty());
  EXPECT_TRUE(record.service_events.empty());
}

TEST_F(XpPlus, HandheldAttachedLateIsFoundAndStartFlashReturnsOnlyThen) {
  w32sim::HostProfile profile = Host(5, 1);
  w32sim::PortDevice port = HandheldPort(handheld_.StartPty());
  port.presence.appears_after_ms = 20000;  // attached 20 s after the host was set up
  profile.ports = {port};
  // Taken before the host is set up, since the attachment counts from then.
  const uint64_t start = w32sim::VirtualMilliseconds();
  w32sim::SetHostProfile(profile);
  g_Driver = 1;
  QueueJob(2, testing_support::PatternBytes(3000, 1));

  uint32_t status = 0;
  ClientResult r{};
  Client_StartFlash(&r);
  status = r.dwStatus;
  const uint64_t returned = w32sim::VirtualMilliseconds();
  ASSERT_EQ(CLIENT_STATUS_OK, status);
  EXPECT_GE(returned - start, 20000u);
  // Every pass before the attachment came up empty.
  const size_t passes = CountInLog("GetUsb2SerDevicePreset BeginEnumeratePorts\r\r\n");
  EXPECT_GE(passes, 2u);
  EXPECT_EQ(passes - 1, CountInLog("GetUsb2SerDevicePreset EnumeratePortsNext 99 NULL\r\r\n"));

  ClientResult p{};
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  do {
    Client_Progress(&p);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  } while (p.dwValue != 100 && p.dwStatus == CLIENT_STATUS_OK && std::chrono::steady_clock::now() < end);
  EXPECT_EQ(100u, p.dwValue);
  WaitForWorker();
  EXPECT_TRUE(handheld_.GetStorage().Read(Area::IPL) == testing_support::PatternBytes(3000, 1));
}

TEST_F(XpPlus, SyncDriverHandheldAttachedAfterSomePollsIsFound) {
  w32sim::HostProfile profile = Host(5, 1);
  AddSyncSoftware(&profile);
  w32sim::DeviceInterface itf = HandheldInterface(handheld_.StartPty());
  itf.presence.appears_after_polls = 5;
  profile.interfaces = {itf};
  w32sim::SetHostProfile(profile);
  g_Driver = 0;

  FlashTwoImagesAndShutDown();
  EXPECT_GE(CountInLog("GetWceusbshDevicePreset\r\r\n"), 6u);
  // The sync software is closed once the device is there, not while waiting for it.
  EXPECT_EQ(2u, w32sim::CurrentHostRecord().window_posts.size());
}

TEST_F(XpPlus, DeviceFoundButNotOpenedReports101AndKeepsTheJobs) {
  w32sim::HostProfile profile = Host(5, 1);
  profile.ports = {HandheldPort(dir_.File("gone-tty"))};
  w32sim::SetHostProfile(profile);
  g_Driver = 1;
  const Bytes ipl = testing_support::PatternBytes(2000, 4);
  QueueJob(2, ipl);

  uint32_t status = 0;
  RunFlash(&status);
  EXPECT_EQ(CLIENT_STATUS_OPEN_FAILED, status);
  EXPECT_EQ(INVALID_HANDLE_VALUE, FlashState.hLink);
  EXPECT_NE(nullptr, FlashState.pJobs);
  EXPECT_NE(std::string::npos, Log().find("OpenComPort(): Fail\r\n"));

  // Plugged in properly, the next call runs the jobs still queued.
  profile.ports = {HandheldPort(handheld_.StartPty())};
  w32sim::SetHostProfile(profile);
  const ClientResult progress = RunFlash(&status);
  ASSERT_EQ(CLIENT_STATUS_OK, status);
  EXPECT_EQ(100u, progress.dwValue);
  EXPECT_TRUE(handheld_.GetStorage().Read(Area::IPL) == ipl);
}

}  // namespace
