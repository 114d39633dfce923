#include "library_loader.h"

#include <filesystem>

#include "native_path.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace dravik_update {

namespace {

void* OpenModule(const std::string& path, std::string* error) {
#ifdef _WIN32
  HMODULE m = LoadLibraryA(path.c_str());
  if (m == nullptr) *error = "LoadLibrary failed with error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(m);
#else
  void* m = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (m == nullptr) *error = dlerror();
  return m;
#endif
}

void* Symbol(void* module, const char* name) {
#ifdef _WIN32
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(module), name));
#else
  return dlsym(module, name);
#endif
}

void CloseModule(void* module) {
#ifdef _WIN32
  FreeLibrary(reinterpret_cast<HMODULE>(module));
#else
  dlclose(module);
#endif
}

template <typename Fn>
bool Resolve(void* module, const char* name, Fn* slot, std::string* missing) {
  void* p = Symbol(module, name);
  if (p == nullptr) {
    if (!missing->empty()) *missing += ", ";
    *missing += name;
    return false;
  }
  *slot = reinterpret_cast<Fn>(p);
  return true;
}

}  // namespace

const char* LibraryFileName() {
#ifdef _WIN32
  return "Dravik.dll";
#else
  return "libdravik.so";
#endif
}

std::string ProgramDirectory() {
#ifdef _WIN32
  char buf[MAX_PATH] = {0};
  DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
  return NarrowOf(PathOf(std::string(buf, n)).parent_path());
#else
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : NarrowOf(exe.parent_path());
#endif
}

DravikLibrary::~DravikLibrary() { Unload(); }

void DravikLibrary::Unload() {
  if (module_ != nullptr) CloseModule(module_);
  module_ = nullptr;
  exports_ = DravikExports{};
}

bool DravikLibrary::Load(const std::vector<std::string>& candidates, std::string* error) {
  std::string tried;
  for (const std::string& path : candidates) {
    std::error_code ec;
    if (!std::filesystem::exists(PathOf(path), ec)) {
      tried += "\n  " + path + " (not there)";
      continue;
    }
    std::string why;
    void* m = OpenModule(path, &why);
    if (m == nullptr) {
      *error = "cannot load " + path + ": " + why;
      return false;
    }
    std::string missing;
    DravikExports e;
    bool ok = true;
    ok &= Resolve(m, "Client_GetLibraryVersion", &e.GetLibraryVersion, &missing);
    ok &= Resolve(m, "Client_GetModelID", &e.GetModelID, &missing);
    ok &= Resolve(m, "Client_GetOSVer", &e.GetOSVer, &missing);
    ok &= Resolve(m, "Client_GetOSLang", &e.GetOSLang, &missing);
    ok &= Resolve(m, "Client_GetComponentInfo", &e.GetComponentInfo, &missing);
    ok &= Resolve(m, "Client_Initialize", &e.Initialize, &missing);
    ok &= Resolve(m, "Client_ValidateROM", &e.ValidateROM, &missing);
    ok &= Resolve(m, "Client_VerifyExterns", &e.VerifyExterns, &missing);
    ok &= Resolve(m, "Client_QueueJob", &e.QueueJob, &missing);
    ok &= Resolve(m, "Client_FormatDisk", &e.FormatDisk, &missing);
    ok &= Resolve(m, "Client_FormatDiskEx", &e.FormatDiskEx, &missing);
    ok &= Resolve(m, "Client_StartFlash", &e.StartFlash, &missing);
    ok &= Resolve(m, "Client_Progress", &e.Progress, &missing);
    ok &= Resolve(m, "Client_BackUp", &e.BackUp, &missing);
    ok &= Resolve(m, "Client_Shutdown", &e.Shutdown, &missing);
    ok &= Resolve(m, "CloseComPort", &e.CloseComPort, &missing);
    if (!ok) {
      CloseModule(m);
      *error = path + " lacks the export(s) " + missing;
      return false;
    }
    module_ = m;
    path_ = path;
    exports_ = e;
    return true;
  }
  *error = std::string("cannot find ") + LibraryFileName() + "; tried:" + tried +
           "\n  (name it with --library PATH or DRAVIK_LIBRARY)";
  return false;
}

}  // namespace dravik_update
