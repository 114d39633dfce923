// The service control manager of the simulated host: requests move services through their pending
// states on the layer's clock (run fast here), refusals and disabled services fail the right way, the
// configuration follows the two-call size protocol, and every request is recorded.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/posix/clock.h"
#include "platform/posix/host_profile.h"
#include "platform/win32.h"

using namespace w32sim;

namespace {

Service MakeService(const std::string& name, uint32_t state) {
  Service s;
  s.name = name;
  s.state = state;
  return s;
}

class ServicesTest : public ::testing::Test {
 protected:
  void SetUp() override { SetClockScale(1000); }
  void TearDown() override {
    for (SC_HANDLE h : open_) CloseServiceHandle(h);
    if (scm_) {
      EXPECT_TRUE(CloseServiceHandle(scm_));
    }
    EXPECT_EQ(OpenSimulatedHandles("scm"), 0);
    EXPECT_EQ(OpenSimulatedHandles("service"), 0);
    SetClockScale(1);
  }

  void Use(const HostProfile& p) {
    SetHostProfile(p);
    scm_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(scm_, nullptr);
  }

  SC_HANDLE Open(const char* name) {
    SC_HANDLE h = OpenServiceA(scm_, name, SERVICE_ALL_ACCESS);
    EXPECT_NE(h, nullptr) << name;
    if (h) open_.push_back(h);
    return h;
  }

  static DWORD State(SC_HANDLE h) {
    SERVICE_STATUS st{};
    EXPECT_TRUE(QueryServiceStatus(h, &st));
    return st.dwCurrentState;
  }

  SC_HANDLE scm_ = nullptr;
  std::vector<SC_HANDLE> open_;
};

}  // namespace

TEST_F(ServicesTest, StopTakesItsTimeOnTheLayersClock) {
  HostProfile p;
  Service slow = MakeService("WcesComm", SERVICE_RUNNING);
  slow.stop_ms = 20000;
  p.services = {slow};
  Use(p);
  SC_HANDLE h = Open("WcesComm");
  const auto real_start = std::chrono::steady_clock::now();
  SERVICE_STATUS st{};
  ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOP_PENDING);
  EXPECT_GT(st.dwWaitHint, 0u);
  Sleep(11000);  // what a caller waiting 11 s sees
  EXPECT_EQ(State(h), SERVICE_STOP_PENDING);
  // A second stop while the first is pending is refused.
  EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &st));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  Sleep(10000);
  EXPECT_EQ(State(h), SERVICE_STOPPED);
  EXPECT_LT(std::chrono::steady_clock::now() - real_start, std::chrono::seconds(2));

  // A stopped service cannot be stopped again.
  EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &st));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(CurrentHostRecord().service_events,
            (std::vector<std::string>{"STOP WcesComm", "STOP WcesComm", "STOP WcesComm"}));
}

TEST_F(ServicesTest, StartHonoursStartTypeAndDelay) {
  HostProfile p;
  Service rapi = MakeService("RapiMgr", SERVICE_STOPPED);
  rapi.start_type = SERVICE_DISABLED;
  rapi.start_ms = 3000;
  p.services = {rapi, MakeService("WcesComm", SERVICE_RUNNING)};
  Use(p);
  SC_HANDLE h = Open("rapimgr");  // service names compare without regard to case
  EXPECT_FALSE(StartServiceA(h, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DISABLED));
  EXPECT_EQ(State(h), SERVICE_STOPPED);

  ASSERT_TRUE(ChangeServiceConfigA(h, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(StartServiceA(h, 0, nullptr));
  EXPECT_EQ(State(h), SERVICE_START_PENDING);
  Sleep(3500);
  EXPECT_EQ(State(h), SERVICE_RUNNING);

  SC_HANDLE w = Open("WcesComm");
  EXPECT_FALSE(StartServiceA(w, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  EXPECT_EQ(CurrentHostRecord().service_events,
            (std::vector<std::string>{"START RapiMgr", "CONFIG RapiMgr start=2", "START RapiMgr", "START WcesComm"}));
}

TEST_F(ServicesTest, PauseAndContinue) {
  HostProfile p;
  Service s = MakeService("WcesComm", SERVICE_RUNNING);
  s.pause_ms = 2000;
  p.services = {s};
  Use(p);
  SC_HANDLE h = Open("WcesComm");
  SERVICE_STATUS st{};
  ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_PAUSE, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_PAUSE_PENDING);
  Sleep(2500);
  EXPECT_EQ(State(h), SERVICE_PAUSED);
  ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_CONTINUE, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_RUNNING);  // continue_ms 0: at once
  // A paused service may be stopped.
  ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_PAUSE, &st));
  Sleep(2500);
  ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &st));
  EXPECT_EQ(State(h), SERVICE_STOPPED);
  EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_PAUSE, &st));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_FALSE(ControlService(h, 77, &st));  // not a control code
}

