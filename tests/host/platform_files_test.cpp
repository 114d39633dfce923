// CreateFileA and the transfers on files, on names the host profile maps to devices (a tty port, the
// WinUSB socket), and the last-error codes the library looks at.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/posix/host_profile.h"
#include "platform/win32.h"
#include "test_support.h"

namespace {

using testing_support::TempDir;

HANDLE Open(const std::string& path, DWORD access, DWORD disposition, DWORD share = 0) {
  return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(Files, DispositionsAndTheirErrors) {
  TempDir dir;
  std::string path = dir.File("img.bin");
  SetLastError(0);
  EXPECT_EQ(Open(path, GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Open(dir.File("no/such/dir.bin"), GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Open(dir.path(), GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);

  HANDLE h = Open(path, GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr));
  EXPECT_EQ(n, 10u);
  char c;
  EXPECT_FALSE(ReadFile(h, &c, 1, &n, nullptr)) << "no read access";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ(Open(path, GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

  h = Open(path, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD high = 7;
  EXPECT_EQ(GetFileSize(h, &high), 10u);
  EXPECT_EQ(high, 0u);
  char buf[16] = {};
  ASSERT_TRUE(ReadFile(h, buf, 16, &n, nullptr));  // short at the end of the file: still a success
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(std::string(buf, 10), "0123456789");
  ASSERT_TRUE(ReadFile(h, buf, 16, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr)) << "no write access";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // Files are never exclusive here: a second reader gets in.
  HANDLE second = Open(path, GENERIC_READ, OPEN_EXISTING);
  EXPECT_NE(second, INVALID_HANDLE_VALUE);
  CloseHandle(second);
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_FALSE(ReadFile(h, buf, 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(GetFileSize(h, nullptr), INVALID_FILE_SIZE);

  h = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(GetFileSize(h, nullptr), 0u) << "CREATE_ALWAYS truncates";
  CloseHandle(h);
}

// A stand-in for the virtual handheld's WinUSB end: a listening Unix socket named by a device
// interface of the host profile.
class SocketDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_path_ = dir_.File("winusb.sock");
    listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener_, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_path_.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener_, 4), 0);
    w32sim::HostProfile profile;
    profile.major_version = 6;
    w32sim::DeviceInterface itf;
    itf.path = kPath;
    itf.opens = "socket:" + socket_path_;
    profile.interfaces.push_back(itf);
    w32sim::SetHostProfile(profile);
  }
  void TearDown() override {
    if (peer_ >= 0) close(peer_);
    close(listener_);
    w32sim::SetHostProfile(w32sim::HostProfile{});
  }
  HANDLE OpenDevice() {
    HANDLE h = Open(kPath, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    if (h != INVALID_HANDLE_VALUE) peer_ = accept(listener_, nullptr, nullptr);
    return h;
  }
  static constexpr const char* kPath = "\\\\?\\usb#vid_0e1f&pid_4505#0001#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}";
  TempDir dir_;
  std::string socket_path_;
  int listener_ = -1;
  int peer_ = -1;
};

TEST_F(SocketDeviceTest, BytesMoveBothWaysAndTheSerialCallsFail) {
  HANDLE h = OpenDevice();
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  ASSERT_GE(peer_, 0);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "FF112246", 8, &n, nullptr));
  EXPECT_EQ(n, 8u);
  char buf[8] = {};
  ASSERT_EQ(read(peer_, buf, 8), 8);
  EXPECT_EQ(std::string(buf, 8), "FF112246");
  ASSERT_EQ(write(peer_, "\0\0\0\0", 4), 4);
  ASSERT_TRUE(ReadFile(h, buf, 4, &n, nullptr));
  EXPECT_EQ(n, 4u);

  DCB dcb{};
  EXPECT_FALSE(GetCommState(h, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_FALSE(SetCommState(h, &dcb));
  COMMTIMEOUTS to{};
  EXPECT_FALSE(SetCommTimeouts(h, &to));

  // Opened without sharing: a second open of the same device is refused until the first is closed.
  EXPECT_EQ(Open(kPath, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  ASSERT_TRUE(CloseHandle(h));
  close(peer_);
  peer_ = -1;
  h = OpenDevice();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
}

// The handheld vanishing is a failure of the transfer, never a signal that kills the process.
TEST_F(SocketDeviceTest, APeerThatClosedIsADeviceRemoved) {
  HANDLE h = OpenDevice();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  close(peer_);
  peer_ = -1;
  char buf[4];
  DWORD n = 9;
  EXPECT_FALSE(ReadFile(h, buf, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
  EXPECT_EQ(n, 0u);
  std::string frame(1520, 'x');
  BOOL ok = TRUE;
  for (int i = 0; i < 4 && ok; ++i) ok = WriteFile(h, frame.data(), 1520, &n, nullptr);
  EXPECT_FALSE(ok);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
  CloseHandle(h);
}

TEST_F(SocketDeviceTest, NoListenerAndUnknownNamesAreNotFound) {
  close(listener_);
  unlink(socket_path_.c_str());
  listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
  EXPECT_EQ(Open(kPath, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  TempDir cwd;
  testing_support::ScopedChdir in(cwd.path());
  EXPECT_EQ(Open("COM7", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// The master of a new pty whose slave can be opened; -1 when there is none.
int OpenPtyMaster() {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master >= 0 && (grantpt(master) != 0 || unlockpt(master) != 0)) {
    close(master);
    return -1;
  }
  return master;
}

// A port name of the "Ports" device opens the tty the profile maps it to, as a comm port.
TEST(PortNames, APortNameOpensItsTtyAsACommPort) {
  const int master = OpenPtyMaster();
  ASSERT_GE(master, 0);
  w32sim::HostProfile profile;
  w32sim::PortDevice port;
  port.portname = "COM7";
  port.symbolic_name = "\\??\\USB#Vid_0e1f&Pid_4505#0001#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
  port.opens = ptsname(master);
  profile.ports.push_back(port);
  w32sim::SetHostProfile(profile);
  HANDLE h = Open("COM7", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  EXPECT_TRUE(GetCommState(h, &dcb));
  EXPECT_EQ(Open("com7", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(h);
  close(master);
  w32sim::SetHostProfile(w32sim::HostProfile{});
}

// As on Windows, COM10 and up are opened as "\\.\COM12" only; the bare name is a file name.
TEST(PortNames, PortsAboveNineAnswerOnlyToTheDeviceNamespace) {
  const int master = OpenPtyMaster();
  ASSERT_GE(master, 0);
  w32sim::HostProfile profile;
  for (const char* name : {"COM7", "COM12"}) {
    w32sim::PortDevice port;
    port.portname = name;
    port.opens = ptsname(master);
    profile.ports.push_back(port);
  }
  w32sim::SetHostProfile(profile);
  TempDir cwd;
  testing_support::ScopedChdir in(cwd.path());
  EXPECT_EQ(Open("COM12", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  for (const char* name : {"\\\\.\\COM12", "\\\\.\\COM7", "COM7"}) {
    HANDLE h = Open(name, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << name << ": " << GetLastError();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(h, &dcb)) << name;  // the tty, as a comm port
    CloseHandle(h);
  }
  close(master);
  w32sim::SetHostProfile(w32sim::HostProfile{});
}

}  // namespace
