// Finding the handheld among the host's devices, opening and configuring the link on each host class,
// and closing it, against the simulated host and the virtual handheld.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/dravik.h"
#include "driver/jobs.h"
#include "driver/serial_port.h"
#include "driver/winusb_channel.h"
#include "handheld/virtual_handheld.h"
#include "platform/posix/clock.h"
#include "platform/posix/host_profile.h"
#include "test_support.h"

namespace {

using testing_support::ReadFileText;
using testing_support::ScopedChdir;
using testing_support::TempDir;

constexpr const char* kSymbolic = "\\??\\USB#Vid_0e1f&Pid_4505#5&2a7b&0&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
constexpr const char* kInterfacePath = "\\\\?\\usb#vid_0e1f&pid_4505#5&2a7b&0&1#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}";

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

w32sim::PortDevice Port(const std::string& name, const std::string& symbolic = kSymbolic) {
  w32sim::PortDevice port;
  port.portname = name;
  port.symbolic_name = symbolic;
  return port;
}

w32sim::DeviceInterface Interface(const std::string& path, const std::string& opens = "") {
  w32sim::DeviceInterface itf;
  itf.path = path;
  itf.opens = opens;
  return itf;
}

w32sim::Service RunningService(const std::string& name) {
  w32sim::Service s;
  s.name = name;
  return s;
}

class SerialPortTest : public ::testing::Test {
 protected:
  SerialPortTest() : cwd_(dir_.path()) {
    w32sim::SetClockScale(1000);
    FlashState.hLink = nullptr;
    FlashState.bLinkIsWinUsb = false;
    g_Driver = 0;
    g_RTimeout = 1500;
    g_WTimeout = 2500;
  }
  ~SerialPortTest() override {
    if (IsLinkOpen(FlashState.hLink)) CloseHandle(FlashState.hLink);
    ReleaseWinUSB();
    FlashState.hLink = nullptr;
    if (handheld_) handheld_->Stop();
    w32sim::SetClockScale(1);
  }

  std::string Log() const { return ReadFileText(dir_.File("logfile.txt")); }
  // Position of a text in the log; npos counts as after everything.
  size_t At(const std::string& what) const { return Log().find(what); }

  handheld::VirtualHandheld& Handheld() {
    if (!handheld_) handheld_ = std::make_unique<handheld::VirtualHandheld>(device_dir_.path());
    return *handheld_;
  }
  std::vector<handheld::WireEvent> Frames() const {
    std::vector<handheld::WireEvent> frames;
    for (const auto& e : handheld_->Record()) {
      if (e.kind == handheld::WireEvent::Kind::Frame && e.direction == handheld::WireEvent::Direction::HostToDevice) {
        frames.push_back(e);
      }
    }
    return frames;
  }

  COMMTIMEOUTS LinkTimeouts() const {
    COMMTIMEOUTS cto{};
    EXPECT_TRUE(GetCommTimeouts(FlashState.hLink, &cto));
    return cto;
  }

