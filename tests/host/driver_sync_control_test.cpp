// Stopping and starting the sync services, closing the sync software's windows and terminating its
// processes, against the simulated host.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver/sync_control.h"
#include "platform/posix/clock.h"
#include "platform/posix/host_profile.h"
#include "test_support.h"

namespace {

using testing_support::ReadFileText;
using testing_support::ScopedChdir;
using testing_support::TempDir;

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

w32sim::Service MakeService(const std::string& name, uint32_t state) {
  w32sim::Service s;
  s.name = name;
  s.state = state;
  return s;
}

// What the host's service control manager reports for a service: its state and start type.
struct ServiceView {
  DWORD state = 0;
  DWORD start_type = 0;
};
ServiceView Query(const char* name) {
  ServiceView view;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return view;
  SC_HANDLE service = OpenServiceA(manager, name, GENERIC_ALL);
  if (service != nullptr) {
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service, &status)) view.state = status.dwCurrentState;
    DWORD needed = 0;
    QueryServiceConfigA(service, nullptr, 0, &needed);
    std::vector<uint8_t> buffer(needed + sizeof(QUERY_SERVICE_CONFIGA));
    auto* config = reinterpret_cast<LPQUERY_SERVICE_CONFIGA>(buffer.data());
    if (QueryServiceConfigA(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
      view.start_type = config->dwStartType;
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return view;
}

class SyncControlTest : public ::testing::Test {
 protected:
  SyncControlTest() : cwd_(dir_.path()) { w32sim::SetClockScale(100); }
  ~SyncControlTest() override { w32sim::SetClockScale(1); }

  // Every handle and library an operation takes is released before it returns, whichever way it
  // leaves. Nothing here closes a handle an operation left open, so a leak anywhere in a test shows.
  void TearDown() override {
    for (const char* kind : {"scm", "service", "process", "snapshot", "module"}) {
      EXPECT_EQ(0, w32sim::OpenSimulatedHandles(kind)) << kind;
    }
    size_t loads = 0, frees = 0;
    for (const std::string& event : Libraries()) {
      if (event.rfind("LOAD ", 0) == 0) ++loads;
      if (event.rfind("FREE ", 0) == 0) ++frees;
    }
    EXPECT_EQ(loads, frees);
  }

  std::string Log() const { return ReadFileText(dir_.File("logfile.txt")); }
  const std::vector<std::string>& Events() const { return w32sim::CurrentHostRecord().service_events; }
  const std::vector<std::string>& Libraries() const { return w32sim::CurrentHostRecord().library_events; }

  TempDir dir_;
  ScopedChdir cwd_;
};

// ---- Services ---------------------------------------------------------------------------------------

TEST_F(SyncControlTest, StopAndStartFollowTheStateTable) {
  w32sim::HostProfile profile;
  profile.services = {MakeService("WcesComm", SERVICE_RUNNING), MakeService("RapiMgr", SERVICE_STOPPED)};
  w32sim::SetHostProfile(profile);

  // Running -> stopped and disabled.
  EXPECT_EQ(1, ControlServiceByName("STOP", "WcesComm"));
  EXPECT_EQ(SERVICE_STOPPED, Query("WcesComm").state);
  EXPECT_EQ(SERVICE_DISABLED, Query("WcesComm").start_type);
  // Already stopped: nothing is touched, not even the start type.
  EXPECT_EQ(1, ControlServiceByName("STOP", "RapiMgr"));
  EXPECT_EQ(SERVICE_AUTO_START, Query("RapiMgr").start_type);
  // Stopped -> enabled and running.
  EXPECT_EQ(1, ControlServiceByName("START", "WcesComm"));
  EXPECT_EQ(SERVICE_RUNNING, Query("WcesComm").state);
  EXPECT_EQ(SERVICE_AUTO_START, Query("WcesComm").start_type);
  const size_t nEvents = Events().size();
  // Already running.
  EXPECT_EQ(1, ControlServiceByName("START", "WcesComm"));
  EXPECT_EQ(nEvents, Events().size());

  const std::vector<std::string> expected = {"STOP WcesComm", "CONFIG WcesComm start=4", "CONFIG WcesComm start=2",
                                             "START WcesComm"};
  EXPECT_EQ(expected, Events());
}

TEST_F(SyncControlTest, ActionWordsIgnoreCaseAndUnknownWordsDoNothing) {
  w32sim::HostProfile profile;
  profile.services = {MakeService("WcesComm", SERVICE_RUNNING)};
  w32sim::SetHostProfile(profile);

  EXPECT_EQ(0, ControlServiceByName("RESTART", "WcesComm"));
  EXPECT_EQ(0, ControlServiceByName("", "WcesComm"));
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(SERVICE_RUNNING, Query("WcesComm").state);

  EXPECT_EQ(1, ControlServiceByName("stop", "WcesComm"));
  EXPECT_EQ(SERVICE_STOPPED, Query("WcesComm").state);
  EXPECT_EQ(1, ControlServiceByName("StArT", "WcesComm"));
  EXPECT_EQ(SERVICE_RUNNING, Query("WcesComm").state);
}

TEST_F(SyncControlTest, PauseAndContinue) {
  w32sim::HostProfile profile;
  profile.services = {MakeService("WcesComm", SERVICE_RUNNING), MakeService("RapiMgr", SERVICE_PAUSED)};
  w32sim::SetHostProfile(profile);

  EXPECT_EQ(1, ControlServiceByName("CONTINUE", "WcesComm"));  // already running
  EXPECT_EQ(1, ControlServiceByName("PAUSE", "RapiMgr"));      // already paused
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(1, ControlServiceByName("pause", "WcesComm"));
  EXPECT_EQ(SERVICE_PAUSED, Query("WcesComm").state);
  EXPECT_EQ(1, ControlServiceByName("continue", "RapiMgr"));
  EXPECT_EQ(SERVICE_RUNNING, Query("RapiMgr").state);
  // A stopped service can be neither paused nor continued.
  profile.services[0].state = SERVICE_STOPPED;
  w32sim::SetHostProfile(profile);
  EXPECT_EQ(0, ControlServiceByName("PAUSE", "WcesComm"));
  EXPECT_EQ(0, ControlServiceByName("CONTINUE", "WcesComm"));
}

TEST_F(SyncControlTest, PendingStatesGiveZeroForEveryAction) {
  for (uint32_t state : {SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_CONTINUE_PENDING,
                         SERVICE_PAUSE_PENDING}) {
    w32sim::HostProfile profile;
    profile.services = {MakeService("WcesComm", state)};
    w32sim::SetHostProfile(profile);
    for (const char* action : {"STOP", "START", "PAUSE", "CONTINUE"}) {
      EXPECT_EQ(0, ControlServiceByName(action, "WcesComm")) << action << " in state " << state;
    }
    EXPECT_TRUE(Events().empty());
  }
}

// A request the service takes longer than the wait for: 0 after the wait's 11 s, well before the
// service would have got there. A stop still disables the service; a start has re-enabled it first.
TEST_F(SyncControlTest, SlowRequestsTimeOutAfterElevenSeconds) {
  auto timed = [](const char* action) {
    const uint64_t start = w32sim::VirtualMilliseconds();
    EXPECT_EQ(0, ControlServiceByName(action, "WcesComm")) << action;
    const uint64_t elapsed = w32sim::VirtualMilliseconds() - start;
    EXPECT_GE(elapsed, 11000u) << action;
    EXPECT_LT(elapsed, 19000u) << action;
  };
  w32sim::HostProfile profile;
  w32sim::Service slow = MakeService("WcesComm", SERVICE_RUNNING);
  slow.stop_ms = 20000;
  profile.services = {slow};
  w32sim::SetHostProfile(profile);
  timed("STOP");
  EXPECT_EQ(SERVICE_DISABLED, Query("WcesComm").start_type);
  EXPECT_EQ((std::vector<std::string>{"STOP WcesComm", "CONFIG WcesComm start=4"}), Events());

  slow = MakeService("WcesComm", SERVICE_STOPPED);
  slow.start_ms = 20000;
  profile.services = {slow};
  w32sim::SetHostProfile(profile);
  timed("START");
  EXPECT_EQ(SERVICE_START_PENDING, Query("WcesComm").state);
  EXPECT_EQ((std::vector<std::string>{"CONFIG WcesComm start=2", "START WcesComm"}), Events());
}

TEST_F(SyncControlTest, StopThatCompletesWithinTheWaitSucceeds) {
  w32sim::HostProfile profile;
  w32sim::Service s = MakeService("RapiMgr", SERVICE_RUNNING);
  s.stop_ms = 3500;
  profile.services = {s};
  w32sim::SetHostProfile(profile);

  const uint64_t start = w32sim::VirtualMilliseconds();
  EXPECT_EQ(1, ControlServiceByName("STOP", "RapiMgr"));
  const uint64_t elapsed = w32sim::VirtualMilliseconds() - start;
  // Polling stops at the first query that shows the state: after about 4 s, not 11.
  EXPECT_GE(elapsed, 3500u);
  EXPECT_LT(elapsed, 9000u);
}

TEST_F(SyncControlTest, RefusedStartsGiveZeroAtOnce) {
  // A service that refuses the start is still re-enabled first.
  w32sim::HostProfile profile;
  w32sim::Service refusing = MakeService("WcesComm", SERVICE_STOPPED);
  refusing.start_type = SERVICE_DISABLED;
  refusing.refuses_controls = true;
  profile.services = {refusing};
  w32sim::SetHostProfile(profile);

  uint64_t start = w32sim::VirtualMilliseconds();
  EXPECT_EQ(0, ControlServiceByName("START", "WcesComm"));
  EXPECT_LT(w32sim::VirtualMilliseconds() - start, 1000u);
  EXPECT_EQ(SERVICE_STOPPED, Query("WcesComm").state);
  EXPECT_EQ(SERVICE_AUTO_START, Query("WcesComm").start_type);
  EXPECT_EQ((std::vector<std::string>{"CONFIG WcesComm start=2", "START WcesComm"}), Events());

  // A disabled service whose configuration has no service type cannot be re-enabled, so the platform
  // refuses to start it; its configuration is not touched.
  w32sim::Service stuck = MakeService("WcesComm", SERVICE_STOPPED);
  stuck.start_type = SERVICE_DISABLED;
  stuck.service_type = 0;
  profile.services = {stuck};
  w32sim::SetHostProfile(profile);

  start = w32sim::VirtualMilliseconds();
  EXPECT_EQ(0, ControlServiceByName("START", "WcesComm"));
  EXPECT_LT(w32sim::VirtualMilliseconds() - start, 1000u);
  EXPECT_EQ(SERVICE_STOPPED, Query("WcesComm").state);
  EXPECT_EQ(SERVICE_DISABLED, Query("WcesComm").start_type);
  EXPECT_EQ(std::vector<std::string>{"START WcesComm"}, Events());
}

TEST_F(SyncControlTest, StatusQueryFailingDuringTheWaitEndsItEarly) {
  // The first query (before the request) and two polls succeed; the third poll fails.
  w32sim::HostProfile profile;
  w32sim::Service s = MakeService("WcesComm", SERVICE_RUNNING);
  s.stop_ms = 20000;
  s.status_query_fails_after = 3;
  profile.services = {s};
  w32sim::SetHostProfile(profile);

  const uint64_t start = w32sim::VirtualMilliseconds();
  EXPECT_EQ(0, ControlServiceByName("STOP", "WcesComm"));
  const uint64_t elapsed = w32sim::VirtualMilliseconds() - start;
  EXPECT_GE(elapsed, 3000u);  // 1 s before the first poll, 1 s between polls
  EXPECT_LT(elapsed, 9000u);  // not the whole 11 s
  // The stop still disables the service.
  EXPECT_EQ(SERVICE_DISABLED, Query("WcesComm").start_type);
  EXPECT_EQ((std::vector<std::string>{"STOP WcesComm", "CONFIG WcesComm start=4"}), Events());
}

TEST_F(SyncControlTest, RefusedOrUnreachableServicesGiveZero) {
  w32sim::HostProfile profile;
  w32sim::Service refusing = MakeService("WcesComm", SERVICE_RUNNING);
  refusing.refuses_controls = true;
  w32sim::Service closed = MakeService("RapiMgr", SERVICE_RUNNING);
  closed.can_open = false;
  profile.services = {refusing, closed};
  w32sim::SetHostProfile(profile);

  const uint64_t start = w32sim::VirtualMilliseconds();
  EXPECT_EQ(0, ControlServiceByName("STOP", "WcesComm"));
  EXPECT_LT(w32sim::VirtualMilliseconds() - start, 1000u);  // refused at once, no waiting
  // The refused stop still disables the service; the start after the run finds it running and enables
  // it again, so that it is not left disabled on the user's machine.
  EXPECT_EQ(SERVICE_DISABLED, Query("WcesComm").start_type);
  EXPECT_EQ(1, ControlServiceByName("START", "WcesComm"));
  EXPECT_EQ(SERVICE_AUTO_START, Query("WcesComm").start_type);
  EXPECT_EQ(SERVICE_RUNNING, Query("WcesComm").state);
  EXPECT_EQ(0, ControlServiceByName("STOP", "RapiMgr"));
  EXPECT_EQ(0, ControlServiceByName("STOP", "NoSuchService"));

  profile.services[0].refuses_controls = false;
  profile.services[0].status_query_fails = true;
  w32sim::SetHostProfile(profile);
  EXPECT_EQ(0, ControlServiceByName("STOP", "WcesComm"));
  EXPECT_TRUE(Events().empty());

  profile.scm_available = false;
  profile.services[0].status_query_fails = false;
  w32sim::SetHostProfile(profile);
  EXPECT_EQ(0, ControlServiceByName("STOP", "WcesComm"));
  EXPECT_TRUE(Events().empty());
}

TEST_F(SyncControlTest, StartTypeIsLeftAloneWhenTheConfigurationHasNoServiceType) {
  w32sim::HostProfile profile;
  w32sim::Service s = MakeService("WcesComm", SERVICE_RUNNING);
  s.service_type = 0;
  profile.services = {s};
  w32sim::SetHostProfile(profile);

  EXPECT_EQ(1, ControlServiceByName("STOP", "WcesComm"));
  EXPECT_EQ(SERVICE_AUTO_START, Query("WcesComm").start_type);
  EXPECT_EQ(std::vector<std::string>{"STOP WcesComm"}, Events());
}

// ---- Windows and processes --------------------------------------------------------------------------

w32sim::Process MakeProcess(uint32_t pid, const std::string& exe) {
  w32sim::Process p;
  p.pid = pid;
  p.exe = exe;
  return p;
}

w32sim::HostProfile SyncDesktop(uint32_t platformId) {
  w32sim::HostProfile profile;
  profile.platform_id = platformId;
  if (platformId == VER_PLATFORM_WIN32_WINDOWS) {
    profile.major_version = 4;
    profile.minor_version = 10;
  }
  w32sim::Window dcc;
  dcc.class_name = "DccMan Class";
  w32sim::Window sync;
  sync.class_name = "SyncMgrUI";
  profile.windows = {dcc, sync};
  // Names as each family reports them: base names on NT, upper-case module names on 9x.
  const bool b9x = platformId == VER_PLATFORM_WIN32_WINDOWS;
  profile.processes = {MakeProcess(8, "explorer.exe"), MakeProcess(30, b9x ? "RAPIMGR.EXE" : "rapimgr.exe"),
                       MakeProcess(20, b9x ? "WCESCOMM.EXE" : "wcescomm.exe"),
                       MakeProcess(10, b9x ? "WCESMGR.EXE" : "wcesmgr.exe")};
  return profile;
}

TEST_F(SyncControlTest, NtClosesWindowsOnceAndTerminatesTheThreeProcessesInOrder) {
  w32sim::SetHostProfile(SyncDesktop(VER_PLATFORM_WIN32_NT));

  const uint64_t start = w32sim::VirtualMilliseconds();
  CloseSyncSoftware();
  EXPECT_GE(w32sim::VirtualMilliseconds() - start, 1000u);

  const auto& record = w32sim::CurrentHostRecord();
  EXPECT_EQ((std::vector<std::string>{"SyncMgrUI", "DccMan Class"}), record.window_posts);
  EXPECT_EQ((std::vector<uint32_t>{10, 20, 30}), record.terminated_pids);
  const std::string log = Log();
  EXPECT_EQ(0u, CountOf(log, "Windows Closing..."));
  EXPECT_EQ(1u, CountOf(log, "Windows Closing end\r\n"));
}

TEST_F(SyncControlTest, NtWithoutVersionClosesWindowsButTerminatesNothing) {
  w32sim::HostProfile profile = SyncDesktop(VER_PLATFORM_WIN32_NT);
  profile.windows.pop_back();  // only "DccMan Class"
  profile.version_query_fails = true;
  w32sim::SetHostProfile(profile);

  CloseSyncSoftware();
  EXPECT_EQ(std::vector<std::string>{"DccMan Class"}, w32sim::CurrentHostRecord().window_posts);
  EXPECT_TRUE(w32sim::CurrentHostRecord().terminated_pids.empty());
  EXPECT_EQ(0u, CountOf(Log(), "Windows Closing end"));
}

TEST_F(SyncControlTest, NineXRepeatsThePostingWhileBothWindowsStay) {
  // Windows that go after their third post: the first posting and two rounds, then a round that finds
  // them gone.
  w32sim::HostProfile profile = SyncDesktop(VER_PLATFORM_WIN32_WINDOWS);
  for (auto& w : profile.windows) w.close_posts_needed = 3;
  w32sim::SetHostProfile(profile);
  CloseSyncSoftware();
  EXPECT_EQ(6u, w32sim::CurrentHostRecord().window_posts.size());
  EXPECT_EQ(3u, CountOf(Log(), "Windows Closing...\r\n"));
  EXPECT_EQ((std::vector<uint32_t>{10, 20, 30}), w32sim::CurrentHostRecord().terminated_pids);

  // Windows that never close: six rounds of one second each, then on.
  profile = SyncDesktop(VER_PLATFORM_WIN32_WINDOWS);
  for (auto& w : profile.windows) w.closes_on_wm_close = false;
  w32sim::SetHostProfile(profile);
  const uint64_t start = w32sim::VirtualMilliseconds();
  CloseSyncSoftware();
  EXPECT_GE(w32sim::VirtualMilliseconds() - start, 7000u);
  const auto& posts = w32sim::CurrentHostRecord().window_posts;
  ASSERT_EQ(14u, posts.size());
  for (size_t i = 0; i < posts.size(); i += 2) {
    EXPECT_EQ("SyncMgrUI", posts[i]);
    EXPECT_EQ("DccMan Class", posts[i + 1]);
  }
  EXPECT_EQ(3u + 6u, CountOf(Log(), "Windows Closing...\r\n"));
}

TEST_F(SyncControlTest, NtTerminatesTheFirstMatchByUpperCasedBaseName) {
  w32sim::HostProfile profile;
  w32sim::Process hidden = MakeProcess(5, "rapimgr.exe");
  hidden.modules_readable = false;  // compared as "UNKNOWN"
  profile.processes = {MakeProcess(0, "rapimgr.exe"), hidden, MakeProcess(7, "rapimgr.exe"),
                       MakeProcess(9, "rapimgr.exe")};
  w32sim::SetHostProfile(profile);

  EXPECT_EQ(1, TerminateNamedProcess("RapiMgr.EXE"));
  EXPECT_EQ(std::vector<uint32_t>{7}, w32sim::CurrentHostRecord().terminated_pids);
  EXPECT_EQ(1, TerminateNamedProcess("rapimgr.exe"));  // one process per call
  EXPECT_EQ((std::vector<uint32_t>{7, 9}), w32sim::CurrentHostRecord().terminated_pids);
}

TEST_F(SyncControlTest, NtFailuresTerminateNothing) {
  w32sim::HostProfile profile;
  w32sim::Process locked = MakeProcess(7, "wcesmgr.exe");
  locked.can_open = false;
  profile.processes = {locked, MakeProcess(9, "wcesmgr.exe")};
  w32sim::SetHostProfile(profile);
  // The first match ends the search even when it cannot be opened.
  EXPECT_EQ(0, TerminateNamedProcess("wcesmgr.exe"));

  EXPECT_TRUE(w32sim::CurrentHostRecord().terminated_pids.empty());

  profile.processes[0].can_open = true;
  profile.processes[0].terminable = false;
  w32sim::SetHostProfile(profile);
  EXPECT_EQ(0, TerminateNamedProcess("wcesmgr.exe"));
  EXPECT_TRUE(w32sim::CurrentHostRecord().terminated_pids.empty());

  profile.processes[0].terminable = true;
  for (const char* entry : {"EnumProcesses", "EnumProcessModules", "GetModuleBaseNameA"}) {
    profile.missing_entry_points = {entry};
    w32sim::SetHostProfile(profile);
    EXPECT_EQ(0, TerminateNamedProcess("wcesmgr.exe")) << entry;
    EXPECT_TRUE(w32sim::CurrentHostRecord().terminated_pids.empty()) << entry;
  }
  profile.missing_entry_points.clear();
  profile.missing_libraries = {"PSAPI.DLL"};
  w32sim::SetHostProfile(profile);
  EXPECT_EQ(0, TerminateNamedProcess("wcesmgr.exe"));
  EXPECT_TRUE(w32sim::CurrentHostRecord().terminated_pids.empty());
  EXPECT_TRUE(Log().empty());  // the NT path fails without log lines
}

TEST_F(SyncControlTest, NameLengthAndVersionChecks) {
  w32sim::HostProfile profile;
  profile.processes = {MakeProcess(7, "rapimgr.exe")};
  w32sim::SetHostProfile(profile);

  EXPECT_EQ(0, TerminateNamedProcess(std::string(261, 'a').c_str()));
  EXPECT_EQ(0, TerminateNamedProcess(""));
  EXPECT_EQ(2u, CountOf(Log(), "Terminate process length error \r\n"));
  EXPECT_TRUE(w32sim::CurrentHostRecord().terminated_pids.empty());
  EXPECT_TRUE(Libraries().empty());  // refused before anything is enumerated

  // 260 characters is still a name that is looked for.
  EXPECT_EQ(0, TerminateNamedProcess(std::string(260, 'b').c_str()));
  EXPECT_EQ(2u, CountOf(Log(), "Terminate process length error \r\n"));
  EXPECT_EQ((std::vector<std::string>{"LOAD PSAPI.DLL", "FREE PSAPI.DLL"}), Libraries());

  profile.platform_id = 3;
  w32sim::SetHostProfile(profile);
  EXPECT_EQ(0, TerminateNamedProcess("rapimgr.exe"));
  EXPECT_EQ(1u, CountOf(Log(), "Not support version \r\n"));
  profile.version_query_fails = true;
  w32sim::SetHostProfile(profile);
  EXPECT_EQ(0, TerminateNamedProcess("rapimgr.exe"));
  EXPECT_EQ(1u, CountOf(Log(), "Get version error \r\n"));
}

TEST_F(SyncControlTest, NineXComparesModuleNamesAsReported) {
  w32sim::HostProfile profile = SyncDesktop(VER_PLATFORM_WIN32_WINDOWS);
  profile.processes.push_back(MakeProcess(40, "lower.exe"));
  w32sim::SetHostProfile(profile);

  EXPECT_EQ(1, TerminateNamedProcess("rapimgr.exe"));  // the target is upper-cased, the module name not
  EXPECT_EQ(std::vector<uint32_t>{30}, w32sim::CurrentHostRecord().terminated_pids);
  EXPECT_EQ(1u, CountOf(Log(), "terminate process \r\n"));
  EXPECT_EQ(0, TerminateNamedProcess("lower.exe"));  // "LOWER.EXE" is not "lower.exe"
  EXPECT_EQ(std::vector<uint32_t>{30}, w32sim::CurrentHostRecord().terminated_pids);
}

TEST_F(SyncControlTest, NineXFailuresAreLogged) {
  w32sim::HostProfile profile = SyncDesktop(VER_PLATFORM_WIN32_WINDOWS);
  profile.processes = {MakeProcess(20, "WCESCOMM.EXE")};
  profile.processes[0].can_open = false;
  w32sim::SetHostProfile(profile);
  EXPECT_EQ(0, TerminateNamedProcess("wcescomm.exe"));
  // The platform error (access denied) follows the text; the entry's own line feed adds an empty line.
  std::string expected = "Unable to open process, 5 \r\n\r\n";
  EXPECT_EQ(expected, Log());

  profile.processes[0].can_open = true;
  profile.processes[0].terminable = false;
  w32sim::SetHostProfile(profile);
  EXPECT_EQ(0, TerminateNamedProcess("wcescomm.exe"));
  expected += "Cannot terminate process, 5 \r\n\r\n";
  EXPECT_EQ(expected, Log());

  profile.processes[0].terminable = true;
  profile.processes.insert(profile.processes.begin(), MakeProcess(3, "KERNEL32.DLL"));
  profile.processes[0].modules_readable = false;
  w32sim::SetHostProfile(profile);
  EXPECT_EQ(0, TerminateNamedProcess("wcescomm.exe"));
  EXPECT_EQ(1u, CountOf(Log(), "Do not get a handle snapshot2 \r\n"));

  profile.missing_entry_points = {"Module32Next"};
  w32sim::SetHostProfile(profile);
  EXPECT_EQ(0, TerminateNamedProcess("wcescomm.exe"));
  EXPECT_EQ(1u, CountOf(Log(), "Do not find functions \r\n"));
  profile.missing_libraries = {"Kernel32.DLL"};
  w32sim::SetHostProfile(profile);
  EXPECT_EQ(0, TerminateNamedProcess("wcescomm.exe"));
  EXPECT_EQ(1u, CountOf(Log(), "Do not find Kernel32.DLL \r\n"));
  EXPECT_TRUE(w32sim::CurrentHostRecord().terminated_pids.empty());
}

TEST_F(SyncControlTest, NtFailsWhenTheProcessIdsCannotBeEnumerated) {
  w32sim::HostProfile profile;
  profile.processes = {MakeProcess(9, "wcesmgr.exe")};
  profile.enum_processes_fails = true;
  w32sim::SetHostProfile(profile);

  EXPECT_EQ(0, TerminateNamedProcess("wcesmgr.exe"));
  EXPECT_TRUE(w32sim::CurrentHostRecord().terminated_pids.empty());
  EXPECT_EQ((std::vector<std::string>{"LOAD PSAPI.DLL", "FREE PSAPI.DLL"}), Libraries());
  EXPECT_TRUE(Log().empty());

  // The same host with a working enumeration: the process is found.
  profile.enum_processes_fails = false;
  w32sim::SetHostProfile(profile);
  EXPECT_EQ(1, TerminateNamedProcess("wcesmgr.exe"));
  EXPECT_EQ(std::vector<uint32_t>{9}, w32sim::CurrentHostRecord().terminated_pids);
}

TEST_F(SyncControlTest, NineXFailsWhenTheProcessSnapshotIsInvalid) {
  w32sim::HostProfile profile = SyncDesktop(VER_PLATFORM_WIN32_WINDOWS);
  profile.process_snapshot_fails = true;
  w32sim::SetHostProfile(profile);

  EXPECT_EQ(0, TerminateNamedProcess("wcescomm.exe"));
  EXPECT_EQ("Do not get a handle snapshot \r\n\r\n", Log());
  EXPECT_TRUE(w32sim::CurrentHostRecord().terminated_pids.empty());
  EXPECT_EQ((std::vector<std::string>{"LOAD Kernel32.DLL", "FREE Kernel32.DLL"}), Libraries());
}

}  // namespace
