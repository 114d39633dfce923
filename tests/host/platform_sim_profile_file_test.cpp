// The host profile file: everything written comes back the same, hand-written files take the documented
// defaults, and mistakes in a file are reported with their line instead of being ignored.
#include <gtest/gtest.h>

#include "platform/posix/host_profile.h"
#include "test_support.h"

using namespace w32sim;
using testing_support::ReadFileText;
using testing_support::TempDir;

namespace {

void ExpectPresence(const Presence& a, const Presence& b) {
  EXPECT_EQ(a.appears_after_polls, b.appears_after_polls);
  EXPECT_EQ(a.appears_after_ms, b.appears_after_ms);
  EXPECT_EQ(a.vanishes_after_polls, b.vanishes_after_polls);
  EXPECT_EQ(a.vanishes_after_ms, b.vanishes_after_ms);
}

void ExpectSameProfile(const HostProfile& a, const HostProfile& b) {
  EXPECT_EQ(a.major_version, b.major_version);
  EXPECT_EQ(a.minor_version, b.minor_version);
  EXPECT_EQ(a.build_number, b.build_number);
  EXPECT_EQ(a.platform_id, b.platform_id);
  EXPECT_EQ(a.windows_directory, b.windows_directory);
  EXPECT_EQ(a.scm_available, b.scm_available);
  EXPECT_EQ(a.version_query_fails, b.version_query_fails);
  EXPECT_EQ(a.enum_processes_fails, b.enum_processes_fails);
  EXPECT_EQ(a.process_snapshot_fails, b.process_snapshot_fails);
  EXPECT_EQ(a.missing_libraries, b.missing_libraries);
  EXPECT_EQ(a.missing_entry_points, b.missing_entry_points);
  ASSERT_EQ(a.ports.size(), b.ports.size());
  for (size_t i = 0; i < a.ports.size(); ++i) {
    SCOPED_TRACE("port " + std::to_string(i));
    EXPECT_EQ(a.ports[i].has_portname, b.ports[i].has_portname);
    EXPECT_EQ(a.ports[i].portname, b.ports[i].portname);
    EXPECT_EQ(a.ports[i].has_symbolic_name, b.ports[i].has_symbolic_name);
    EXPECT_EQ(a.ports[i].symbolic_name, b.ports[i].symbolic_name);
    EXPECT_EQ(a.ports[i].hardware_key_opens, b.ports[i].hardware_key_opens);
    EXPECT_EQ(a.ports[i].opens, b.ports[i].opens);
    ExpectPresence(a.ports[i].presence, b.ports[i].presence);
  }
  ASSERT_EQ(a.interfaces.size(), b.interfaces.size());
  for (size_t i = 0; i < a.interfaces.size(); ++i) {
    SCOPED_TRACE("interface " + std::to_string(i));
    const DeviceInterface& x = a.interfaces[i];
    const DeviceInterface& y = b.interfaces[i];
    EXPECT_EQ(x.class_guid, y.class_guid);
    EXPECT_EQ(x.path, y.path);
    EXPECT_EQ(x.detail_readable, y.detail_readable);
    EXPECT_EQ(x.opens, y.opens);
    EXPECT_EQ(x.winusb, y.winusb);
    ASSERT_EQ(x.endpoints.size(), y.endpoints.size());
    for (size_t e = 0; e < x.endpoints.size(); ++e) {
      EXPECT_EQ(x.endpoints[e].address, y.endpoints[e].address);
      EXPECT_EQ(x.endpoints[e].type, y.endpoints[e].type);
    }
    EXPECT_EQ(x.fail_pipe_query_at, y.fail_pipe_query_at);
    ExpectPresence(x.presence, y.presence);
  }
  ASSERT_EQ(a.services.size(), b.services.size());
  for (size_t i = 0; i < a.services.size(); ++i) {
    SCOPED_TRACE("service " + a.services[i].name);
    const Service& x = a.services[i];
    const Service& y = b.services[i];
    EXPECT_EQ(x.name, y.name);
    EXPECT_EQ(x.state, y.state);
    EXPECT_EQ(x.start_type, y.start_type);
    EXPECT_EQ(x.service_type, y.service_type);
    EXPECT_EQ(x.error_control, y.error_control);
    EXPECT_EQ(x.stop_ms, y.stop_ms);
    EXPECT_EQ(x.start_ms, y.start_ms);
    EXPECT_EQ(x.pause_ms, y.pause_ms);
    EXPECT_EQ(x.continue_ms, y.continue_ms);
    EXPECT_EQ(x.refuses_controls, y.refuses_controls);
    EXPECT_EQ(x.can_open, y.can_open);
    EXPECT_EQ(x.status_query_fails, y.status_query_fails);
    EXPECT_EQ(x.status_query_fails_after, y.status_query_fails_after);
  }
  ASSERT_EQ(a.windows.size(), b.windows.size());
  for (size_t i = 0; i < a.windows.size(); ++i) {
    EXPECT_EQ(a.windows[i].class_name, b.windows[i].class_name);
    EXPECT_EQ(a.windows[i].closes_on_wm_close, b.windows[i].closes_on_wm_close);
    EXPECT_EQ(a.windows[i].close_posts_needed, b.windows[i].close_posts_needed);
  }
  ASSERT_EQ(a.processes.size(), b.processes.size());
  for (size_t i = 0; i < a.processes.size(); ++i) {
    EXPECT_EQ(a.processes[i].pid, b.processes[i].pid);
    EXPECT_EQ(a.processes[i].exe, b.processes[i].exe);
    EXPECT_EQ(a.processes[i].modules_readable, b.processes[i].modules_readable);
    EXPECT_EQ(a.processes[i].can_open, b.processes[i].can_open);
    EXPECT_EQ(a.processes[i].terminable, b.processes[i].terminable);
  }
}

// Every field away from its default, and strings that need quoting.
HostProfile FullProfile() {
  HostProfile p;
  p.major_version = 6;
  p.minor_version = 2;
  p.build_number = 9200;
  p.platform_id = 1;
  p.windows_directory = "/tmp/win dir/ with spaces ";
  p.scm_available = false;
  p.version_query_fails = true;
  p.enum_processes_fails = true;
  p.process_snapshot_fails = true;
  p.missing_libraries = {"PSAPI.DLL", "cfgmgr32"};
  p.missing_entry_points = {"EnumProcesses", "Module32Next"};
  PortDevice a;
  a.portname = "COM7";
  a.symbolic_name = "\\??\\USB#Vid_0e1f&Pid_4505#5&1c2d#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
  a.opens = "/dev/pts/7";
  a.presence = {3, 1500, 9, 60000};
  PortDevice b;
  b.has_portname = false;
  b.portname = "kept although absent";
  b.has_symbolic_name = false;
  b.hardware_key_opens = false;
  b.opens = "\"quoted\"\ttab";
  p.ports = {a, b};
  DeviceInterface i;
  i.class_guid = "{11111111-2222-3333-4444-555555555555}";
  i.path = "\\\\?\\usb#vid_0e1f&pid_4505#6&2a#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}";
  i.detail_readable = false;
  i.opens = "socket:/tmp/handheld.sock";
  i.winusb = false;
  i.endpoints = {{0x02, 2}, {0x83, 3}, {0x00, 0}, {0x84, 1}};
  i.fail_pipe_query_at = 2;
  i.presence = {1, 2, 3, 4};
  DeviceInterface empty;
  empty.endpoints.clear();
  p.interfaces = {i, empty};
  Service s;
  s.name = "WcesComm";
  s.state = 3;
  s.start_type = 4;
  s.service_type = 0x20;
  s.error_control = 0;
  s.stop_ms = 20000;
  s.start_ms = 1;
  s.pause_ms = 2;
  s.continue_ms = 3;
  s.refuses_controls = true;
  s.can_open = false;
  s.status_query_fails = true;
  s.status_query_fails_after = 7;
  Service r;
  r.name = "RapiMgr";
  r.service_type = 0;
  p.services = {s, r};
  p.windows = {{"DccMan Class", false, 4}, {"SyncMgrUI", true, 1}};
  p.processes = {{1234, "rapimgr.exe", false, false, false}, {77, "WCESCOMM.EXE", true, true, true}};
  return p;
}

}  // namespace

