// SetupAPI of the simulated host: the size protocols, the cbSize rule, enumeration ends, devices that
// come and go by polls and by time, lists as snapshots, and the names CreateFileA resolves.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/posix/clock.h"
#include "platform/posix/host_profile.h"
#include "platform/win32.h"

using namespace w32sim;

namespace {

const GUID kPorts = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kSync = {0x25DBCE51, 0x6C8F, 0x4A72, {0x8A, 0x6D, 0xB5, 0x4C, 0x2B, 0x4F, 0xC8, 0x35}};

PortDevice Port(const std::string& name, const std::string& opens) {
  PortDevice p;
  p.portname = name;
  p.symbolic_name = "\\??\\USB#Vid_0e1f&Pid_4505#1#{x}";
  p.opens = opens;
  return p;
}

DeviceInterface Interface(const std::string& path, const std::string& opens = "socket:/tmp/x.sock") {
  DeviceInterface d;
  d.path = path;
  d.opens = opens;
  return d;
}

// The DevInst values of the devices a fresh list of the Ports class holds.
std::vector<DWORD> PortList(DWORD flags = DIGCF_PRESENT) {
  std::vector<DWORD> out;
  HDEVINFO list = SetupDiGetClassDevsA(&kPorts, nullptr, nullptr, flags);
  EXPECT_NE(list, INVALID_HANDLE_VALUE);
  for (DWORD i = 0;; ++i) {
    SP_DEVINFO_DATA d{};
    d.cbSize = sizeof d;
    if (!SetupDiEnumDeviceInfo(list, i, &d)) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
      break;
    }
    EXPECT_EQ(std::memcmp(&d.ClassGuid, &kPorts, sizeof(GUID)), 0);
    out.push_back(d.DevInst);
  }
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(list));
  return out;
}

// The paths of the present interfaces of the sync class, read through the two-call detail protocol.
std::vector<std::string> InterfacePaths() {
  std::vector<std::string> out;
  HDEVINFO list = SetupDiGetClassDevsA(&kSync, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_NE(list, INVALID_HANDLE_VALUE);
  for (DWORD i = 0;; ++i) {
    SP_DEVICE_INTERFACE_DATA d{};
    d.cbSize = sizeof d;
    if (!SetupDiEnumDeviceInterfaces(list, nullptr, &kSync, i, &d)) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
      break;
    }
    DWORD size = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &d, nullptr, 0, &size, nullptr));
    std::vector<char> buf(size);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buf.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(list, &d, detail, size, nullptr, nullptr)) out.push_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(list);
  return out;
}

class SetupApiTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(OpenSimulatedHandles("devinfo"), 0);
    SetClockScale(1);
  }
};

}  // namespace

TEST_F(SetupApiTest, PortsClassGuidTwoCallProtocol) {
  DWORD required = 99;
  EXPECT_FALSE(SetupDiClassGuidsFromNameA("Ports", nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, 1u);
  std::vector<GUID> guids(required);
  ASSERT_TRUE(SetupDiClassGuidsFromNameA("ports", guids.data(), required, &required));
  EXPECT_EQ(std::memcmp(&guids[0], &kPorts, sizeof(GUID)), 0);

  // A class name nobody registered has no GUIDs: success with a count of 0.
  required = 99;
  EXPECT_TRUE(SetupDiClassGuidsFromNameA("Modem", nullptr, 0, &required));
  EXPECT_EQ(required, 0u);
}

TEST_F(SetupApiTest, ListsHoldPresentDevicesInOrderAndEndWithNoMoreItems) {
  HostProfile p;
  p.ports = {Port("COM3", "/dev/a"), Port("COM7", "/dev/b"), Port("COM9", "/dev/c")};
  p.ports[1].presence.appears_after_polls = 1000;  // not there
  SetHostProfile(p);
  EXPECT_EQ(PortList(), (std::vector<DWORD>{0x1000, 0x1002}));
  // Without DIGCF_PRESENT the devices that are not attached are listed as well.
  EXPECT_EQ(PortList(0), (std::vector<DWORD>{0x1000, 0x1001, 0x1002}));

  // A wrong cbSize in the caller's record is refused; an unknown list handle too.
  HDEVINFO list = SetupDiGetClassDevsA(&kPorts, nullptr, nullptr, DIGCF_PRESENT);
  SP_DEVINFO_DATA d{};
  d.cbSize = sizeof d + 4;
  EXPECT_FALSE(SetupDiEnumDeviceInfo(list, 0, &d));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(list));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(list));
  d.cbSize = sizeof d;
  EXPECT_FALSE(SetupDiEnumDeviceInfo(list, 0, &d));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // No class and no DIGCF_ALLCLASSES: failure as the invalid handle.
  EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
  // The interface class holds no "Ports" devices.
  EXPECT_EQ(PortList().size(), 2u);
  GUID other = kSync;
  HDEVINFO none = SetupDiGetClassDevsA(&other, nullptr, nullptr, DIGCF_PRESENT);
  ASSERT_NE(none, INVALID_HANDLE_VALUE);
  d.cbSize = sizeof d;
  EXPECT_FALSE(SetupDiEnumDeviceInfo(none, 0, &d));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  SetupDiDestroyDeviceInfoList(none);
}

