// The layer under concurrent use, as the library's worker and application threads use it: the handle
// table, the clock, comm settings changed while another thread transfers, and thread handles waited
// on from several threads. Run under ThreadSanitizer too.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/clock.h"
#include "platform/win32.h"
#include "test_support.h"

namespace {

TEST(PlatformConcurrency, HandlesOpenedAndClosedFromManyThreadsStayDistinct) {
  testing_support::TempDir dir;
  std::string path = dir.File("f.bin");
  testing_support::WriteFileBytes(path, {1, 2, 3});
  std::vector<std::vector<uintptr_t>> seen(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) continue;
        seen[t].push_back(reinterpret_cast<uintptr_t>(h));
        uint8_t b[3];
        DWORD n = 0;
        if (!ReadFile(h, b, 3, &n, nullptr) || n != 3) seen[t].push_back(0);
        CloseHandle(h);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<uintptr_t> all;
  size_t total = 0;
  for (auto& v : seen) {
    for (uintptr_t h : v) {
      EXPECT_NE(h, 0u) << "a read failed";
      all.insert(h);
      ++total;
    }
  }
  EXPECT_EQ(total, 800u);
  EXPECT_EQ(all.size(), total) << "a handle number was given out twice";
}

TEST(PlatformConcurrency, TickCountStaysMonotoneWhileTheScaleChanges) {
  std::atomic<bool> stop{false};
  std::atomic<int> backwards{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      uint64_t last = 0;
      while (!stop) {
        uint64_t now = w32sim::VirtualMilliseconds();
        if (now < last) backwards++;
        last = now;
      }
    });
  }
  for (int i = 0; i < 300; ++i) w32sim::SetClockScale((i % 3) == 0 ? 1000.0 : (i % 3) == 1 ? 1.0 : 0.25);
  stop = true;
  for (auto& th : readers) th.join();
  w32sim::SetClockScale(1);
  EXPECT_EQ(backwards, 0);
}

// The application thread sets time-outs and purges while the worker reads and writes the same port.
TEST(PlatformConcurrency, CommSettingsChangeWhileTransfersRun) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  HANDLE port = CreateFileA(ptsname(master), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.BaudRate = CBR_115200;
  ASSERT_TRUE(SetCommState(port, &dcb));
  COMMTIMEOUTS to{};
  to.ReadTotalTimeoutConstant = 5;
  to.WriteTotalTimeoutConstant = 50;
  ASSERT_TRUE(SetCommTimeouts(port, &to));

  std::atomic<bool> stop{false};
  std::thread worker([&] {
    uint8_t buf[64] = {};
    DWORD n = 0;
    while (!stop) {
      WriteFile(port, buf, 16, &n, nullptr);
      ReadFile(port, buf, 64, &n, nullptr);
    }
  });
  std::thread device([&] {
    uint8_t buf[256];
    while (!stop) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      ssize_t k = read(master, buf, sizeof buf);  // drain what the worker writes, answer half of it
      if (k > 0) (void)!write(master, buf, static_cast<size_t>(k) / 2);
    }
  });
  for (int i = 0; i < 200; ++i) {
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutConstant = 1 + i % 5;
    t.WriteTotalTimeoutConstant = 50;
    EXPECT_TRUE(SetCommTimeouts(port, &t));
    EXPECT_TRUE(SetCommMask(port, EV_RXCHAR));
    if (i % 20 == 0) {
      EXPECT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    }
    COMMTIMEOUTS back{};
    EXPECT_TRUE(GetCommTimeouts(port, &back));
  }
  stop = true;
  worker.join();
  device.join();
  close(master);
  CloseHandle(port);
}

DWORD WINAPI SleepBriefly(LPVOID) {
  Sleep(20);
  return 7;
}

TEST(PlatformConcurrency, ThreadHandlesWaitedOnFromSeveralThreads) {
  for (int round = 0; round < 10; ++round) {
    HANDLE h = CreateThread(nullptr, 0, SleepBriefly, nullptr, 0, nullptr);
    ASSERT_NE(h, nullptr);
    std::atomic<int> ended{0};
    std::vector<std::thread> waiters;
    for (int w = 0; w < 3; ++w) {
      waiters.emplace_back([&] {
        if (WaitForSingleObject(h, INFINITE) == WAIT_OBJECT_0) ended++;
      });
    }
    for (auto& th : waiters) th.join();
    EXPECT_EQ(ended, 3);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(CloseHandle(h));
  }
}

}  // namespace
