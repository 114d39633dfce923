// Loads the library the way the update application does, asks it for its version, and unloads it,
// so that its attach and detach steps run: on Windows (under wine) Dravik.dll through LoadLibraryA, on
// Linux libdravik.so through dlopen. scripts/check-wine-platform.sh runs both in fresh directories and
// compares the log and configuration files they leave byte for byte.
// Usage: dll_load_check LIBRARY
#include <stdio.h>

#include "driver/dravik.h"

#ifdef _WIN32
#include <windows.h>
typedef HMODULE Module;
static Module Load(const char* path) { return LoadLibraryA(path); }
static void* Find(Module m, const char* name) { return reinterpret_cast<void*>(GetProcAddress(m, name)); }
static void Unload(Module m) { FreeLibrary(m); }
#else
#include <dlfcn.h>
typedef void* Module;
static Module Load(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void* Find(Module m, const char* name) { return dlsym(m, name); }
static void Unload(Module m) { dlclose(m); }
#endif

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s LIBRARY\n", argv[0]);
    return 2;
  }
  Module module = Load(argv[1]);
  if (!module) {
    fprintf(stderr, "dll_load_check: cannot load %s\n", argv[1]);
    return 1;
  }
  typedef void (*ResultFn)(ClientResult*);
  ResultFn version = reinterpret_cast<ResultFn>(Find(module, "Client_GetLibraryVersion"));
  if (!version) {
    fprintf(stderr, "dll_load_check: no Client_GetLibraryVersion\n");
    return 1;
  }
  ClientResult result{};
  version(&result);
  printf("status %u\n", static_cast<unsigned>(result.dwStatus));
  Unload(module);
  return 0;
}