TEST_F(SetupApiTest, DevicesAppearAndVanishByPollsOfTheirOwnClass) {
  HostProfile p;
  p.ports = {Port("COM7", "/dev/b")};
  p.ports[0].presence.appears_after_polls = 2;
  p.ports[0].presence.vanishes_after_polls = 4;
  p.interfaces = {Interface("\\\\?\\usb#late")};
  p.interfaces[0].presence.appears_after_polls = 1;
  SetHostProfile(p);

  std::string opens;
  EXPECT_FALSE(ResolveDeviceName("COM7", &opens));  // not on the bus yet
  EXPECT_TRUE(PortList().empty());                   // poll 1
  EXPECT_TRUE(PortList().empty());                   // poll 2
  EXPECT_TRUE(ResolveDeviceName("COM7", &opens));    // it arrived after the second poll
  EXPECT_EQ(opens, "/dev/b");
  EXPECT_EQ(PortList().size(), 1u);  // poll 3
  EXPECT_EQ(PortList().size(), 1u);  // poll 4
  EXPECT_TRUE(PortList().empty());   // gone after four polls
  EXPECT_FALSE(ResolveDeviceName("COM7", &opens));

  // The port polls did not count for the interface class.
  EXPECT_TRUE(InterfacePaths().empty());
  EXPECT_EQ(InterfacePaths(), std::vector<std::string>{"\\\\?\\usb#late"});

  // A new profile starts the counts again.
  SetHostProfile(p);
  EXPECT_TRUE(PortList().empty());
}

TEST_F(SetupApiTest, DevicesAppearAndVanishOnTheLayersClock) {
  SetClockScale(1000);
  HostProfile p;
  p.ports = {Port("COM7", "/dev/b")};
  p.ports[0].presence.appears_after_ms = 5000;
  p.ports[0].presence.vanishes_after_ms = 20000;
  SetHostProfile(p);
  EXPECT_TRUE(PortList().empty());
  Sleep(6000);
  EXPECT_EQ(PortList().size(), 1u);
  Sleep(15000);
  EXPECT_TRUE(PortList().empty());
}

TEST_F(SetupApiTest, AListIsASnapshotOfWhenItWasMade) {
  HostProfile p;
  p.ports = {Port("COM7", "/dev/b")};
  p.ports[0].presence.vanishes_after_polls = 1;
  SetHostProfile(p);
  HDEVINFO list = SetupDiGetClassDevsA(&kPorts, nullptr, nullptr, DIGCF_PRESENT);
  EXPECT_TRUE(PortList().empty());      // the device has gone since
  CurrentHostProfile().ports.clear();   // even from the profile
  SP_DEVINFO_DATA d{};
  d.cbSize = sizeof d;
  EXPECT_TRUE(SetupDiEnumDeviceInfo(list, 0, &d));
  EXPECT_EQ(d.DevInst, 0x1000u);
  SetupDiDestroyDeviceInfoList(list);
}

