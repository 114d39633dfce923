// WinUSB of the simulated host over a Unix socket with a small peer: the interface knows the endpoints of
// the profile entry its handle came from, the bulk pipes carry bytes both ways, and wrong pipes, other
// handles and a peer that went away fail with the codes the link relies on.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/posix/host_profile.h"
#include "platform/win32.h"
#include "test_support.h"

using namespace w32sim;
using testing_support::TempDir;

namespace {

const char kPath[] = "\\\\?\\usb#vid_0e1f&pid_4505#1#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}";

// A listening Unix socket; Serve() accepts one connection and runs the peer on it in a thread.
class Peer {
 public:
  explicit Peer(const std::string& path) : path_(path) {
    listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(listener_, 4), 0);
  }
  ~Peer() {
    if (thread_.joinable()) thread_.join();
    close(listener_);
    unlink(path_.c_str());
  }
  // Echoes what it reads until the other end closes.
  void Echo() {
    thread_ = std::thread([this] {
      int fd = accept(listener_, nullptr, nullptr);
      char buf[700];
      for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        if (write(fd, buf, static_cast<size_t>(n)) != n) break;
      }
      close(fd);
    });
  }
  // Sends the bytes, then closes the connection.
  void SendAndHangUp(std::vector<uint8_t> bytes) {
    thread_ = std::thread([this, bytes] {
      int fd = accept(listener_, nullptr, nullptr);
      if (!bytes.empty()) {
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
      }
      close(fd);
    });
  }
  void Join() { thread_.join(); }

 private:
  std::string path_;
  int listener_ = -1;
  std::thread thread_;
};

class WinUsbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_path_ = dir_.File("handheld.sock");
    DeviceInterface d;
    d.path = kPath;
    d.opens = "socket:" + socket_path_;
    d.endpoints = {{0x01, 2}, {0x81, 2}, {0x83, 3}};
    profile_.interfaces = {d};
  }
  void TearDown() override { EXPECT_EQ(OpenSimulatedHandles("winusb"), 0); }

  // WinUSB needs a handle opened for overlapped I/O.
  HANDLE OpenDevice(DWORD flags = FILE_FLAG_OVERLAPPED) {
    HANDLE h = CreateFileA(kPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    return h;
  }

  TempDir dir_;
  std::string socket_path_;
  HostProfile profile_;
};

}  // namespace

TEST_F(WinUsbTest, InterfaceDescribesTheProfilesEndpoints) {
  profile_.interfaces[0].fail_pipe_query_at = 2;
  SetHostProfile(profile_);
  Peer peer(socket_path_);
  peer.Echo();
  HANDLE dev = OpenDevice();
  WINUSB_INTERFACE_HANDLE usb = nullptr;
  ASSERT_TRUE(WinUsb_Initialize(dev, &usb));
  DRAVIK_USB_INTERFACE_DESCRIPTOR desc{};
  ASSERT_TRUE(WinUsb_QueryInterfaceSettings(usb, 0, &desc));
  EXPECT_EQ(desc.bNumEndpoints, 3);
  EXPECT_FALSE(WinUsb_QueryInterfaceSettings(usb, 1, &desc));
  DRAVIK_WINUSB_PIPE_INFORMATION pipe{};
  ASSERT_TRUE(WinUsb_QueryPipe(usb, 0, 0, &pipe));
  EXPECT_EQ(pipe.PipeType, DravikPipeTypeBulk);
  EXPECT_EQ(pipe.PipeId, 0x01);
  ASSERT_TRUE(WinUsb_QueryPipe(usb, 0, 1, &pipe));
  EXPECT_EQ(pipe.PipeId, 0x81);
  EXPECT_FALSE(WinUsb_QueryPipe(usb, 0, 2, &pipe));  // the injected failure
  EXPECT_FALSE(WinUsb_QueryPipe(usb, 0, 3, &pipe));  // past the end
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

  // A second interface on the same handle is independent of the first.
  WINUSB_INTERFACE_HANDLE again = nullptr;
  ASSERT_TRUE(WinUsb_Initialize(dev, &again));
  EXPECT_NE(again, usb);
  EXPECT_TRUE(WinUsb_Free(usb));
  EXPECT_FALSE(WinUsb_Free(usb));
  EXPECT_TRUE(WinUsb_QueryInterfaceSettings(again, 0, &desc));
  EXPECT_TRUE(WinUsb_Free(again));
  CloseHandle(dev);
}

