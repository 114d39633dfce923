// Threads: start, wait, exit codes, and what a handle means before and after the thread ends.
#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/posix/clock.h"
#include "platform/win32.h"

namespace {

struct Gate {
  std::atomic<bool> open{false};
  std::atomic<bool> finished{false};
  std::atomic<int> runs{0};
};

DWORD WINAPI WaitAtGate(LPVOID arg) {
  auto* g = static_cast<Gate*>(arg);
  g->runs++;
  while (!g->open) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  g->finished = true;
  return 42;
}

TEST(Threads, HandleWaitsAndReportsTheExitCodeUntilClosed) {
  Gate gate;
  DWORD id = 0;
  HANDLE h = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, &id);
  ASSERT_NE(h, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_NE(id, 0u);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
  gate.open = true;
  EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(gate.runs, 1);
  // The ended thread's handle still answers, as often as asked.
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, 42u);
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(GetExitCodeThread(h, &code));
}

TEST(Threads, ClosingTheHandleOfARunningThreadLetsItRunOn) {
  Gate gate;
  HANDLE h = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, nullptr);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(CloseHandle(h));  // must not wait for the thread
  EXPECT_FALSE(gate.finished);
  gate.open = true;
  for (int i = 0; i < 2000 && !gate.finished; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(gate.finished);
}

// A process may end with the handle of an ended thread still open (the library keeps its last flash
// worker's). No ended thread is then left waiting to be joined: under ThreadSanitizer (the tsan suite)
// such a thread is reported as leaked when the process ends, and the test fails.
TEST(Threads, AnEndedThreadWhoseHandleStaysOpenNeedsNoJoin) {
  Gate gate;
  gate.open = true;
  HANDLE h = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, nullptr);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the thread's own end, past its routine
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, 42u);
}

// A bounded wait runs on the layer's clock, so a sped-up test does not wait in real time.
TEST(Threads, BoundedWaitTimesOutOnTheLayersClock) {
  Gate gate;
  HANDLE h = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, nullptr);
  ASSERT_NE(h, nullptr);
  w32sim::SetClockScale(1000);
  auto start = std::chrono::steady_clock::now();
  uint64_t v0 = w32sim::VirtualMilliseconds();
  EXPECT_EQ(WaitForSingleObject(h, 20000), WAIT_TIMEOUT);
  auto real = std::chrono::steady_clock::now() - start;
  EXPECT_GE(w32sim::VirtualMilliseconds() - v0, 20000u);
  EXPECT_LT(real, std::chrono::seconds(5));
  w32sim::SetClockScale(1);
  gate.open = true;
  EXPECT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
  CloseHandle(h);
}

DWORD WINAPI ReturnParameter(LPVOID arg) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(arg)); }

TEST(Threads, ManyThreadsEachGetTheirOwnParameterAndId) {
  HANDLE h[16];
  DWORD ids[16];
  for (uintptr_t i = 0; i < 16; ++i) {
    h[i] = CreateThread(nullptr, 0, ReturnParameter, reinterpret_cast<LPVOID>(i * 3), 0, &ids[i]);
    ASSERT_NE(h[i], nullptr);
  }
  for (int i = 0; i < 16; ++i) {
    ASSERT_EQ(WaitForSingleObject(h[i], INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(h[i], &code));
    EXPECT_EQ(code, static_cast<DWORD>(i * 3));
    for (int j = 0; j < i; ++j) EXPECT_NE(ids[i], ids[j]);
    CloseHandle(h[i]);
  }
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
}

DWORD WINAPI ReturnOwnId(LPVOID) { return GetCurrentThreadId(); }

TEST(Threads, CurrentThreadIdIsTheOneCreateThreadReported) {
  DWORD reported = 0;
  HANDLE h = CreateThread(nullptr, 0, ReturnOwnId, nullptr, 0, &reported);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
  DWORD own = 0;
  ASSERT_TRUE(GetExitCodeThread(h, &own));
  CloseHandle(h);
  EXPECT_EQ(own, reported);
  // Threads the layer did not make get ids of their own, never 0, the same on every call.
  const DWORD mine = GetCurrentThreadId();
  EXPECT_NE(mine, 0u);
  EXPECT_EQ(GetCurrentThreadId(), mine);
  EXPECT_NE(mine, reported);
  DWORD other = 0;
  std::thread([&other] { other = GetCurrentThreadId(); }).join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, mine);
  EXPECT_NE(other, reported);
}

}  // namespace
