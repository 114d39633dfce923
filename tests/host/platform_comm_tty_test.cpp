// Comm ports over a pty pair: the test holds the master (the device's end), the layer opens the slave
// as the comm port, exactly as the library opens the virtual handheld.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class PtyPair {
 public:
  PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    slave_path_ = ptsname(master_);
  }
  ~PtyPair() { CloseMaster(); }
  int master() const { return master_; }
  const std::string& slave_path() const { return slave_path_; }
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }
  void Send(const std::vector<uint8_t>& bytes) const {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Whatever reaches the master within `ms`.
  std::vector<uint8_t> Drain(int ms) const {
    std::vector<uint8_t> out;
    for (;;) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, ms) <= 0 || !(p.revents & POLLIN)) return out;
      uint8_t buf[4096];
      ssize_t k = read(master_, buf, sizeof buf);
      if (k <= 0) return out;
      out.insert(out.end(), buf, buf + k);
    }
  }

 private:
  int master_ = -1;
  std::string slave_path_;
};

HANDLE OpenPort(const std::string& path, DWORD share = 0) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

void MakeRaw(HANDLE h) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(h, &dcb));
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  ASSERT_TRUE(SetCommState(h, &dcb));
}

void SetTimeouts(HANDLE h, DWORD read_mult, DWORD read_const, DWORD write_mult = 0, DWORD write_const = 0) {
  COMMTIMEOUTS to{};
  to.ReadTotalTimeoutMultiplier = read_mult;
  to.ReadTotalTimeoutConstant = read_const;
  to.WriteTotalTimeoutMultiplier = write_mult;
  to.WriteTotalTimeoutConstant = write_const;
  ASSERT_TRUE(SetCommTimeouts(h, &to));
}

// The bytes waiting to be read at the port (-1 when the call fails).
long Queued(HANDLE h) {
  COMSTAT stat{};
  return ClearCommError(h, nullptr, &stat) ? static_cast<long>(stat.cbInQue) : -1;
}

// Until at least n bytes wait at the port, within two seconds.
bool WaitForQueued(HANDLE h, long n) {
  const auto start = Clock::now();
  while (Queued(h) < n) {
    if (ElapsedMs(start) > 2000) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class CommTtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(pty_.master(), 0);
    port_ = OpenPort(pty_.slave_path());
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    MakeRaw(port_);
  }
  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
  }
  PtyPair pty_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
};

