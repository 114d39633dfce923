// Shared set-up of the discovery end-to-end tests: a simulated host of a given class whose handheld is
// the virtual one, a flashing run through the exports, and readers for the log and the wire record.
#ifndef DRAVIK_TESTS_END_TO_END_DISCOVERY_FIXTURE_H
#define DRAVIK_TESTS_END_TO_END_DISCOVERY_FIXTURE_H

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver/dravik.h"
#include "driver/jobs.h"
#include "driver/packet_link.h"
#include "driver/state.h"
#include "driver/winusb_channel.h"
#include "handheld/virtual_handheld.h"
#include "platform/posix/clock.h"
#include "platform/posix/host_profile.h"
#include "test_support.h"

namespace discovery_test {

using Bytes = std::vector<uint8_t>;
using handheld::Area;
using handheld::WireEvent;

constexpr const char* kSymbolicName =
    "\\??\\USB#Vid_0e1f&Pid_4505#6&1f3c&0&2#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
constexpr const char* kInterfacePath =
    "\\\\?\\usb#vid_0e1f&pid_4505#6&1f3c&0&2#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}";

// The sync software as it sits on the desktop: its services, windows and processes, plus others that
// must be left alone.
inline void AddSyncSoftware(w32sim::HostProfile* profile) {
  for (const char* name : {"WcesComm", "RapiMgr", "Spooler"}) {
    w32sim::Service s;
    s.name = name;
    s.stop_ms = 2500;
    s.start_ms = 1500;
    profile->services.push_back(s);
  }
  for (const char* name : {"Notepad", "DccMan Class", "SyncMgrUI"}) {
    w32sim::Window w;
    w.class_name = name;
    profile->windows.push_back(w);
  }
  const struct {
    uint32_t pid;
    const char* exe;
  } processes[] = {{4, "System"}, {612, "explorer.exe"}, {733, "rapimgr.exe"}, {745, "WCESCOMM.EXE"},
                   {760, "wcesmgr.exe"}, {801, "notepad.exe"}};
  for (const auto& p : processes) {
    w32sim::Process proc;
    proc.pid = p.pid;
    proc.exe = p.exe;
    profile->processes.push_back(proc);
  }
}

inline w32sim::PortDevice HandheldPort(const std::string& opens) {
  w32sim::PortDevice port;
  port.portname = "COM7";
  port.symbolic_name = kSymbolicName;
  port.opens = opens;
  return port;
}

inline w32sim::DeviceInterface HandheldInterface(const std::string& opens) {
  w32sim::DeviceInterface itf;
  itf.path = kInterfacePath;
  itf.opens = opens;
  return itf;
}

class DiscoveryEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    chdir_ = std::make_unique<testing_support::ScopedChdir>(dir_.path());
    w32sim::SetClockScale(200);
    g_Driver = 0;
    g_RTimeout = 1000;
    g_WTimeout = 1000;
    g_DebugON = g_PurgeTx = g_PurgeRx = g_WaitRx = g_splitReadAck = g_splitReadAckSize = 0;
    FlashState.hLink = nullptr;
    FlashState.bLinkIsWinUsb = false;
    FlashState.nProgress.store(0);
    FlashState.nRunOutcome.store(kRunNone);
    ResetLinkHealth();
  }
  void TearDown() override {
    WaitForWorker();
    CloseComPort();
    handheld_.Stop();
    w32sim::SetClockScale(1);
  }

  w32sim::HostProfile Host(uint32_t major, uint32_t minor) const {
    w32sim::HostProfile profile;
    profile.major_version = major;
    profile.minor_version = minor;
    profile.windows_directory = dir_.File("windows");
    return profile;
  }

  void QueueJob(uint16_t featureId, const Bytes& payload) {
    const std::string name = dir_.File("image" + std::to_string(jobs_++) + ".bin");
    testing_support::WriteFileBytes(name, payload);
    ClientResult r{};
    Client_QueueJob(featureId, name.c_str(), 0, &r);
    ASSERT_EQ(CLIENT_STATUS_OK, r.dwStatus);
  }

  void WaitForWorker() {
    if (FlashState.hWorker != nullptr) WaitForSingleObject(FlashState.hWorker, INFINITE);
  }

  // Client_StartFlash, then Client_Progress until 100 or status 102 (real-time bound); the last figures.
  ClientResult RunFlash(uint32_t* startStatus) {
    ClientResult r{};
    Client_StartFlash(&r);
    *startStatus = r.dwStatus;
    ClientResult p{};
    if (r.dwStatus != CLIENT_STATUS_OK) return p;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
      Client_Progress(&p);
      if (p.dwValue == 100 || p.dwStatus == CLIENT_STATUS_RUN_INCOMPLETE) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    WaitForWorker();
    return p;
  }

  // Flashes an IPL and an extended-ROM image and shuts down; checks that both arrived whole.
  void FlashTwoImagesAndShutDown() {
    const Bytes ipl = testing_support::PatternBytes(5000, 7);
    const Bytes ext = testing_support::PatternBytes(3100, 9);
    QueueJob(2, ipl);
    QueueJob(17, ext);
    uint32_t status = 0;
    const ClientResult progress = RunFlash(&status);
    ASSERT_EQ(CLIENT_STATUS_OK, status);
    EXPECT_EQ(CLIENT_STATUS_OK, progress.dwStatus);
    EXPECT_EQ(100u, progress.dwValue);
    EXPECT_EQ(17u, progress.dwFeatureId);
    Client_Shutdown();
    EXPECT_TRUE(handheld_.GetStorage().Read(Area::IPL) == ipl);
    EXPECT_TRUE(handheld_.GetStorage().Read(Area::EXTROM) == ext);
  }

  std::vector<WireEvent> HostFrames() const {
    std::vector<WireEvent> frames;
    for (const auto& e : handheld_.Record()) {
      if (e.kind == WireEvent::Kind::Frame && e.direction == WireEvent::Direction::HostToDevice) frames.push_back(e);
    }
    return frames;
  }
  static std::string Code(const WireEvent& e) {
    return std::string(e.bytes.begin(), e.bytes.begin() + std::min<size_t>(8, e.bytes.size()));
  }
  size_t CountFrames(const std::string& code) const {
    size_t n = 0;
    for (const auto& f : HostFrames()) n += Code(f) == code ? 1 : 0;
    return n;
  }

  std::string Log() const { return testing_support::ReadFileText(dir_.File("logfile.txt")); }
  size_t CountInLog(const std::string& what) const {
    const std::string text = Log();
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
  }

  static std::vector<std::string> SyncServiceEvents() {
    std::vector<std::string> out;
    for (const auto& e : w32sim::CurrentHostRecord().service_events) {
      if (e.find("Spooler") == std::string::npos) out.push_back(e);
    }
    return out;
  }

  testing_support::TempDir dir_;
  std::unique_ptr<testing_support::ScopedChdir> chdir_;
  testing_support::TempDir device_dir_;
  handheld::VirtualHandheld handheld_{device_dir_.path()};
  int jobs_ = 0;
};

}  // namespace discovery_test

#endif  // DRAVIK_TESTS_END_TO_END_DISCOVERY_FIXTURE_H
