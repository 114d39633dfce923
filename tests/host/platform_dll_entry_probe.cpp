// A stand-in library for the entry tests: its DllMain appends each call to the file named by
// $DRAVIK_PROBE_LOG.
#include <cstdio>
#include <cstdlib>

#include "platform/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved) {
  const char* path = std::getenv("DRAVIK_PROBE_LOG");
  if (!path) return TRUE;
  if (FILE* f = std::fopen(path, "a")) {
    const char* what = fdwReason == DLL_PROCESS_ATTACH   ? "attach"
                       : fdwReason == DLL_PROCESS_DETACH ? "detach"
                                                         : "other";
    std::fprintf(f, "%s %s\n", what, hinstDLL ? "module" : "null");
    std::fclose(f);
  }
  return TRUE;
}