TEST(HostProfileFile, EveryFieldSurvivesSaveAndLoad) {
  TempDir dir;
  const HostProfile original = FullProfile();
  std::string error;
  ASSERT_TRUE(SaveHostProfileFile(dir.File("host.ini"), original, &error)) << error;
  HostProfile loaded;
  ASSERT_TRUE(LoadHostProfileFile(dir.File("host.ini"), &loaded, &error)) << error;
  ExpectSameProfile(original, loaded);

  // The default profile round-trips too, and a second save writes the same text.
  ASSERT_TRUE(SaveHostProfileFile(dir.File("again.ini"), loaded, &error)) << error;
  EXPECT_EQ(ReadFileText(dir.File("host.ini")), ReadFileText(dir.File("again.ini")));
  ASSERT_TRUE(SaveHostProfileFile(dir.File("default.ini"), HostProfile{}, &error)) << error;
  ASSERT_TRUE(LoadHostProfileFile(dir.File("default.ini"), &loaded, &error)) << error;
  ExpectSameProfile(HostProfile{}, loaded);
}

TEST(HostProfileFile, HandWrittenFileTakesTheDefaults) {
  TempDir dir;
  testing_support::WriteFileBytes(dir.File("h.ini"), {});
  const std::string text =
      "; a person's profile\n"
      "[host]\n"
      "major_version = 6\n"
      "\n"
      "[port.COM7]\n"
      "  portname   =   COM7  \n"
      "opens = /dev/pts/3\n"
      "[port.other]\n"
      "symbolic_name = \\??\\USB#Vid_0e1f&Pid_4505#x\n"
      "[interface.1]\n"
      "path = \\\\?\\usb#x\n"
      "endpoints = 0x01, 0x81:bulk, 0x83:interrupt\n"
      "[service.WcesComm]\n"
      "state = stopped\n"
      "start_type = disabled\n"
      "[window.1]\n"
      "class = \"DccMan Class\"\n"
      "[process.a]\n"
      "pid = 0x10\n"
      "exe = rapimgr.exe\n"
      "[libraries]\n"
      "missing = PSAPI.DLL ,  Kernel32.DLL\n";
  std::vector<uint8_t> bytes(text.begin(), text.end());
  testing_support::WriteFileBytes(dir.File("h.ini"), bytes);
  HostProfile p;
  std::string error;
  ASSERT_TRUE(LoadHostProfileFile(dir.File("h.ini"), &p, &error)) << error;
  EXPECT_EQ(p.major_version, 6u);
  EXPECT_EQ(p.minor_version, 1u);  // default
  EXPECT_EQ(p.platform_id, 2u);
  ASSERT_EQ(p.ports.size(), 2u);
  EXPECT_TRUE(p.ports[0].has_portname);
  EXPECT_EQ(p.ports[0].portname, "COM7");
  // A port whose section names no portname has no such value in its key (and vice versa).
  EXPECT_FALSE(p.ports[0].has_symbolic_name);
  EXPECT_FALSE(p.ports[1].has_portname);
  EXPECT_TRUE(p.ports[1].has_symbolic_name);
  EXPECT_EQ(p.ports[1].symbolic_name, "\\??\\USB#Vid_0e1f&Pid_4505#x");
  ASSERT_EQ(p.interfaces.size(), 1u);
  EXPECT_EQ(p.interfaces[0].class_guid, "{25DBCE51-6C8F-4A72-8A6D-B54C2B4FC835}");
  ASSERT_EQ(p.interfaces[0].endpoints.size(), 3u);
  EXPECT_EQ(p.interfaces[0].endpoints[0].type, 2);  // a bare address is a bulk endpoint
  EXPECT_EQ(p.interfaces[0].endpoints[2].address, 0x83);
  EXPECT_EQ(p.interfaces[0].endpoints[2].type, 3);
  ASSERT_EQ(p.services.size(), 1u);
  EXPECT_EQ(p.services[0].name, "WcesComm");
  EXPECT_EQ(p.services[0].state, 1u);
  EXPECT_EQ(p.services[0].start_type, 4u);
  EXPECT_EQ(p.services[0].service_type, 0x10u);
  ASSERT_EQ(p.windows.size(), 1u);
  EXPECT_EQ(p.windows[0].class_name, "DccMan Class");
  EXPECT_TRUE(p.windows[0].closes_on_wm_close);
  ASSERT_EQ(p.processes.size(), 1u);
  EXPECT_EQ(p.processes[0].pid, 16u);
  EXPECT_EQ(p.missing_libraries, (std::set<std::string>{"PSAPI.DLL", "Kernel32.DLL"}));
}

