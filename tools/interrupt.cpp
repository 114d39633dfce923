#include "interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <windows.h>
#define DRAVIK_WRITE _write
#define DRAVIK_UNLINK _unlink
#define DRAVIK_RMDIR _rmdir
#define DRAVIK_EXIT _exit
#define DRAVIK_ISATTY _isatty
#else
#include <pthread.h>
#include <unistd.h>
#define DRAVIK_WRITE ::write
#define DRAVIK_UNLINK ::unlink
#define DRAVIK_RMDIR ::rmdir
#define DRAVIK_EXIT ::_exit
#define DRAVIK_ISATTY ::isatty
#endif

namespace dravik_update {

namespace {

// The handler may only read what it finds complete: each path is written with its first byte 0 and
// that byte set last, and `g_armed` says whether the pair is in use at all.
constexpr size_t kPathRoom = 4096;
char g_file[kPathRoom];
char g_dir[kPathRoom];
char g_log[kPathRoom];
std::atomic<bool> g_armed{false};
std::atomic<bool> g_keep_received{false};

// The stages of the step under way, in two tables: the one in use is never written; a new set goes into
// the other, which then becomes the one in use.
constexpr int kMaxStages = 4;
struct StageTable {
  uint64_t log_offset = 0;
  int count = 0;
  InterruptStage stages[kMaxStages];
};
StageTable g_tables[2];
std::atomic<int> g_table{0};

// An interrupt held while a step is let finish: kHoldClosed when none may be held, kHoldOpen while one
// may, else its signal number.
constexpr int kHoldClosed = -1;
constexpr int kHoldOpen = 0;
std::atomic<int> g_held{kHoldClosed};

// Set by the first handler that ends the tool: another signal meanwhile (SIGTERM during SIGINT, on this
// thread or another) does not say it all again.
std::atomic<bool> g_ending{false};

// Where a line the handler starts is to begin on a line of its own: standard output when the progress
// bar is drawn there (its line is open), else standard error when it is a terminal (which has echoed
// "^C"); -1: nowhere.
std::atomic<int> g_line_fd{-1};

void SayOn(int fd, const char* text) {
  size_t n = std::strlen(text);
  while (n > 0) {
    auto w = DRAVIK_WRITE(fd, text, static_cast<unsigned>(n));
    if (w <= 0) return;
    text += w;
    n -= static_cast<size_t>(w);
  }
}

void Say(const char* text) { SayOn(2, text); }

void StartOwnLine() {
  const int fd = g_line_fd.load();
  if (fd >= 0) SayOn(fd, "\n");
}

void CopyPath(char* to, const std::string& path) {
  to[0] = '\0';
  if (path.empty() || path.size() >= kPathRoom) return;
  std::memcpy(to + 1, path.c_str() + 1, path.size());  // the rest and the terminator
  to[0] = path[0];
}

// Whether the file holds anything (stat is safe in a signal handler).
bool HasBytes(const char* path) {
#ifdef _WIN32
  struct _stat st;
  return _stat(path, &st) == 0 && st.st_size > 0;
#else
  struct stat st;
  return ::stat(path, &st) == 0 && st.st_size > 0;
#endif
}

enum class Cleanup { Done, Kept, Absent, NotRemoved };

// What became of the file to remove: removed (or none), kept (it received what must not be lost), not
// there (not made yet, or already moved to its name), or still there (on Windows the library may hold it
// open: it cannot go).
Cleanup RemoveCleanupFiles() {
  Cleanup result = Cleanup::Done;
  if (g_armed.load()) {
    if (g_file[0] != '\0') {
      if (g_keep_received.load() && HasBytes(g_file)) {
        result = Cleanup::Kept;
      } else if (DRAVIK_UNLINK(g_file) != 0) {
        result = errno == ENOENT ? Cleanup::Absent : Cleanup::NotRemoved;
      }
    }
    if (g_dir[0] != '\0') DRAVIK_RMDIR(g_dir);
  }
  return result;
}

void SayNotRemoved() {
  Say("dravik-update: ");
  Say(g_file);
  Say(" could not be removed (the library still has it open): it holds an unfinished backup; delete it\n");
}

// Whether `text` occurs in the `n` bytes at `at`.
bool Holds(const char* at, size_t n, const char* text) {
  const size_t len = std::strlen(text);
  if (len == 0 || len > n) return len == 0;
  for (size_t i = 0; i + len <= n; ++i) {
    if (at[i] == text[0] && std::memcmp(at + i, text, len) == 0) return true;
  }
  return false;
}

// The stage the step had come to: the last one whose text the library's log holds past the offset (read
// with open, read and close alone).
const InterruptStage* CurrentStage() {
  const StageTable& t = g_tables[g_table.load()];
  if (t.count == 0) return nullptr;
  int stage = 0;
  if (t.count > 1 && g_log[0] != '\0') {
#ifdef _WIN32
    const int fd = _open(g_log, _O_RDONLY | _O_BINARY);
#else
    const int fd = ::open(g_log, O_RDONLY | O_CLOEXEC);
#endif
    bool positioned = false;
    if (fd >= 0) {
#ifdef _WIN32
      positioned = _lseeki64(fd, static_cast<__int64>(t.log_offset), SEEK_SET) >= 0;
#else
      positioned = ::lseek(fd, static_cast<off_t>(t.log_offset), SEEK_SET) >= 0;
#endif
    }
    // A text may lie across two reads: the end of one read is kept before the next.
    constexpr size_t kKeep = 256;
    static char buf[kKeep + 16384];  // only one handler reads at a time: g_ending or g_held let it in
    size_t kept = 0;
    bool grew = false;  // the log holds anything of this step
    while (positioned && stage < t.count - 1) {
#ifdef _WIN32
      const int n = _read(fd, buf + kept, 16384);
#else
      const ssize_t n = ::read(fd, buf + kept, 16384);
#endif
      if (n <= 0) break;
      grew = true;
      const size_t have = kept + static_cast<size_t>(n);
      for (int i = stage + 1; i < t.count; ++i) {
        if (t.stages[i].logged != nullptr && Holds(buf, have, t.stages[i].logged)) stage = i;
      }
      kept = have < kKeep ? have : kKeep;
      std::memmove(buf, buf + have - kept, kept);
    }
#ifdef _WIN32
    if (fd >= 0) _close(fd);
#else
    if (fd >= 0) ::close(fd);
#endif
    // A log that took nothing of this step (not writable, a full disk) tells nothing of it either: the
    // furthest stage that ends the tool at once is assumed, whose note warns of the most.
    if (!grew) {
      stage = t.count - 1;
      while (stage > 0 && t.stages[stage].held != nullptr) --stage;
    }
  }
  return &t.stages[stage];
}

// The tool ends now: the partial file goes (or is kept and named), what the step may have left is said,
// and the library's log named.
[[noreturn]] void EndNow(int sig, const InterruptStage* stage) {
  const Cleanup cleanup = RemoveCleanupFiles();
  StartOwnLine();
  Say("dravik-update: interrupted");
  if (stage != nullptr && stage->note != nullptr) {
    Say("; ");
    Say(stage->note);
  }
  Say(".\n");
  if (cleanup == Cleanup::Kept) {
    Say("dravik-update: what the format read back so far is in ");
    Say(g_file);
    Say(": it is the only copy of what the format erased; keep it.\n");
  } else if (cleanup == Cleanup::Done && g_keep_received.load() && g_file[0] != '\0' && stage != nullptr &&
             stage->held != nullptr) {
    Say("dravik-update: nothing of the format's read-back had reached ");
    Say(g_file);
    Say(" yet (it was removed): what the format erased is lost.\n");
  }
  if (cleanup == Cleanup::NotRemoved) SayNotRemoved();
  if (stage != nullptr && stage->advice != nullptr) {
    Say("dravik-update: ");
    Say(stage->advice);
    Say(".\n");
  }
  if (g_log[0] != '\0') {
    Say("dravik-update: the library's log: ");
    Say(g_log);
    Say("\n");
  }
  SayServicesHint();
  DRAVIK_EXIT(ExitCodeOfSignal(sig));
}

// An interrupt: held when the step under way is let finish (true), else the end of the tool.
bool Interrupted(int sig) {
  // Two interrupts at once: the first one decides, the second one arrives after it.
  static std::atomic<bool> deciding{false};
  while (deciding.exchange(true)) {
    if (g_ending.load()) return false;  // the first one ends the tool
  }
  if (g_ending.load()) {
    deciding.store(false);
    return false;
  }
  const InterruptStage* stage = CurrentStage();
  int expected = kHoldOpen;
  if (stage != nullptr && stage->held != nullptr && g_held.compare_exchange_strong(expected, sig)) {
    StartOwnLine();
    Say("dravik-update: interrupted: ");
    Say(stage->held);
    Say("\n");
    deciding.store(false);
    return true;
  }
  g_ending.store(true);
  deciding.store(false);
  EndNow(sig, stage);
}

extern "C" void OnSignal(int sig) {
#ifdef _WIN32
  std::signal(sig, OnSignal);  // Windows puts the default action back before the handler runs
#endif
  const int saved_errno = errno;
  Interrupted(sig);
  errno = saved_errno;
}


}  // namespace

#ifdef _WIN32
// The console's end: its window closed (as a closed terminal, 129), the user logging off or the system
// shutting down (as SIGTERM, 143). Windows ends the process once this returns, or after a few seconds.
// (Windows sends the last two to no console program that loads user32, as this one does through
// SetupAPI: they are handled for the day it does not.)
BOOL WINAPI OnConsoleEvent(DWORD event) {
  int sig = 0;
  switch (event) {
    case CTRL_CLOSE_EVENT:
      sig = 1;
      break;
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      sig = SIGTERM;
      break;
    default:
      return FALSE;  // Ctrl-C and Ctrl-Break go on to the C runtime, which raises SIGINT and SIGBREAK
  }
  if (Interrupted(sig)) {
    // A step let finish: the main thread ends the tool when it is done, within the few seconds Windows
    // gives; if it is not, the tool ends here, before Windows ends it.
    for (int i = 0; i < 40 && g_held.load() == sig; ++i) Sleep(100);
    // Taken meanwhile by the main thread, which is then on its own way out (the copy saved, the link
    // closed): it ends the tool, not this thread.
    int still_held = sig;
    if (g_held.compare_exchange_strong(still_held, kHoldClosed)) Interrupted(sig);
  }
  Sleep(INFINITE);  // another interrupt is ending the tool
  return TRUE;
}
#endif

void SayServicesHint() {
#ifdef _WIN32
  // The library stops and disables the sync services on Vista and later as soon as it begins to look for
  // the handheld, and starts them again only when it closes the link, which an early end skips.
  Say("dravik-update: on Windows Vista or later, if the search for the handheld had begun, the sync services "
      "WcesComm and RapiMgr are still stopped and disabled; the next complete run starts them again, or run: "
      "sc config WcesComm start= auto && sc start WcesComm && sc config RapiMgr start= auto && sc start "
      "RapiMgr\n");
#endif
}

void InstallInterruptHandler(bool bar_on_stdout) {
  g_line_fd.store(bar_on_stdout ? 1 : (DRAVIK_ISATTY(2) ? 2 : -1));
#ifdef _WIN32
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGBREAK, OnSignal);  // Ctrl-Break, as Ctrl-C
  // Installed after the C runtime's own (the signal calls above install it), so asked first.
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  // A closed terminal or a dropped session ends the tool as Ctrl-C does, with its files cleaned up, and
  // so does Ctrl-\ (SIGQUIT, which would otherwise dump core and leave them). While the handler runs the
  // others wait; reads and waits in the library go on after a held interrupt.
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  const int handled[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};
  for (int sig : handled) sigaddset(&sa.sa_mask, sig);
  for (int sig : handled) sigaction(sig, &sa, nullptr);
  // Output into a pipe whose reader has gone (`| head`) must not end a flash part way: the writes fail
  // and the run goes on to its end and its exit code.
  std::signal(SIGPIPE, SIG_IGN);
  // Under a file size limit (`ulimit -f`) a write beyond it must fail (EFBIG) rather than end the tool
  // with a partial file left behind: the library then logs that writing the file failed, and the tool
  // reports the file as not written.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
}