TEST_F(WinUsbTest, BulkPipesCarryBytesBothWays) {
  SetHostProfile(profile_);
  Peer peer(socket_path_);
  peer.Echo();
  HANDLE dev = OpenDevice();
  WINUSB_INTERFACE_HANDLE usb = nullptr;
  ASSERT_TRUE(WinUsb_Initialize(dev, &usb));
  std::vector<uint8_t> frame = testing_support::PatternBytes(1520);
  ULONG sent = 0;
  ASSERT_TRUE(WinUsb_WritePipe(usb, 0x01, frame.data(), static_cast<ULONG>(frame.size()), &sent, nullptr));
  EXPECT_EQ(sent, 1520u);
  std::vector<uint8_t> back;
  while (back.size() < frame.size()) {
    uint8_t buf[1520];
    ULONG got = 0;
    ASSERT_TRUE(WinUsb_ReadPipe(usb, 0x81, buf, sizeof buf, &got, nullptr));
    ASSERT_GT(got, 0u);
    ASSERT_LE(back.size() + got, frame.size());  // never more than was sent
    back.insert(back.end(), buf, buf + got);
  }
  EXPECT_EQ(back, frame);

  // Pipes that are not bulk pipes of the right direction.
  uint8_t b[4] = {};
  ULONG n = 7;
  EXPECT_FALSE(WinUsb_WritePipe(usb, 0x81, b, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(WinUsb_ReadPipe(usb, 0x01, b, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(WinUsb_ReadPipe(usb, 0x83, b, 4, &n, nullptr));  // interrupt endpoint
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(WinUsb_WritePipe(usb, 0x02, b, 4, &n, nullptr));  // no such endpoint
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // Closing the device handle ends the transfers of its interface.
  CloseHandle(dev);
  EXPECT_FALSE(WinUsb_WritePipe(usb, 0x01, b, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  WinUsb_Free(usb);
}

TEST_F(WinUsbTest, ReadReturnsOneReadsWorthAndPeerHangUpIsDeviceRemoved) {
  SetHostProfile(profile_);
  Peer peer(socket_path_);
  peer.SendAndHangUp({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  HANDLE dev = OpenDevice();
  WINUSB_INTERFACE_HANDLE usb = nullptr;
  ASSERT_TRUE(WinUsb_Initialize(dev, &usb));
  peer.Join();  // the ten bytes are queued and the peer is gone
  uint8_t buf[64] = {};
  ULONG got = 0;
  ASSERT_TRUE(WinUsb_ReadPipe(usb, 0x81, buf, 4, &got, nullptr));  // up to the length
  EXPECT_EQ(got, 4u);
  ASSERT_TRUE(WinUsb_ReadPipe(usb, 0x81, buf, sizeof buf, &got, nullptr));
  EXPECT_EQ(got, 6u);
  EXPECT_EQ(buf[0], 5);
  EXPECT_FALSE(WinUsb_ReadPipe(usb, 0x81, buf, sizeof buf, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
  EXPECT_EQ(got, 0u);
  ULONG sent = 0;
  EXPECT_FALSE(WinUsb_WritePipe(usb, 0x01, buf, sizeof buf, &sent, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
  WinUsb_Free(usb);
  CloseHandle(dev);
}

TEST_F(WinUsbTest, OnlyWinUsbDeviceHandlesInitialize) {
  TempDir files;
  testing_support::WriteFileBytes(files.File("plain"), {1, 2, 3});
  SetHostProfile(profile_);
  HANDLE file = CreateFileA(files.File("plain").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  WINUSB_INTERFACE_HANDLE usb = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(1);
  EXPECT_FALSE(WinUsb_Initialize(file, &usb));
  EXPECT_EQ(usb, nullptr);
  CloseHandle(file);
  EXPECT_FALSE(WinUsb_Initialize(file, &usb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(WinUsb_Initialize(INVALID_HANDLE_VALUE, &usb));

  // The WinUSB device opened without FILE_FLAG_OVERLAPPED; with it, file transfers need an OVERLAPPED
  // record, which this layer does not have.
  SetHostProfile(profile_);
  {
    Peer peer(socket_path_);
    peer.Echo();
    HANDLE dev = OpenDevice(0);
    EXPECT_FALSE(WinUsb_Initialize(dev, &usb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(usb, nullptr);
    CloseHandle(dev);
  }
  {
    Peer peer(socket_path_);
    peer.Echo();
    HANDLE dev = OpenDevice();
    uint8_t b[4] = {};
    DWORD n = 7;
    EXPECT_FALSE(WriteFile(dev, b, sizeof b, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(ReadFile(dev, b, sizeof b, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(dev);
  }

  // The device interface itself can say it has no WinUSB.
  profile_.interfaces[0].winusb = false;
  SetHostProfile(profile_);
  Peer peer(socket_path_);
  peer.Echo();
  HANDLE dev = OpenDevice();
  EXPECT_FALSE(WinUsb_Initialize(dev, &usb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  CloseHandle(dev);
}
