// The WinUSB channel: pipe choice, replacing and releasing the interface, and the interface path search,
// against the simulated host and the virtual handheld's socket.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "driver/winusb_channel.h"
#include "handheld/virtual_handheld.h"
#include "platform/posix/host_profile.h"
#include "test_support.h"

namespace {

using testing_support::ScopedChdir;
using testing_support::TempDir;

constexpr const char* kPath = "\\\\?\\usb#vid_0e1f&pid_4505#7&1#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}";

class WinUsbTest : public ::testing::Test {
 protected:
  WinUsbTest() : cwd_(dir_.path()), handheld_(device_dir_.path()) {
    socket_ = handheld_.StartSocket(device_dir_.File("winusb.sock"));
    ReleaseWinUSB();
    WinUsbLink.bOutPipe = 0;
    WinUsbLink.bInPipe = 0;
  }
  ~WinUsbTest() override {
    ReleaseWinUSB();
    if (link_ != INVALID_HANDLE_VALUE) CloseHandle(link_);
    handheld_.Stop();
  }

  // Sets a host whose handheld interface has these endpoints, and opens it.
  HANDLE Open(const std::vector<w32sim::Endpoint>& endpoints, int failPipeQueryAt = -1) {
    w32sim::HostProfile profile;
    profile.major_version = 6;
    w32sim::DeviceInterface itf;
    itf.path = kPath;
    itf.opens = "socket:" + socket_;
    itf.endpoints = endpoints;
    itf.fail_pipe_query_at = failPipeQueryAt;
    profile.interfaces = {itf};
    w32sim::SetHostProfile(profile);
    if (link_ != INVALID_HANDLE_VALUE) CloseHandle(link_);
    link_ = CreateFileA(kPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, link_);
    return link_;
  }

  TempDir dir_;
  ScopedChdir cwd_;
  TempDir device_dir_;
  handheld::VirtualHandheld handheld_;
  std::string socket_;
  HANDLE link_ = INVALID_HANDLE_VALUE;
};

TEST_F(WinUsbTest, ChoosesTheBulkPipesAndPassesOverOthers) {
  ASSERT_EQ(1, InitWinUSB(Open({{0x01, 2}, {0x81, 2}, {0x83, 3}})));
  EXPECT_NE(nullptr, WinUsbLink.hInterface);
  EXPECT_EQ(0x01, WinUsbLink.bOutPipe);
  EXPECT_EQ(0x81, WinUsbLink.bInPipe);
}

TEST_F(WinUsbTest, HighestIndexWinsAmongPipesOfOneDirection) {
  ASSERT_EQ(1, InitWinUSB(Open({{0x02, 2}, {0x81, 2}, {0x01, 2}, {0x82, 2}})));
  EXPECT_EQ(0x01, WinUsbLink.bOutPipe);
  EXPECT_EQ(0x82, WinUsbLink.bInPipe);
}

TEST_F(WinUsbTest, FailedPipeQueryKeepsThePipesChosenSoFar) {
  EXPECT_EQ(0, InitWinUSB(Open({{0x02, 2}, {0x81, 2}}, 1)));
  EXPECT_EQ(0x02, WinUsbLink.bOutPipe);
  EXPECT_EQ(0, WinUsbLink.bInPipe);
}

TEST_F(WinUsbTest, ASecondCallReleasesAndReplacesTheInterface) {
  HANDLE link = Open({{0x01, 2}, {0x81, 2}});
  ASSERT_EQ(1, InitWinUSB(link));
  WINUSB_INTERFACE_HANDLE first = WinUsbLink.hInterface;
  ASSERT_EQ(1, InitWinUSB(link));
  EXPECT_NE(nullptr, WinUsbLink.hInterface);
  DRAVIK_USB_INTERFACE_DESCRIPTOR descriptor{};
  EXPECT_FALSE(WinUsb_QueryInterfaceSettings(first, 0, &descriptor));  // the earlier one was freed
  EXPECT_TRUE(WinUsb_QueryInterfaceSettings(WinUsbLink.hInterface, 0, &descriptor));

  // A direction without a bulk pipe keeps its earlier id.
  link = Open({{0x03, 2}, {0x84, 3}});
  ASSERT_EQ(1, InitWinUSB(link));
  EXPECT_EQ(0x03, WinUsbLink.bOutPipe);
  EXPECT_EQ(0x81, WinUsbLink.bInPipe);

  ReleaseWinUSB();
  EXPECT_EQ(nullptr, WinUsbLink.hInterface);
  ReleaseWinUSB();  // nothing left to release
}

TEST_F(WinUsbTest, HandleThatIsNoWinUsbDeviceFails) {
  Open({{0x01, 2}, {0x81, 2}});
  HANDLE file = CreateFileA(dir_.File("plain.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  EXPECT_EQ(0, InitWinUSB(file));
  EXPECT_EQ(nullptr, WinUsbLink.hInterface);
  CloseHandle(file);
  EXPECT_EQ(0, InitWinUSB(INVALID_HANDLE_VALUE));
  EXPECT_EQ(nullptr, WinUsbLink.hInterface);
}

TEST_F(WinUsbTest, DevicePathIsTheFirstReadableInterface) {
  w32sim::SetHostProfile(w32sim::HostProfile{});
  EXPECT_EQ(nullptr, GetDevicePnpPath());

  w32sim::HostProfile profile;
  w32sim::DeviceInterface unreadable;
  unreadable.path = std::string(kPath) + "-a";
  unreadable.detail_readable = false;
  w32sim::DeviceInterface other;
  other.path = std::string(kPath) + "-x";
  other.class_guid = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";  // another class is not looked at
  w32sim::DeviceInterface readable;
  readable.path = std::string(kPath) + "-b";
  w32sim::DeviceInterface later;
  later.path = std::string(kPath) + "-c";
  profile.interfaces = {unreadable, other, readable, later};
  w32sim::SetHostProfile(profile);

  char* path = GetDevicePnpPath();
  ASSERT_NE(nullptr, path);
  EXPECT_EQ(std::string(kPath) + "-b", path);
  std::free(path);

  // There is no bound on the indices: the tenth interface is still found.
  profile.interfaces.clear();
  for (int i = 0; i < 9; ++i) profile.interfaces.push_back(unreadable);
  profile.interfaces.push_back(later);
  w32sim::SetHostProfile(profile);
  path = GetDevicePnpPath();
  ASSERT_NE(nullptr, path);
  EXPECT_EQ(std::string(kPath) + "-c", path);
  std::free(path);
}

}  // namespace