TEST(HostProfileFile, MistakesAreReportedWithTheirLine) {
  TempDir dir;
  struct Case {
    const char* text;
    const char* expect;  // part of the message
  };
  const Case cases[] = {
      {"[host]\nmajor_versoin = 6\n", ":2: unknown key"},
      {"[host]\nmajor_version = six\n", ":2: bad value"},
      {"[host]\nmajor_version = 4294967296\n", "bad value"},
      {"[host]\nplatform_id = -1\n", "bad value"},
      {"[port.1]\n[port.1]\n", ":2: section [port.1] appears twice"},
      {"[ports.1]\n", "unknown section"},
      {"[port]\n", "unknown section"},
      {"major_version = 6\n", "key outside a section"},
      {"[host]\njust words\n", "expected key = value"},
      {"[interface.1]\nendpoints = 0x100:bulk\n", "bad value"},
      {"[interface.1]\nendpoints = 0x81:fast\n", "bad value"},
      {"[interface.1]\nclass_guid = {not-a-guid}\n", "bad value"},
      {"[service.X]\nstate = sleeping\n", "bad value"},
      {"[service.X]\nrefuses_controls = maybe\n", "bad value"},
      {"[service.X]\nstatus_query_fails_after = -1\n", "bad value"},
      {"[host]\nprocess_snapshot_fails = sometimes\n", "bad value"},
      {"[process.1]\nexe = a.exe\n", "pid other than 0"},
      {"[host]\nwindows_directory = \"abc\\\"\n", "escape"},
      {"[host]\nwindows_directory = \"\\q\"\n", "unknown escape"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string t = c.text;
    testing_support::WriteFileBytes(dir.File("bad.ini"), std::vector<uint8_t>(t.begin(), t.end()));
    HostProfile p;
    p.major_version = 99;
    std::string error;
    EXPECT_FALSE(LoadHostProfileFile(dir.File("bad.ini"), &p, &error));
    EXPECT_NE(error.find(c.expect), std::string::npos) << error;
    EXPECT_EQ(p.major_version, 99u);  // the output is untouched on failure
  }
  std::string error;
  HostProfile p;
  EXPECT_FALSE(LoadHostProfileFile(dir.File("missing.ini"), &p, &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos);
}

TEST(HostProfileFile, ProfilesTheFileCannotHoldAreRefused) {
  TempDir dir;
  std::string error;
  HostProfile idle;
  idle.processes = {{0, "idle.exe", true, true, true}};
  EXPECT_FALSE(SaveHostProfileFile(dir.File("a.ini"), idle, &error));
  HostProfile twins;
  twins.services.resize(2);
  twins.services[0].name = "WcesComm";
  twins.services[1].name = "wcescomm";
  EXPECT_FALSE(SaveHostProfileFile(dir.File("b.ini"), twins, &error));
  HostProfile comma;
  comma.missing_entry_points = {"a,b"};
  EXPECT_FALSE(SaveHostProfileFile(dir.File("c.ini"), comma, &error));
  EXPECT_FALSE(SaveHostProfileFile(dir.File("no/such/dir/d.ini"), HostProfile{}, &error));
}

TEST(HostProfileFile, TheDocumentedExampleLoads) {
  std::string here = __FILE__;
  std::string doc = here.substr(0, here.rfind("/tests/")) + "/platform/posix/HOST_PROFILE.md";
  std::string text = ReadFileText(doc);
  size_t begin = text.find("```ini\n");
  ASSERT_NE(begin, std::string::npos) << doc;
  begin += 7;
  size_t end = text.find("```", begin);
  ASSERT_NE(end, std::string::npos);
  std::string example = text.substr(begin, end - begin);
  TempDir dir;
  testing_support::WriteFileBytes(dir.File("example.ini"), std::vector<uint8_t>(example.begin(), example.end()));
  HostProfile p;
  std::string error;
  ASSERT_TRUE(LoadHostProfileFile(dir.File("example.ini"), &p, &error)) << error;
  ASSERT_EQ(p.ports.size(), 2u);
  EXPECT_EQ(p.ports[1].portname, "COM7");
  EXPECT_EQ(p.ports[1].presence.appears_after_polls, 2u);
  ASSERT_EQ(p.interfaces.size(), 1u);
  EXPECT_EQ(p.interfaces[0].opens, "socket:/tmp/handheld/winusb.sock");
  EXPECT_EQ(p.interfaces[0].endpoints.size(), 3u);
  ASSERT_EQ(p.services.size(), 2u);
  EXPECT_EQ(p.services[0].stop_ms, 3000u);
  ASSERT_EQ(p.windows.size(), 2u);
  EXPECT_EQ(p.windows[1].class_name, "DccMan Class");
  EXPECT_EQ(p.windows[1].close_posts_needed, 2u);
  ASSERT_EQ(p.processes.size(), 2u);
  EXPECT_EQ(p.processes[1].exe, "rapimgr.exe");
}