TEST_F(SetupApiTest, InterfaceDetailSizeProtocolAndCbSizeRule) {
  HostProfile p;
  const std::string path = "\\\\?\\usb#vid_0e1f&pid_4505#6&2a#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}";
  p.interfaces = {Interface(path)};
  DeviceInterface other = Interface("\\\\?\\other");
  other.class_guid = "{11111111-2222-3333-4444-555555555555}";
  p.interfaces.push_back(other);
  SetHostProfile(p);

  HDEVINFO list = SetupDiGetClassDevsA(&kSync, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(list, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA d{};
  d.cbSize = sizeof d;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, &kSync, 0, &d));
  EXPECT_EQ(std::memcmp(&d.InterfaceClassGuid, &kSync, sizeof(GUID)), 0);
  SP_DEVICE_INTERFACE_DATA past{};
  past.cbSize = sizeof past;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list, nullptr, &kSync, 1, &past));  // the other class is not in it
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

  DWORD size = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &d, nullptr, 0, &size, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(size, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);

  std::vector<char> buf(size);
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buf.data());
  detail->cbSize = size;  // the classic mistake: the whole size instead of the fixed part
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &d, detail, size, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  DWORD again = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &d, detail, size - 1, &again, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(again, size);

  SP_DEVINFO_DATA dev{};
  dev.cbSize = sizeof dev;
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(list, &d, detail, size, nullptr, &dev));
  EXPECT_EQ(std::string(detail->DevicePath), path);
  EXPECT_EQ(dev.DevInst, 0x2000u);
  SetupDiDestroyDeviceInfoList(list);
}

TEST_F(SetupApiTest, UnreadableDetailFailsWithAnotherErrorAndTheNextIsRead) {
  HostProfile p;
  p.interfaces = {Interface("\\\\?\\first"), Interface("\\\\?\\second")};
  p.interfaces[0].detail_readable = false;
  SetHostProfile(p);
  HDEVINFO list = SetupDiGetClassDevsA(&kSync, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA d{};
  d.cbSize = sizeof d;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, &kSync, 0, &d));
  DWORD size = 0;
  SetupDiGetDeviceInterfaceDetailA(list, &d, nullptr, 0, &size, nullptr);
  std::vector<char> buf(size);
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buf.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &d, detail, size, nullptr, nullptr));
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  SetupDiDestroyDeviceInfoList(list);
  EXPECT_EQ(InterfacePaths(), std::vector<std::string>{"\\\\?\\second"});
}

TEST_F(SetupApiTest, CreateFileNamesResolveToPresentDevicesOnly) {
  HostProfile p;
  p.ports = {Port("COM7", "/dev/pts/7"), Port("COM8", "/dev/pts/8"), Port("COM12", "/dev/pts/12")};
  p.ports[1].has_portname = false;  // a port without a port name cannot be opened by one
  p.interfaces = {Interface("\\\\?\\USB#Sync", "socket:/tmp/h.sock"), Interface("\\\\?\\away", "/dev/x")};
  p.interfaces[1].presence.appears_after_polls = 5;
  SetHostProfile(p);
  std::string opens;
  EXPECT_TRUE(ResolveDeviceName("com7", &opens));
  EXPECT_EQ(opens, "/dev/pts/7");
  EXPECT_FALSE(ResolveDeviceName("COM8", &opens));
  EXPECT_TRUE(ResolveDeviceName("\\\\.\\COM7", &opens));  // the device namespace reaches every port
  EXPECT_EQ(opens, "/dev/pts/7");
  // Only COM1 to COM9 answer to a bare name, as on Windows: a bare "COM12" is a file name.
  EXPECT_FALSE(ResolveDeviceName("COM12", &opens));
  EXPECT_TRUE(ResolveDeviceName("\\\\.\\com12", &opens));
  EXPECT_EQ(opens, "/dev/pts/12");
  EXPECT_FALSE(ResolveDeviceName("\\\\.\\COM8", &opens));
  EXPECT_TRUE(ResolveDeviceName("\\\\?\\usb#sync", &opens));
  EXPECT_EQ(opens, "socket:/tmp/h.sock");
  EXPECT_FALSE(ResolveDeviceName("\\\\?\\away", &opens));
  EXPECT_FALSE(ResolveDeviceName("/etc/passwd", &opens));
}
