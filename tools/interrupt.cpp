#include "interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#define DRAVIK_WRITE _write
#define DRAVIK_UNLINK _unlink
#define DRAVIK_RMDIR _rmdir
#define DRAVIK_EXIT _exit
#else
#include <unistd.h>
#define DRAVIK_WRITE ::write
#define DRAVIK_UNLINK ::unlink
#define DRAVIK_RMDIR ::rmdir
#define DRAVIK_EXIT ::_exit
#endif

namespace dravik_update {

namespace {

// The handler may only read what it finds complete: each path is written with its first byte 0 and
// that byte set last, and `g_armed` says whether the pair is in use at all.
constexpr size_t kPathRoom = 4096;
char g_file[kPathRoom];
char g_dir[kPathRoom];
std::atomic<bool> g_armed{false};
std::atomic<bool> g_keep_received{false};
std::atomic<const char*> g_note{nullptr};

void Say(const char* text) {
  size_t n = std::strlen(text);
  while (n > 0) {
    auto w = DRAVIK_WRITE(2, text, static_cast<unsigned>(n));
    if (w <= 0) return;
    text += w;
    n -= static_cast<size_t>(w);
  }
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

// False when a file to remove is still there (on Windows the library may hold it open: it cannot go).
bool RemoveCleanupFiles() {
  bool removed = true;
  if (g_armed.load()) {
    if (g_file[0] != '\0' && !(g_keep_received.load() && HasBytes(g_file))) {
      removed = DRAVIK_UNLINK(g_file) == 0 || errno == ENOENT;  // a file not made yet is no file left
    }
    if (g_dir[0] != '\0') DRAVIK_RMDIR(g_dir);
  }
  return removed;
}

void SayNotRemoved() {
  Say("dravik-update: ");
  Say(g_file);
  Say(" could not be removed (the library still has it open): it holds an unfinished backup; delete it\n");
}

}  // namespace

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

namespace {

extern "C" void OnInterrupt(int sig) {
  const bool removed = RemoveCleanupFiles();
  // A progress line may be half drawn: start on a line of its own.
  Say("\ndravik-update: interrupted");
  if (const char* note = g_note.load()) {
    Say("; ");
    Say(note);
  }
  Say(".\n");
  if (!removed) SayNotRemoved();
  SayServicesHint();
  DRAVIK_EXIT(128 + sig);
}

}  // namespace

void InstallInterruptHandler() {
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
#ifdef _WIN32
  std::signal(SIGBREAK, OnInterrupt);  // Ctrl-Break, as Ctrl-C
#endif
#ifndef _WIN32
  // A closed terminal or a dropped session ends the tool as Ctrl-C does, with its files cleaned up.
  std::signal(SIGHUP, OnInterrupt);
  // Output into a pipe whose reader has gone (`| head`) must not end a flash part way: the writes fail
  // and the run goes on to its end and its exit code.
  std::signal(SIGPIPE, SIG_IGN);
  // Under a file size limit (`ulimit -f`) a write beyond it must fail (EFBIG) rather than end the tool
  // with a partial file left behind: the library then logs that writing the file failed, and the tool
  // reports the file as not written.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
}

void SetInterruptNote(const char* note) { g_note.store(note); }

void CleanUpBeforeExit() {
  if (!RemoveCleanupFiles()) SayNotRemoved();
}

void SetInterruptCleanup(const std::string& file, const std::string& dir, bool keep_received) {
  g_armed.store(false);
  CopyPath(g_file, file);
  CopyPath(g_dir, dir);
  g_keep_received.store(keep_received);
  g_armed.store(!file.empty() || !dir.empty());
}

}  // namespace dravik_update
