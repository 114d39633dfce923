// Threads over pthreads. A thread handle stays valid, and can be waited on and asked for its exit
// code, until it is closed, also after the thread has ended; closing it while the thread runs leaves the
// thread running. Every thread is detached from its start, as a Windows thread needs no join: waiting
// goes through the thread's own record, and a handle the caller never closes (a process may well end
// with one open) holds no ended thread that would have to be joined.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "clock.h"
#include "handles.h"
#include "posix_io.h"
#include "thread_faults.h"

namespace w32sim {
namespace {

std::atomic<uint32_t> g_thread_failures{0};

struct ThreadState {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  DWORD exit_code = STILL_ACTIVE;
  LPTHREAD_START_ROUTINE routine = nullptr;
  LPVOID parameter = nullptr;
  DWORD id = 0;
};

struct ThreadObject : Object {
  std::shared_ptr<ThreadState> state;

  BOOL Close() override { return TRUE; }  // the thread is detached from its start: nothing to free
};

std::atomic<DWORD> g_next_thread_id{1000};
// This thread's id: the one CreateThread gave it, or one given on the first GetCurrentThreadId of a
// thread made otherwise (the process's first thread, a std::thread). Never 0, as on Windows.
thread_local DWORD t_thread_id = 0;

void* ThreadMain(void* arg) {
  // The thread owns a reference of its own, so the state outlives a handle closed early.
  std::shared_ptr<ThreadState> state(*static_cast<std::shared_ptr<ThreadState>*>(arg));
  delete static_cast<std::shared_ptr<ThreadState>*>(arg);
  t_thread_id = state->id;
  DWORD code = state->routine(state->parameter);
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->exit_code = code;
    state->done = true;
  }
  state->done_cv.notify_all();
  return nullptr;
}

}  // namespace

void FailThreadCreations(uint32_t count) { g_thread_failures.store(count); }

}  // namespace w32sim

using w32sim::ThreadObject;
using w32sim::ThreadState;

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId) {
  if (!lpStartAddress) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  for (uint32_t left = w32sim::g_thread_failures.load(); left > 0;) {
    if (w32sim::g_thread_failures.compare_exchange_weak(left, left - 1)) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  }
  auto state = std::make_shared<ThreadState>();
  state->routine = lpStartAddress;
  state->parameter = lpParameter;
  state->id = w32sim::g_next_thread_id.fetch_add(1);
  auto object = std::make_shared<ThreadObject>();
  object->state = state;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (dwStackSize != 0) pthread_attr_setstacksize(&attr, std::max<SIZE_T>(dwStackSize, 64 * 1024));
  auto* arg = new std::shared_ptr<ThreadState>(state);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread{};
  int rc = pthread_create(&thread, &attr, w32sim::ThreadMain, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete arg;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;  // CreateThread gives null, not INVALID_HANDLE_VALUE, on failure
  }
  if (lpThreadId) *lpThreadId = state->id;
  return w32sim::RegisterObject(object);
}

DWORD WINAPI GetCurrentThreadId(void) {
  if (w32sim::t_thread_id == 0) w32sim::t_thread_id = w32sim::g_next_thread_id.fetch_add(1);
  return w32sim::t_thread_id;
}

// Waits for a thread to end. A finite time-out runs on the layer's clock, like Sleep.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  auto obj = w32sim::Lookup<ThreadObject>(hHandle);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  ThreadState& s = *obj->state;
  std::unique_lock<std::mutex> lock(s.mutex);
  if (dwMilliseconds == INFINITE) {
    s.done_cv.wait(lock, [&] { return s.done; });
    return WAIT_OBJECT_0;
  }
  const uint64_t deadline = w32sim::VirtualMilliseconds() + dwMilliseconds;
  while (!s.done) {
    uint64_t now = w32sim::VirtualMilliseconds();
    if (now >= deadline) return WAIT_TIMEOUT;
    double real_ms = std::min(static_cast<double>(deadline - now) / w32sim::ClockScale(), 20.0);
    s.done_cv.wait_for(lock, std::chrono::duration<double, std::milli>(std::max(real_ms, 0.05)));
  }
  return WAIT_OBJECT_0;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto obj = w32sim::Lookup<ThreadObject>(hThread);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!lpExitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(obj->state->mutex);
  *lpExitCode = obj->state->exit_code;
  return TRUE;
}

}  // extern "C"
