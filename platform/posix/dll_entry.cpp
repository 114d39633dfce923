// The library's load and unload entry on Linux: the shared object this file is linked into calls the
// library's DllMain with DLL_PROCESS_ATTACH when it is loaded (at process start, or by dlopen) and with
// DLL_PROCESS_DETACH when it is unloaded (at process exit, or by the last dlclose), as the Windows
// loader does for a DLL.
#include <dlfcn.h>

#include "platform/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);

namespace {

// The module handle is the base address of the shared object, as a Windows HINSTANCE is.
HINSTANCE ThisModule() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ThisModule), &info) != 0) return info.dli_fbase;
  return nullptr;
}

__attribute__((constructor)) void RunProcessAttach() { DllMain(ThisModule(), DLL_PROCESS_ATTACH, nullptr); }

__attribute__((destructor)) void RunProcessDetach() { DllMain(ThisModule(), DLL_PROCESS_DETACH, nullptr); }

}  // namespace