  TempDir dir_;
  ScopedChdir cwd_;
  TempDir device_dir_;
  std::unique_ptr<handheld::VirtualHandheld> handheld_;
};

// ---- The "Ports" search -----------------------------------------------------------------------------

TEST_F(SerialPortTest, PortRulesConsumeOneDevicePerAttemptAndSkipNonComNames) {
  w32sim::HostProfile profile;
  profile.ports = {
      Port("COM3", "\\??\\USB#VID_0E1F&PID_4505#x"),  // the vendor text is compared case-sensitively
      Port("LPT1"),                                   // a matching device that is no COM port
      Port("com7"),
      Port("COM8"),
  };
  w32sim::SetHostProfile(profile);

  HDEVINFO list = BeginEnumeratePorts();
  ASSERT_NE(INVALID_HANDLE_VALUE, list);
  ResetPortPosition();
  char name[16] = {};
  EXPECT_EQ(0, EnumeratePortsNext(list, name));  // COM3 with the wrong letter case
  EXPECT_EQ(1, EnumeratePortsNext(list, name));  // LPT1 passed over, com7 taken as read
  EXPECT_STREQ("com7", name);
  EXPECT_EQ(1, EnumeratePortsNext(list, name));
  EXPECT_STREQ("COM8", name);
  EXPECT_EQ(0, EnumeratePortsNext(list, name));  // exhausted
  EXPECT_EQ(0, EnumeratePortsNext(list, name));
  EndEnumeratePorts(list);
}

TEST_F(SerialPortTest, BadPortNamesAndMissingValuesFailTheirAttemptOnlyAndCom12Opens) {
  w32sim::HostProfile profile;
  w32sim::PortDevice noPortName = Port("COM4");
  noPortName.has_portname = false;
  w32sim::PortDevice noSymbolic = Port("COM5");
  noSymbolic.has_symbolic_name = false;
  w32sim::PortDevice noKey = Port("COM6");
  noKey.hardware_key_opens = false;
  w32sim::PortDevice com12 = Port("COM12");
  com12.opens = Handheld().StartPty();
  profile.ports = {Port("COM0"), Port("COM1000"), noPortName, noSymbolic, noKey, com12};
  w32sim::SetHostProfile(profile);

  HDEVINFO list = BeginEnumeratePorts();
  ASSERT_NE(INVALID_HANDLE_VALUE, list);
  ResetPortPosition();
  char name[16] = {};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(0, EnumeratePortsNext(list, name)) << "device " << i;
  EXPECT_STREQ("", name);
  EXPECT_EQ(1, EnumeratePortsNext(list, name));
  EXPECT_STREQ("COM12", name);
  EndEnumeratePorts(list);

  // A new pass starts at the first device again.
  list = BeginEnumeratePorts();
  ResetPortPosition();
  EXPECT_EQ(0, EnumeratePortsNext(list, name));
  EndEnumeratePorts(list);

  // Windows opens a port above COM9 only as "\\.\COM12"; the log keeps the port name.
  g_Driver = 1;
  ASSERT_EQ(1, OpenComPort());
  EXPECT_TRUE(IsLinkOpen(FlashState.hLink));
  EXPECT_NE(std::string::npos, Log().find("OpenComPort(): Usbsys driver COM12\r\r\n"));
  EXPECT_EQ(std::string::npos, Log().find("err: "));
}

TEST_F(SerialPortTest, MissingConfigurationManagerFailsEveryAttempt) {
  for (bool missingLibrary : {true, false}) {
    // The entry point is held between calls until a list runs out: run one out first.
    w32sim::SetHostProfile(w32sim::HostProfile{});
    HDEVINFO empty = BeginEnumeratePorts();
    ASSERT_NE(INVALID_HANDLE_VALUE, empty);
    ResetPortPosition();
    char none[16] = {};
    EXPECT_EQ(0, EnumeratePortsNext(empty, none));
    EndEnumeratePorts(empty);

    w32sim::HostProfile profile;
    profile.ports = {Port("COM7")};
    if (missingLibrary) {
      profile.missing_libraries = {"cfgmgr32"};
    } else {
      profile.missing_entry_points = {"CM_Open_DevNode_Key"};
    }
    w32sim::SetHostProfile(profile);
    HDEVINFO list = BeginEnumeratePorts();
    ASSERT_NE(INVALID_HANDLE_VALUE, list);
    ResetPortPosition();
    char name[16] = {};
    EXPECT_EQ(0, EnumeratePortsNext(list, name));
    EndEnumeratePorts(list);

    // Once the library is there, the same device is found: the failed load consumed no device.
    profile.missing_libraries.clear();
    profile.missing_entry_points.clear();
    w32sim::SetHostProfile(profile);
    list = BeginEnumeratePorts();
    EXPECT_EQ(1, EnumeratePortsNext(list, name));
    EXPECT_STREQ("COM7", name);
    EndEnumeratePorts(list);
  }
}

TEST_F(SerialPortTest, PortSearchRepeatsPassesOfHundredAttemptsUntilTheDeviceAppears) {
  w32sim::HostProfile profile;
  w32sim::PortDevice late = Port("COM7");
  late.presence.appears_after_polls = 3;
  profile.ports = {late};
  w32sim::SetHostProfile(profile);

  const uint64_t start = w32sim::VirtualMilliseconds();
  char out[16] = {};
  GetUsb2SerDevicePreset(out);
  EXPECT_STREQ("COM7", out);

  const std::string log = Log();
  const size_t passes = CountOf(log, "GetUsb2SerDevicePreset BeginEnumeratePorts\r\r\n");
  ASSERT_GE(passes, 3u);
  EXPECT_GE(w32sim::VirtualMilliseconds() - start, passes * 1500);
  // Every empty pass makes its 100 attempts, numbered 0 to 99; the last pass finds the port at once.
  const size_t failed = passes - 1;
  EXPECT_EQ(failed * 100, CountOf(log, "GetUsb2SerDevicePreset EnumeratePortsNext Begin\r\r\n") - 1);
  EXPECT_EQ(failed, CountOf(log, "GetUsb2SerDevicePreset EnumeratePortsNext 0 NULL\r\r\n"));
  EXPECT_EQ(failed, CountOf(log, "GetUsb2SerDevicePreset EnumeratePortsNext 99 NULL\r\r\n"));
  EXPECT_EQ(0u, CountOf(log, "EnumeratePortsNext 100 NULL"));
  // The list is released once per pass, and the end is logged once more.
  EXPECT_EQ(passes + 1, CountOf(log, "GetUsb2SerDevicePreset EndEnumeratePorts\r\r\n"));
}

// A pass whose port list cannot be made (no "Ports" class yet) makes no attempt and releases nothing;
// the next pass follows after its 1.5 s sleep.
TEST_F(SerialPortTest, PortSearchPassWithoutAListEndsAtOnceAndTheNextOneFindsThePort) {
  w32sim::HostProfile profile;
  profile.ports = {Port("COM7")};
  profile.ports_class_missing_lookups = 2;
  w32sim::SetHostProfile(profile);
  EXPECT_EQ(INVALID_HANDLE_VALUE, BeginEnumeratePorts());
  w32sim::SetHostProfile(profile);

  const uint64_t start = w32sim::VirtualMilliseconds();
  char out[16] = {};
  GetUsb2SerDevicePreset(out);
  EXPECT_STREQ("COM7", out);
  EXPECT_GE(w32sim::VirtualMilliseconds() - start, 3u * 1500u);
  const std::string expected =
      "GetUsb2SerDevicePreset BeginEnumeratePorts\r\r\n\r\n"
      "GetUsb2SerDevicePreset BeginEnumeratePorts Invalid Handle\r\r\n\r\n"
      "GetUsb2SerDevicePreset BeginEnumeratePorts\r\r\n\r\n"
      "GetUsb2SerDevicePreset BeginEnumeratePorts Invalid Handle\r\r\n\r\n"
      "GetUsb2SerDevicePreset BeginEnumeratePorts\r\r\n\r\n"
      "GetUsb2SerDevicePreset EnumeratePortsNext Begin\r\r\n\r\n"
      "GetUsb2SerDevicePreset EndEnumeratePorts\r\r\n\r\n"
      "GetUsb2SerDevicePreset EndEnumeratePorts\r\r\n\r\n";
  EXPECT_NE(std::string::npos, Log().find(expected)) << Log();  // each entry: the format's CR CR LF, then CR LF
  EXPECT_EQ(0, w32sim::OpenSimulatedHandles("devinfo"));
}

// ---- The sync driver's interface search -------------------------------------------------------------

TEST_F(SerialPortTest, InterfaceSearchLooksAtTheFirstFiveReadablePaths) {
  w32sim::HostProfile profile;
  for (int i = 0; i < 6; ++i) {
    w32sim::DeviceInterface itf = Interface(std::string(kInterfacePath) + char('0' + i));
    itf.detail_readable = i == 5;
    profile.interfaces.push_back(itf);
  }
  w32sim::SetHostProfile(profile);
  char out[256] = "stale";
  EXPECT_EQ(0, FindInterfacePath(&kSyncDriverInterfaceClass, out));  // the sixth is not examined
  EXPECT_STREQ("", out);

  profile.interfaces.erase(profile.interfaces.begin(), profile.interfaces.begin() + 3);  // 2 unreadable
  w32sim::SetHostProfile(profile);
  EXPECT_EQ(1, FindInterfacePath(&kSyncDriverInterfaceClass, out));
  EXPECT_EQ(std::string(kInterfacePath) + "5", out);

  w32sim::SetHostProfile(w32sim::HostProfile{});
  EXPECT_EQ(0, FindInterfacePath(&kSyncDriverInterfaceClass, out));
}

TEST_F(SerialPortTest, InterfacePathThatDoesNotFitIsPassedOver) {
  w32sim::HostProfile profile;
  profile.interfaces = {Interface(std::string(256, 'x')), Interface(std::string(255, 'y'))};
  w32sim::SetHostProfile(profile);
  char out[256];
  std::memset(out, 0, sizeof(out));
  EXPECT_EQ(1, FindInterfacePath(&kSyncDriverInterfaceClass, out));
  EXPECT_EQ(std::string(255, 'y'), out);

  char* pnp = GetDevicePnpPath();
  ASSERT_NE(nullptr, pnp);
  EXPECT_EQ(std::string(255, 'y'), pnp);
  free(pnp);
}

TEST_F(SerialPortTest, InterfaceSearchWaitsForTheDeviceAndOneSecondMore) {
  w32sim::HostProfile profile;
  w32sim::DeviceInterface late = Interface(kInterfacePath);
  late.presence.appears_after_polls = 2;
  profile.interfaces = {late};
  w32sim::SetHostProfile(profile);

  const uint64_t start = w32sim::VirtualMilliseconds();
  char out[256] = {};
  GetWceusbshDevicePreset(out);
  EXPECT_STREQ(kInterfacePath, out);
  const size_t passes = CountOf(Log(), "GetWceusbshDevicePreset\r\r\n");
  EXPECT_GE(passes, 3u);
  EXPECT_GE(w32sim::VirtualMilliseconds() - start, passes * 1500 + 1000);
}

// ---- Opening the link on each host class ------------------------------------------------------------

TEST_F(SerialPortTest, XpPlusOpensThePortByItsBareNameWithTheConfiguredTimeouts) {
  w32sim::HostProfile profile;
  profile.major_version = 5;
  profile.minor_version = 1;
  w32sim::PortDevice port = Port("COM7");
  port.opens = Handheld().StartPty();
  profile.ports = {Port("COM3", "\\??\\ACPI#PNP0501#1"), port};
  w32sim::Window window;
  window.class_name = "SyncMgrUI";
  profile.windows = {window};
  w32sim::SetHostProfile(profile);
  g_Driver = 1;

  ASSERT_EQ(1, OpenComPort());
  EXPECT_TRUE(IsLinkOpen(FlashState.hLink));
  EXPECT_FALSE(FlashState.bLinkIsWinUsb);
  const std::string log = Log();
  EXPECT_LT(log.find("OpenComPort(): Usbsys driver\r\r\n"), log.find("OpenComPort(): Usbsys driver COM7\r\r\n"));
  EXPECT_EQ(2u, CountOf(log, "OpenComPort(): PC is XP plus\r\n"));
  EXPECT_EQ(1u, CountOf(log, "OpenComPort(): cto.WTM=2500 cto.WTC=2500\r\n"));
  EXPECT_NE(std::string::npos, log.find(" cto.RTM=1500 cto.RTC=1500\r\n"));
  EXPECT_NE(std::string::npos, log.find("OpenComPort(): sucessful\r\n"));
  EXPECT_EQ(std::string::npos, log.find("garbage"));
  EXPECT_EQ(std::string::npos, log.find("IsWinVerVista"));

  const COMMTIMEOUTS cto = LinkTimeouts();
  EXPECT_EQ(1500u, cto.ReadTotalTimeoutMultiplier);
  EXPECT_EQ(1500u, cto.ReadTotalTimeoutConstant);
  EXPECT_EQ(2500u, cto.WriteTotalTimeoutMultiplier);
  EXPECT_EQ(2500u, cto.WriteTotalTimeoutConstant);
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  ASSERT_TRUE(GetCommState(FlashState.hLink, &dcb));
  EXPECT_EQ(115200u, dcb.BaudRate);
  EXPECT_EQ(8u, dcb.ByteSize);
  EXPECT_EQ(NOPARITY, dcb.Parity);
  EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
  // The sync software is left alone with the USB-serial driver, and nothing crossed the wire.
  EXPECT_TRUE(w32sim::CurrentHostRecord().window_posts.empty());
  EXPECT_TRUE(w32sim::CurrentHostRecord().service_events.empty());
  EXPECT_TRUE(Frames().empty());
}

TEST_F(SerialPortTest, XpPlusWithZeroTimeoutsSetsZeroTotals) {
  w32sim::HostProfile profile;
  w32sim::DeviceInterface itf = Interface(kInterfacePath, Handheld().StartPty());
  profile.interfaces = {itf};
  w32sim::SetHostProfile(profile);
  g_RTimeout = 0;
  g_WTimeout = 0;

  ASSERT_EQ(1, OpenComPort());
  const COMMTIMEOUTS cto = LinkTimeouts();
  EXPECT_EQ(0u, cto.ReadTotalTimeoutMultiplier);
  EXPECT_EQ(0u, cto.ReadTotalTimeoutConstant);
  EXPECT_EQ(0u, cto.WriteTotalTimeoutMultiplier);
  EXPECT_EQ(0u, cto.WriteTotalTimeoutConstant);
}

TEST_F(SerialPortTest, Windows2000ForcesTheReadTimeoutAndPrimesTheLinkAfterClosingTheSyncSoftware) {
  w32sim::HostProfile profile;
  profile.major_version = 5;
  profile.minor_version = 0;
  profile.interfaces = {Interface(kInterfacePath, Handheld().StartPty())};
  w32sim::Window dcc;
  dcc.class_name = "DccMan Class";
  profile.windows = {dcc};
  w32sim::Process rapi;
  rapi.pid = 77;
  rapi.exe = "rapimgr.exe";
  profile.processes = {rapi};
  w32sim::SetHostProfile(profile);

  ASSERT_EQ(1, OpenComPort());
  EXPECT_EQ(500, g_RTimeout);
  const COMMTIMEOUTS cto = LinkTimeouts();
  EXPECT_EQ(500u, cto.ReadTotalTimeoutMultiplier);
  EXPECT_EQ(500u, cto.ReadTotalTimeoutConstant);  // 500 x 1520 + 500 = 760,500 ms for a frame

  const std::string log = Log();
  EXPECT_EQ(2u, CountOf(log, "OpenComPort(): PC is not XP plus. Need Rtimeout\r\n"));
  const size_t found = log.find(std::string("OpenComPort(): Wceusbsh ") + kInterfacePath + "\r\r\n");
  const size_t closed = log.find("Windows Closing end\r\n");
  const size_t opened = log.find("OpenComPort(): sucessful\r\n");
  const size_t begin = log.find("OpenComPort(): win2k sent garbage packet Begin.\r\n");
  const size_t end = log.find("OpenComPort(): win2k sent garbage packet End.\r\n");
  ASSERT_NE(std::string::npos, found);
  EXPECT_LT(found, closed);
  EXPECT_LT(closed, opened);
  EXPECT_LT(opened, begin);
  EXPECT_LT(begin, end);
  EXPECT_NE(std::string::npos, end);
  EXPECT_EQ(std::vector<std::string>{"DccMan Class"}, w32sim::CurrentHostRecord().window_posts);
  EXPECT_EQ(std::vector<uint32_t>{77}, w32sim::CurrentHostRecord().terminated_pids);

  const auto frames = Frames();
  ASSERT_EQ(1u, frames.size());
  std::vector<uint8_t> expected(1520, 0);
  std::memcpy(expected.data(), "garbage!", 8);
  EXPECT_EQ(expected, frames[0].bytes);
}

TEST_F(SerialPortTest, VistaStopsTheServicesAndOpensTheWinUsbDevice) {
  w32sim::HostProfile profile;
  profile.major_version = 6;
  profile.minor_version = 1;
  const std::string socket = Handheld().StartSocket(device_dir_.File("winusb.sock"));
  w32sim::DeviceInterface itf = Interface(kInterfacePath, "socket:" + socket);
  itf.presence.appears_after_polls = 2;
  profile.interfaces = {itf};
  profile.services = {RunningService("WcesComm"), RunningService("RapiMgr")};
  w32sim::SetHostProfile(profile);

  ASSERT_EQ(1, OpenComPort());
  EXPECT_TRUE(FlashState.bLinkIsWinUsb);
  const std::vector<std::string> stopped = {"STOP WcesComm", "CONFIG WcesComm start=4", "STOP RapiMgr",
                                            "CONFIG RapiMgr start=4"};
  EXPECT_EQ(stopped, w32sim::CurrentHostRecord().service_events);

  const std::string log = Log();
  EXPECT_EQ(0u, log.find("IsWinVerVista!!\r\n"));
  EXPECT_GE(CountOf(log, "while until get PnpPath\r\r\n"), 2u);
  EXPECT_NE(std::string::npos, log.find(std::string("OpenComPort(): GetDevicePnpPath() ") + kInterfacePath));
  EXPECT_NE(std::string::npos, log.find(std::string("OpenComPort(): id_mypc_end ") + kInterfacePath + "\r\r\n"));
  EXPECT_EQ(std::string::npos, log.find("STOP WcesComm Fail!!"));
  EXPECT_EQ(std::string::npos, log.find("garbage"));

  ASSERT_EQ(1, InitWinUSB(FlashState.hLink));
  CloseComPort();
  EXPECT_EQ(nullptr, WinUsbLink.hInterface);  // released with the link
  EXPECT_EQ(INVALID_HANDLE_VALUE, FlashState.hLink);
  EXPECT_FALSE(FlashState.bLinkIsWinUsb);
  std::vector<std::string> all = stopped;
  for (const char* e : {"CONFIG WcesComm start=2", "START WcesComm", "CONFIG RapiMgr start=2", "START RapiMgr"}) all.push_back(e);
  EXPECT_EQ(all, w32sim::CurrentHostRecord().service_events);
}

TEST_F(SerialPortTest, VistaWithTheUsbSerialDriverOpensThePortAsAFile) {
  w32sim::HostProfile profile;
  profile.major_version = 6;
  profile.minor_version = 0;
  profile.interfaces = {Interface(kInterfacePath)};
  w32sim::PortDevice port = Port("COM7");
  port.opens = Handheld().StartPty();
  profile.ports = {port};
  w32sim::SetHostProfile(profile);  // no sync services on this host
  g_Driver = 1;

  ASSERT_EQ(1, OpenComPort());
  EXPECT_FALSE(FlashState.bLinkIsWinUsb);
  // A synchronous handle: file transfers without an OVERLAPPED record.
  DWORD dwRead = 0;
  uint8_t byte = 0;
  EXPECT_TRUE(ReadFile(FlashState.hLink, &byte, 0, &dwRead, nullptr));
  const std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("STOP WcesComm Fail!!\r\n"));
  EXPECT_NE(std::string::npos, log.find("STOP RapiMgr Fail!!\r\n"));
  EXPECT_NE(std::string::npos, log.find("GetUsb2SerDevicePreset EndEnumeratePorts"));
  EXPECT_EQ(std::string::npos, log.find("id_mypc_end"));
  EXPECT_EQ(1500u, LinkTimeouts().ReadTotalTimeoutConstant);  // no forced time-out on Vista

