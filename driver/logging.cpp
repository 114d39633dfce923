// The diagnostic log "logfile.txt": LogPrintf, and the log a per-packet loop holds open.
#include "logging.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

namespace {

constexpr const char* kLogFile = "logfile.txt";
// A held log's waiting lines are appended once they come to this many bytes, or once the oldest of them
// is this old (on the platform clock) when another is added.
constexpr size_t kHeldBatchBytes = 4096;
constexpr DWORD kHeldBatchMs = 1000;
// An entry is formatted on the stack when it fits, on the heap otherwise.
constexpr size_t kEntryRoom = 512;

// The log held open by a HeldLog. One thread at a time holds it (`dwThread`, 0: none); only that thread
// adds lines, but every other thread's entry first appends the waiting ones, so `busy` keeps the file
// and its waiting lines to one thread at a time. (The thread id rather than a thread-local variable: a
// DLL's thread-local data is not dependable on every Windows the library loads on. A spin lock rather
// than a mutex: it is free but for the moment another thread's entry meets the holder's.)
struct HeldLogFile {
  std::atomic<DWORD> dwThread{0};
  std::atomic_flag busy = ATOMIC_FLAG_INIT;
  FILE* file = nullptr;  // binary and unbuffered: the lines are kept in text-mode form here
  std::string waiting;   // whole lines, each line feed already CR LF
  DWORD dwOldestTick = 0;
};
HeldLogFile g_held;

class HeldLogLock {
 public:
  HeldLogLock() {
    while (g_held.busy.test_and_set(std::memory_order_acquire)) Sleep(0);
  }
  ~HeldLogLock() { g_held.busy.clear(std::memory_order_release); }
  HeldLogLock(const HeldLogLock&) = delete;
  HeldLogLock& operator=(const HeldLogLock&) = delete;
};

// Text mode: every line feed of the entry is stored as CR LF. Shared, so that entries of the other
// threads and processes are appended at the then end of the file.
FILE* OpenLog() { return _fsopen(kLogFile, "at", _SH_DENYNO); }

// Appends the held log's waiting lines, in one write. Under HeldLogLock.
void AppendWaitingLines() {
  if (g_held.waiting.empty() || g_held.file == nullptr) return;
  std::fwrite(g_held.waiting.data(), 1, g_held.waiting.size(), g_held.file);
  g_held.waiting.clear();
}

// Adds an entry to the held log's waiting lines as text mode would store it, and appends them when they
// are due.
void AddHeldLine(const char* entry, size_t length) {
  const HeldLogLock lock;
  if (g_held.waiting.empty()) g_held.dwOldestTick = GetTickCount();
  for (size_t i = 0; i < length; ++i) {
    if (entry[i] == '\n') g_held.waiting.push_back('\r');
    g_held.waiting.push_back(entry[i]);
  }
  g_held.waiting.append("\r\n");
  if (g_held.waiting.size() >= kHeldBatchBytes || GetTickCount() - g_held.dwOldestTick >= kHeldBatchMs) {
    AppendWaitingLines();
  }
}

// Formats an entry for the held log: on the stack when it fits, else on the heap from a copy of the
// arguments (the first pass used them up).
void LogHeld(const char* format, va_list args) {
  char entry[kEntryRoom];
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(entry, sizeof entry, format, args);
  const char* text = length >= 0 ? entry : nullptr;
  std::unique_ptr<char[]> long_entry;
  if (length >= 0 && static_cast<size_t>(length) >= sizeof entry) {
    long_entry.reset(new (std::nothrow) char[static_cast<size_t>(length) + 1]);
    if (long_entry) std::vsnprintf(long_entry.get(), static_cast<size_t>(length) + 1, format, again);
    text = long_entry.get();
  }
  va_end(again);
  if (text != nullptr) AddHeldLine(text, static_cast<size_t>(length));
}

}  // namespace

HeldLog::HeldLog() {
  DWORD dwFree = 0;
  if (!g_held.dwThread.compare_exchange_strong(dwFree, GetCurrentThreadId())) return;  // held already
  FILE* file = _fsopen(kLogFile, "ab", _SH_DENYNO);
  if (file == nullptr) {
    g_held.dwThread.store(0);
    return;
  }
  // Unbuffered: each append of the waiting lines is one write of all of them.
  std::setvbuf(file, nullptr, _IONBF, 0);
  const HeldLogLock lock;
  g_held.waiting.reserve(kHeldBatchBytes + kEntryRoom);
  g_held.file = file;
  opened_ = true;
}

HeldLog::~HeldLog() {
  if (!opened_) return;
  {
    const HeldLogLock lock;
    AppendWaitingLines();
    std::fclose(g_held.file);
    g_held.file = nullptr;
    std::string().swap(g_held.waiting);
  }
  g_held.dwThread.store(0);
}

void LogPrintf(const char* format, ...) {
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  const DWORD dwHolder = g_held.dwThread.load();
  if (dwHolder != 0 && dwHolder == GetCurrentThreadId() && g_held.file != nullptr) {
    LogHeld(format, args);
    va_end(args);
    return;
  }
  if (dwHolder != 0) {
    // The holder's lines so far come first.
    const HeldLogLock lock;
    AppendWaitingLines();
  }
  FILE* log = OpenLog();
  if (log != nullptr) {
    vfprintf(log, format, args);
    fputc('\n', log);
    fclose(log);
  }
  va_end(args);
}