// Raw binary line: every byte value passes unchanged both ways, nothing is echoed back to the device,
// and the state read back is the one set.
TEST_F(CommTtyTest, RawModeMovesEveryByteUnchangedWithoutEcho) {
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  pty_.Send(all);
  std::vector<uint8_t> got(256);
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(port_, got.data(), 256, &n, nullptr));
  ASSERT_EQ(n, 256u);
  EXPECT_EQ(got, all);
  EXPECT_TRUE(pty_.Drain(50).empty()) << "bytes echoed back to the device";

  std::vector<uint8_t> frame = {'a', '\n', 'b', '\r', '\n', 0x00, 0x11, 0x13, 0x03, 0x7f, 0xff};
  ASSERT_TRUE(WriteFile(port_, frame.data(), static_cast<DWORD>(frame.size()), &n, nullptr));
  EXPECT_EQ(n, frame.size());
  EXPECT_EQ(pty_.Drain(100), frame);

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port_, &dcb));
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fOutX, 0u);
  EXPECT_EQ(dcb.fInX, 0u);

  dcb.BaudRate = 12345;  // no such line speed
  EXPECT_FALSE(SetCommState(port_, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Total read time-out = multiplier x bytes + constant; what came before it is returned with TRUE.
TEST_F(CommTtyTest, ReadTimeoutsReturnWhatArrivedWithSuccess) {
  COMMTIMEOUTS to{};
  to.ReadIntervalTimeout = 0;
  to.ReadTotalTimeoutConstant = 120;
  ASSERT_TRUE(SetCommTimeouts(port_, &to));
  COMMTIMEOUTS back{};
  ASSERT_TRUE(GetCommTimeouts(port_, &back));
  EXPECT_EQ(back.ReadIntervalTimeout, 0u);
  EXPECT_EQ(back.ReadTotalTimeoutConstant, 120u);

  pty_.Send({1, 2, 3});
  uint8_t buf[10] = {};
  DWORD n = 99;
  auto start = Clock::now();
  ASSERT_TRUE(ReadFile(port_, buf, 10, &n, nullptr));
  long took = ElapsedMs(start);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(buf[2], 3);
  EXPECT_GE(took, 100);
  EXPECT_LT(took, 2000);

  // Multiplier only: 4 bytes x 30 ms.
  SetTimeouts(port_, 30, 0);
  start = Clock::now();
  ASSERT_TRUE(ReadFile(port_, buf, 4, &n, nullptr));
  took = ElapsedMs(start);
  EXPECT_EQ(n, 0u);
  EXPECT_GE(took, 110);
  EXPECT_LT(took, 2000);

  // Bytes already there end the read at once, time-out or not.
  pty_.Send({9, 8, 7, 6});
  start = Clock::now();
  ASSERT_TRUE(ReadFile(port_, buf, 4, &n, nullptr));
  EXPECT_EQ(n, 4u);
  EXPECT_LT(ElapsedMs(start), 1000);
}

// The interval time-out starts with the first byte: a gap that long ends the read with what came, long
// before the total; with no total the first byte is waited for without limit.
TEST_F(CommTtyTest, TheIntervalTimeOutEndsAReadAtAGapBetweenBytes) {
  COMMTIMEOUTS to{};
  to.ReadIntervalTimeout = 20;
  to.ReadTotalTimeoutConstant = 1500;
  ASSERT_TRUE(SetCommTimeouts(port_, &to));
  pty_.Send({1, 2, 3});
  uint8_t buf[10] = {};
  DWORD n = 0;
  auto start = Clock::now();
  ASSERT_TRUE(ReadFile(port_, buf, 10, &n, nullptr));
  EXPECT_EQ(n, 3u);
  EXPECT_LT(ElapsedMs(start), 1000);

  to.ReadTotalTimeoutConstant = 0;
  ASSERT_TRUE(SetCommTimeouts(port_, &to));
  std::thread device([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    pty_.Send({4, 5});
  });
  start = Clock::now();
  ASSERT_TRUE(ReadFile(port_, buf, 10, &n, nullptr));
  const long took = ElapsedMs(start);
  device.join();
  EXPECT_EQ(n, 2u);
  EXPECT_GE(took, 100);
  EXPECT_EQ(buf[0], 4);
}

// All time-outs zero: the read waits for every byte, however they trickle in.
TEST_F(CommTtyTest, ZeroTimeoutsWaitForEveryByte) {
  SetTimeouts(port_, 0, 0);
  std::thread device([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    pty_.Send({'A', 'B'});
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    pty_.Send({'C', 'D', 'E'});
  });
  uint8_t buf[5] = {};
  DWORD n = 0;
  BOOL ok = ReadFile(port_, buf, 5, &n, nullptr);
  device.join();
  ASSERT_TRUE(ok);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "ABCDE");
}

// A read without time-outs waits in read() itself; reads and writes with time-outs afterwards must still
// end at their deadlines rather than block with it.
TEST_F(CommTtyTest, TimeOutsStillHoldAfterAReadThatWaitedWithout) {
  SetTimeouts(port_, 0, 0);
  pty_.Send({1, 2, 3, 4});
  uint8_t buf[4] = {};
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(port_, buf, 4, &n, nullptr));
  EXPECT_EQ(n, 4u);

  SetTimeouts(port_, 0, 80, 0, 80);
  auto start = Clock::now();
  ASSERT_TRUE(ReadFile(port_, buf, 4, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_LT(ElapsedMs(start), 2000);

  // Nobody reads the master: the line fills up, and the write returns with what went out.
  std::vector<uint8_t> big(1 << 20, 0x55);
  start = Clock::now();
  WriteFile(port_, big.data(), static_cast<DWORD>(big.size()), &n, nullptr);
  EXPECT_LT(n, big.size());
  EXPECT_LT(ElapsedMs(start), 2000);
}

// The device's end closing (a pty whose master goes) is a failure, not a time-out: ReadFile, WriteFile
// and WaitCommEvent report ERROR_DEVICE_REMOVED, also for a read already waiting when it happens.
TEST_F(CommTtyTest, HangUpIsReportedAsDeviceRemoved) {
  SetTimeouts(port_, 0, 0);
  std::thread device([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pty_.Send({0x42});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pty_.CloseMaster();
  });
  uint8_t buf[8] = {};
  DWORD n = 0;
  BOOL ok = ReadFile(port_, buf, 8, &n, nullptr);
  DWORD err = GetLastError();
  device.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(err, static_cast<DWORD>(ERROR_DEVICE_REMOVED));
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(buf[0], 0x42);

  // With time-outs set, a gone device still fails rather than timing out with 0 bytes.
  SetTimeouts(port_, 10, 10, 10, 10);
  SetLastError(0);
  EXPECT_FALSE(ReadFile(port_, buf, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
  SetLastError(0);
  EXPECT_FALSE(WriteFile(port_, buf, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  DWORD mask = 77;
  SetLastError(0);
  EXPECT_FALSE(WaitCommEvent(port_, &mask, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
}

TEST_F(CommTtyTest, WaitCommEventEndsWhenAByteArrivesAndLeavesItToRead) {
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  std::thread device([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    pty_.Send({0x5a});
  });
  DWORD mask = 0;
  auto start = Clock::now();
  BOOL ok = WaitCommEvent(port_, &mask, nullptr);
  long took = ElapsedMs(start);
  device.join();
  ASSERT_TRUE(ok);
  EXPECT_EQ(mask, EV_RXCHAR);
  EXPECT_GE(took, 40);
  SetTimeouts(port_, 0, 100);
  uint8_t b = 0;
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(port_, &b, 1, &n, nullptr));
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(b, 0x5a);

  // Nothing armed: the wait could never end, so it fails at once.
  ASSERT_TRUE(SetCommMask(port_, 0));
  EXPECT_FALSE(WaitCommEvent(port_, &mask, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// EV_RXCHAR is an edge, as on Windows: bytes already queued when the mask is set, or when the last event
// was reported, do not end a wait (it has no time-out); a byte that arrives afterwards does, also one that
// came before the wait began. Each wait here is ended by a byte the device sends later, if not before.
TEST_F(CommTtyTest, WaitCommEventEndsOnBytesArrivingAfterTheMaskOrTheLastEvent) {
  // How long a wait took, with the device sending `byte` after `sendAfterMs`.
  auto waitMs = [&](uint8_t byte, int sendAfterMs, DWORD* mask) {
    std::thread device([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(sendAfterMs));
      pty_.Send({byte});
    });
    *mask = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(WaitCommEvent(port_, mask, nullptr));
    const long took = ElapsedMs(start);
    device.join();
    return took;
  };
  DWORD mask = 0;
  pty_.Send({1, 2, 3});
  ASSERT_TRUE(WaitForQueued(port_, 3));
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  EXPECT_GE(waitMs(4, 150, &mask), 100) << "bytes queued before the mask ended the wait";
  EXPECT_EQ(mask, EV_RXCHAR);
  ASSERT_TRUE(WaitForQueued(port_, 4));
  EXPECT_GE(waitMs(5, 150, &mask), 100) << "bytes already reported ended the wait";
  EXPECT_EQ(mask, EV_RXCHAR);

  // Reads only take bytes away: a wait after them still waits for a new byte.
  ASSERT_TRUE(WaitForQueued(port_, 5));
  SetTimeouts(port_, 0, 100);
  uint8_t buf[8] = {};
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(port_, buf, 2, &n, nullptr));
  ASSERT_EQ(n, 2u);
  EXPECT_GE(waitMs(6, 150, &mask), 100);

  // A byte that arrived after the last event, before the wait began: the wait ends at once.
  pty_.Send({7});
  ASSERT_TRUE(WaitForQueued(port_, 5));
  EXPECT_LT(waitMs(8, 300, &mask), 200);
  EXPECT_EQ(mask, EV_RXCHAR);

  // Setting the mask again forgets that event.
  ASSERT_TRUE(WaitForQueued(port_, 6));
  pty_.Send({9});
  ASSERT_TRUE(WaitForQueued(port_, 7));
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  EXPECT_GE(waitMs(10, 150, &mask), 100);
  ASSERT_TRUE(WaitForQueued(port_, 8));
  ASSERT_TRUE(ReadFile(port_, buf, 8, &n, nullptr));
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + n), (std::vector<uint8_t>{3, 4, 5, 6, 7, 8, 9, 10}));

  // Fewer bytes than the last event saw, arriving after a read emptied the queue: an arrival all the
  // same (a read waiting for the rest of a frame would otherwise wait for a byte that never comes).
  pty_.Send({11, 12});
  ASSERT_TRUE(WaitForQueued(port_, 2));
  EXPECT_LT(waitMs(13, 300, &mask), 200);
  // And after a purge of what was queued when the mask was set.
  ASSERT_TRUE(WaitForQueued(port_, 3));
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR));
  pty_.Send({14});
  ASSERT_TRUE(WaitForQueued(port_, 1));
  EXPECT_LT(waitMs(15, 300, &mask), 200);
}

// ClearCommError counts the bytes waiting, leaves them to be read, and has no line errors to report.
TEST_F(CommTtyTest, ClearCommErrorCountsTheBytesWaiting) {
  DWORD errors = 77;
  COMSTAT stat{};
  stat.cbInQue = 77;
  ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(stat.cbInQue, 0u);
  EXPECT_EQ(stat.cbOutQue, 0u);
  EXPECT_TRUE(ClearCommError(port_, nullptr, nullptr));
  pty_.Send({1, 2, 3, 4, 5});
  ASSERT_TRUE(WaitForQueued(port_, 5));
  EXPECT_EQ(Queued(port_), 5);
  SetTimeouts(port_, 0, 100);
  uint8_t buf[5] = {};
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(port_, buf, 2, &n, nullptr));
  EXPECT_EQ(Queued(port_), 3);
  ASSERT_TRUE(ReadFile(port_, buf, 3, &n, nullptr));
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 3), (std::vector<uint8_t>{3, 4, 5}));
  EXPECT_EQ(Queued(port_), 0);
  // What the port wrote and the other end has not read is in that end's input, not in a transmit queue.
  const uint8_t out[300] = {};
  ASSERT_TRUE(WriteFile(port_, out, sizeof out, &n, nullptr));
  ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
  EXPECT_EQ(stat.cbOutQue, 0u);
  EXPECT_EQ(stat.cbInQue, 0u);
}

TEST_F(CommTtyTest, PurgeDropsQueuedReceiveBytes) {
  pty_.Send({1, 2, 3, 4, 5, 6});
  ASSERT_TRUE(WaitForQueued(port_, 6));
  ASSERT_TRUE(PurgeComm(port_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
  SetTimeouts(port_, 0, 80);
  uint8_t buf[6];
  DWORD n = 9;
  ASSERT_TRUE(ReadFile(port_, buf, 6, &n, nullptr));
  EXPECT_EQ(n, 0u);
  // What comes after the purge is read normally.
  pty_.Send({7});
  ASSERT_TRUE(ReadFile(port_, buf, 1, &n, nullptr));
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(buf[0], 7);
  EXPECT_FALSE(PurgeComm(port_, 0x100));
}

// A write that has returned has been sent, as a synchronous write on Windows completes only once the
// driver has sent it: a transmit purge right after it drops none of its bytes (the bootloader would
// otherwise wait for ever for an acknowledgement the host believes it sent).
TEST_F(CommTtyTest, ATransmitPurgeDropsNothingAWriteHasSent) {
  const uint8_t ack[4] = {0, 1, 2, 3};
  DWORD n = 0;
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(WriteFile(port_, ack, sizeof ack, &n, nullptr));
    ASSERT_TRUE(PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR));
  }
  EXPECT_EQ(pty_.Drain(200).size(), 300u * sizeof ack);
}

// A comm port opened without sharing cannot be opened a second time until it is closed.
TEST_F(CommTtyTest, ExclusiveOpenRefusesASecondOpener) {
  SetLastError(0);
  HANDLE second = OpenPort(pty_.slave_path());
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  HANDLE shared = OpenPort(pty_.slave_path(), FILE_SHARE_READ | FILE_SHARE_WRITE);
  EXPECT_EQ(shared, INVALID_HANDLE_VALUE) << "a shared open must not slip past an exclusive one";
  ASSERT_TRUE(CloseHandle(port_));
  port_ = OpenPort(pty_.slave_path());
  ASSERT_NE(port_, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(CloseHandle(nullptr));
}

TEST(CommOnOtherHandles, FilesAndStaleHandlesHaveNoSerialLine) {
  testing_support::TempDir dir;
  std::string path = dir.File("plain.bin");
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  DCB dcb{};
  EXPECT_FALSE(GetCommState(f, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  COMMTIMEOUTS to{};
  EXPECT_FALSE(SetCommTimeouts(f, &to));
  EXPECT_FALSE(PurgeComm(f, PURGE_RXCLEAR));
  COMSTAT stat{};
  DWORD errors = 0;
  SetLastError(0);
  EXPECT_FALSE(ClearCommError(f, &errors, &stat));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  ASSERT_TRUE(CloseHandle(f));
  SetLastError(0);
  EXPECT_FALSE(ClearCommError(f, &errors, &stat));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(GetCommState(f, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(f));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
