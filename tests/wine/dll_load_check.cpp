// Loads the library the way the update application does, asks it for its version, and unloads it,
// so that its attach and detach steps run: on Windows (under wine) Dravik.dll through LoadLibraryA, on
// Linux libdravik.so through dlopen. scripts/check-wine-platform.sh runs both in fresh directories and
// compares the log and configuration files they leave byte for byte.
// With THREADS and CALLS, that many threads each ask for the version CALLS times at once (each call logs
// one entry), so that the script can count that no entry of one thread overwrote another's.
// Usage: dll_load_check LIBRARY [THREADS CALLS]
#include <stdio.h>
#include <stdlib.h>

#include "driver/dravik.h"

typedef void (*ResultFn)(ClientResult*);

#ifdef _WIN32
#include <windows.h>
typedef HMODULE Module;
static Module Load(const char* path) { return LoadLibraryA(path); }
static void* Find(Module m, const char* name) { return reinterpret_cast<void*>(GetProcAddress(m, name)); }
static void Unload(Module m) { FreeLibrary(m); }
#else
#include <dlfcn.h>
#include <pthread.h>
typedef void* Module;
static Module Load(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void* Find(Module m, const char* name) { return dlsym(m, name); }
static void Unload(Module m) { dlclose(m); }
#endif

namespace {

ResultFn g_version = nullptr;
int g_calls = 0;

void AskRepeatedly() {
  for (int i = 0; i < g_calls; ++i) {
    ClientResult result{};
    g_version(&result);
  }
}

#ifdef _WIN32
DWORD WINAPI Asker(LPVOID) {
  AskRepeatedly();
  return 0;
}
#else
void* Asker(void*) {
  AskRepeatedly();
  return nullptr;
}
#endif

// Runs `threads` askers at once and waits for them all.
bool AskFromThreads(int threads) {
  const int kMaxThreads = 16;
  if (threads < 1 || threads > kMaxThreads) return false;
#ifdef _WIN32
  HANDLE handles[kMaxThreads];
  for (int t = 0; t < threads; ++t) {
    handles[t] = CreateThread(nullptr, 0, Asker, nullptr, 0, nullptr);
    if (handles[t] == nullptr) return false;
  }
  WaitForMultipleObjects(static_cast<DWORD>(threads), handles, TRUE, INFINITE);
  for (int t = 0; t < threads; ++t) CloseHandle(handles[t]);
#else
  pthread_t ids[kMaxThreads];
  for (int t = 0; t < threads; ++t) {
    if (pthread_create(&ids[t], nullptr, Asker, nullptr) != 0) return false;
  }
  for (int t = 0; t < threads; ++t) pthread_join(ids[t], nullptr);
#endif
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    fprintf(stderr, "usage: %s LIBRARY [THREADS CALLS]\n", argv[0]);
    return 2;
  }
  Module module = Load(argv[1]);
  if (!module) {
    fprintf(stderr, "dll_load_check: cannot load %s\n", argv[1]);
    return 1;
  }
  g_version = reinterpret_cast<ResultFn>(Find(module, "Client_GetLibraryVersion"));
  if (!g_version) {
    fprintf(stderr, "dll_load_check: no Client_GetLibraryVersion\n");
    return 1;
  }
  if (argc == 4) {
    g_calls = atoi(argv[3]);
    if (!AskFromThreads(atoi(argv[2]))) {
      fprintf(stderr, "dll_load_check: cannot start the threads\n");
      return 1;
    }
  } else {
    ClientResult result{};
    g_version(&result);
    printf("status %u\n", static_cast<unsigned>(result.dwStatus));
  }
  Unload(module);
  return 0;
}