  CloseComPort();
  const std::string after = Log();
  EXPECT_NE(std::string::npos, after.find("START WcesComm Fail!!\r\n"));
  EXPECT_NE(std::string::npos, after.find("START RapiMgr Fail!!\r\n"));
}

TEST_F(SerialPortTest, FailedOpenIsReportedAndLeavesTheHandleInvalid) {
  w32sim::HostProfile profile;
  profile.interfaces = {Interface(kInterfacePath, dir_.File("no-such-tty"))};
  w32sim::SetHostProfile(profile);

  EXPECT_EQ(0, OpenComPort());
  EXPECT_EQ(INVALID_HANDLE_VALUE, FlashState.hLink);
  const std::string log = Log();
  const size_t err = log.find("err: ");
  ASSERT_NE(std::string::npos, err);
  EXPECT_LT(err, log.find("OpenComPort(): PC is XP plus\r\n"));
  EXPECT_EQ(1u, CountOf(log, "OpenComPort(): PC is XP plus\r\n"));
  EXPECT_NE(std::string::npos, log.find("OpenComPort(): Fail\r\n"));
  EXPECT_EQ(std::string::npos, log.find("sucessful"));
}

TEST_F(SerialPortTest, CloseComPortFreesJobsAndLogsEveryCloseAfterTheFirstOpen) {
  w32sim::SetHostProfile(w32sim::HostProfile{});
  AppendJob(&FlashState.pJobs, 1, "a.nbf", 0);
  ASSERT_NE(nullptr, FlashState.pJobs);

  CloseComPort();  // never opened: nothing to close
  EXPECT_EQ(nullptr, FlashState.pJobs);
  EXPECT_EQ(nullptr, FlashState.hLink);
  EXPECT_EQ(std::string::npos, Log().find("CloseComPort(): sucessful"));
  EXPECT_TRUE(w32sim::CurrentHostRecord().service_events.empty());  // before Vista nothing restarts

  FlashState.hLink = INVALID_HANDLE_VALUE;  // a failed open
  CloseComPort();
  CloseComPort();
  EXPECT_EQ(2u, CountOf(Log(), "CloseComPort(): sucessful\r\n"));
  EXPECT_EQ(INVALID_HANDLE_VALUE, FlashState.hLink);
}

}  // namespace
