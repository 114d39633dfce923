// Loads the Dravik library at run time and looks up its sixteen exports: dlopen on Linux, LoadLibrary on
// Windows. This is the only file of the tool that knows how a shared library is loaded.
#ifndef DRAVIK_TOOLS_LIBRARY_LOADER_H
#define DRAVIK_TOOLS_LIBRARY_LOADER_H

#include <string>
#include <vector>

#include "../driver/dravik.h"

namespace dravik_update {

struct DravikExports {
  void (*GetLibraryVersion)(ClientResult*) = nullptr;
  void (*GetModelID)(ClientResult*) = nullptr;
  void (*GetOSVer)(ClientResult*) = nullptr;
  void (*GetOSLang)(ClientResult*) = nullptr;
  void (*GetComponentInfo)(uint16_t, uint16_t, const char*, ClientResult*) = nullptr;
  void (*Initialize)(const char*, int32_t, ClientResult*) = nullptr;
  void (*ValidateROM)(int32_t, int32_t, ClientResult*) = nullptr;
  void (*VerifyExterns)(ClientResult*) = nullptr;
  void (*QueueJob)(uint16_t, const char*, int32_t, ClientResult*) = nullptr;
  void (*FormatDisk)(ClientResult*) = nullptr;
  void (*FormatDiskEx)(int32_t, const char*, ClientResult*) = nullptr;
  void (*StartFlash)(ClientResult*) = nullptr;
  void (*Progress)(ClientResult*) = nullptr;
  void (*BackUp)(int32_t, const char*, ClientResult*) = nullptr;
  void (*Shutdown)() = nullptr;
  void (*CloseComPort)() = nullptr;
};

class DravikLibrary {
 public:
  DravikLibrary() = default;
  ~DravikLibrary();  // unloads the library (its detach step closes an open link)
  DravikLibrary(const DravikLibrary&) = delete;
  DravikLibrary& operator=(const DravikLibrary&) = delete;

  // Loads the first candidate that exists and resolves every export. On failure *error says which file
  // and which export.
  bool Load(const std::vector<std::string>& candidates, std::string* error);
  const DravikExports& Exports() const { return exports_; }
  const std::string& Path() const { return path_; }
  void Unload();

 private:
  void* module_ = nullptr;
  std::string path_;
  DravikExports exports_;
};

// The file name of the library on this platform ("libdravik.so", "Dravik.dll").
const char* LibraryFileName();
// The directory of the running program.
std::string ProgramDirectory();

}  // namespace dravik_update

#endif  // DRAVIK_TOOLS_LIBRARY_LOADER_H