TEST_F(ServicesTest, RefusingPendingAndUnreachableServices) {
  HostProfile p;
  Service refuses = MakeService("WcesComm", SERVICE_RUNNING);
  refuses.refuses_controls = true;
  Service stuck = MakeService("RapiMgr", SERVICE_STOP_PENDING);
  Service closed = MakeService("Locked", SERVICE_RUNNING);
  closed.can_open = false;
  Service mute = MakeService("Mute", SERVICE_RUNNING);
  mute.status_query_fails = true;
  Service idle = MakeService("Idle", SERVICE_STOPPED);
  idle.refuses_controls = true;
  p.services = {refuses, stuck, closed, mute, idle};
  Use(p);
  SERVICE_STATUS st{};
  SC_HANDLE h = Open("WcesComm");
  EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &st));
  EXPECT_EQ(State(h), SERVICE_RUNNING);
  EXPECT_FALSE(StartServiceA(Open("Idle"), 0, nullptr));

  // A state the profile makes pending stays so, whatever time passes, and takes no control.
  SC_HANDLE r = Open("RapiMgr");
  Sleep(60000);
  EXPECT_EQ(State(r), SERVICE_STOP_PENDING);
  EXPECT_FALSE(ControlService(r, SERVICE_CONTROL_STOP, &st));

  EXPECT_EQ(OpenServiceA(scm_, "Locked", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenServiceA(scm_, "NoSuch", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_FALSE(QueryServiceStatus(Open("Mute"), &st));
  EXPECT_EQ(CurrentHostRecord().service_events,
            (std::vector<std::string>{"STOP WcesComm", "START Idle", "STOP RapiMgr"}));

  // Service handles are not manager handles.
  EXPECT_EQ(OpenServiceA(h, "WcesComm", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ServicesTest, ManagerUnavailable) {
  HostProfile p;
  p.scm_available = false;
  SetHostProfile(p);
  EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(ServicesTest, ConfigurationTwoCallProtocolAndChanges) {
  HostProfile p;
  Service typeless = MakeService("RapiMgr", SERVICE_RUNNING);
  typeless.service_type = 0;
  p.services = {MakeService("WcesComm", SERVICE_RUNNING), typeless};
  Use(p);
  SC_HANDLE h = Open("WcesComm");
  DWORD needed = 0;
  EXPECT_FALSE(QueryServiceConfigA(h, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_GT(needed, sizeof(QUERY_SERVICE_CONFIGA));
  std::vector<uint8_t> buf(needed);
  auto* cfg = reinterpret_cast<LPQUERY_SERVICE_CONFIGA>(buf.data());
  DWORD again = 0;
  EXPECT_FALSE(QueryServiceConfigA(h, cfg, needed - 1, &again));
  EXPECT_EQ(again, needed);
  ASSERT_TRUE(QueryServiceConfigA(h, cfg, needed, &again));
  EXPECT_EQ(cfg->dwServiceType, SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(cfg->dwStartType, SERVICE_AUTO_START);
  EXPECT_EQ(cfg->dwErrorControl, SERVICE_ERROR_NORMAL);
  // The strings lie inside the caller's buffer.
  for (const char* s : {cfg->lpBinaryPathName, cfg->lpDisplayName, cfg->lpServiceStartName}) {
    ASSERT_NE(s, nullptr);
    EXPECT_GE(reinterpret_cast<const uint8_t*>(s), buf.data());
    EXPECT_LT(reinterpret_cast<const uint8_t*>(s), buf.data() + buf.size());
  }
  EXPECT_STREQ(cfg->lpDisplayName, "WcesComm");

  ASSERT_TRUE(ChangeServiceConfigA(h, SERVICE_WIN32_OWN_PROCESS, SERVICE_DISABLED, SERVICE_ERROR_NORMAL, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(QueryServiceConfigA(h, cfg, needed, &again));
  EXPECT_EQ(cfg->dwStartType, SERVICE_DISABLED);
  EXPECT_EQ(CurrentHostProfile().services[0].start_type, SERVICE_DISABLED);
  EXPECT_FALSE(ChangeServiceConfigA(h, SERVICE_NO_CHANGE, 9, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  SC_HANDLE r = Open("RapiMgr");
  std::vector<uint8_t> rbuf(4096);
  auto* rcfg = reinterpret_cast<LPQUERY_SERVICE_CONFIGA>(rbuf.data());
  ASSERT_TRUE(QueryServiceConfigA(r, rcfg, static_cast<DWORD>(rbuf.size()), &again));
  EXPECT_EQ(rcfg->dwServiceType, 0u);
  EXPECT_EQ(CurrentHostRecord().service_events,
            (std::vector<std::string>{"CONFIG WcesComm start=4", "CONFIG WcesComm start=9"}));
}