void SetInterruptLog(const std::string& path) { CopyPath(g_log, path); }

namespace {
int64_t SizeOf(const char* path) {
  if (path[0] == '\0') return -1;
#ifdef _WIN32
  struct _stat64 st;
  return _stat64(path, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
#else
  struct stat st;
  return ::stat(path, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
#endif
}
}  // namespace

void WatchHeldInterrupt(uint32_t now_ms) {
  constexpr uint32_t kStillLimitMs = 10000;
  static int64_t log_size = -1, file_size = -1;
  static uint32_t since = 0;
  static bool watching = false;
  const int held = g_held.load();
  if (held <= 0) {
    watching = false;
    return;
  }
  const int64_t log_now = SizeOf(g_log);
  const int64_t file_now = g_armed.load() ? SizeOf(g_file) : -1;
  if (!watching || log_now != log_size || file_now != file_size) {
    watching = true;
    log_size = log_now;
    file_size = file_now;
    since = now_ms;
    return;
  }
  if (now_ms - since < kStillLimitMs) return;
#ifndef _WIN32
  // An interrupt arriving on this thread while it decides would wait for itself: none is let in now.
  sigset_t block;
  sigemptyset(&block);
  for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) sigaddset(&block, sig);
  pthread_sigmask(SIG_BLOCK, &block, nullptr);
#endif
  StartOwnLine();
  Say("dravik-update: the read-back has not moved for 10 s: the tool stops now.\n");
  Interrupted(held);  // held already: this one ends the tool
}

void SetInterruptNote(const char* note) {
  InterruptStage stage;
  stage.note = note;
  SetInterruptStages(0, {stage});
}

void SetInterruptStages(uint64_t log_offset, std::initializer_list<InterruptStage> stages) {
  const int next = 1 - g_table.load();
  StageTable& t = g_tables[next];
  t.log_offset = log_offset;
  t.count = 0;
  bool holds = false;
  for (const InterruptStage& s : stages) {
    if (t.count == kMaxStages) break;
    t.stages[t.count++] = s;
    holds = holds || s.held != nullptr;
  }
  g_table.store(next);
  // An interrupt already held stays held.
  int closed = kHoldClosed;
  if (holds) g_held.compare_exchange_strong(closed, kHoldOpen);
}

int EndHeldInterrupts() {
  const int held = g_held.exchange(kHoldClosed);
  return held > 0 ? held : 0;
}

int ExitCodeOfSignal(int sig) { return 128 + sig; }

const char* SignalName(int sig) {
  switch (sig) {
    case SIGINT:
      return "Ctrl-C";
    case SIGTERM:
      return "SIGTERM";
#ifdef _WIN32
    case SIGBREAK:
      return "Ctrl-Break";
    case 1:
      return "the console window closed";
#else
    case SIGQUIT:
      return "SIGQUIT";
    case SIGHUP:
      return "SIGHUP";
#endif
    default:
      return "a signal";
  }
}

void CleanUpBeforeExit() {
  if (RemoveCleanupFiles() == Cleanup::NotRemoved) SayNotRemoved();
}

void SetInterruptCleanup(const std::string& file, const std::string& dir, bool keep_received) {
  g_armed.store(false);
  CopyPath(g_file, file);
  CopyPath(g_dir, dir);
  g_keep_received.store(keep_received);
  g_armed.store(!file.empty() || !dir.empty());
}

}  // namespace dravik_update
