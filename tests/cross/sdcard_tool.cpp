// A device program for the cross test: runs one SD-card routine of the device library against the
// virtual handheld named by $HANDHELD_DIR and reports its result.
//   sdcard_tool ROUTINE PATH     ROUTINE: cmp-os cmp-gsm cmp-erom cmp-gsmffs dump-gsm dump-erom get-gsmffs
//                                         flash-os flash-gsm flash-erom flash-ipl flash-eboot flash-gsmffs
//   sdcard_tool backup-gsmffs
// Exit code: 0 when the routine gave 0, 1 for a difference found by a compare, 2 for -1, 64 for usage.
// SDCARD_TOOL_VERBOSE=1 shows the debug output.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cesim.h"
#include "sdcard.h"

namespace {

int Run(const std::string& routine, LPCWSTR path, int* progress) {
  if (routine == "cmp-os") return CmpOSwithSD(path, progress);
  if (routine == "cmp-gsm") return CmpGSMwithSD(path, progress);
  if (routine == "cmp-erom") return CmpEROMwithSD(path, progress);
  if (routine == "cmp-gsmffs") return CmpGSMFFS(path);
  if (routine == "dump-gsm") return DumpGSMtoSD(path, progress);
  if (routine == "dump-erom") return DumpEROMtoSD(path, progress);
  if (routine == "get-gsmffs") return GetGsmFFS(path);
  if (routine == "flash-os") return FlashOSFromSD(path, progress);
  if (routine == "flash-gsm") return FlashGSMFromSD(path, progress);
  if (routine == "flash-erom") return FlashEROMFromSD(path, progress);
  if (routine == "flash-ipl") return FlashIPLFromSD(path, progress);
  if (routine == "flash-eboot") return FlashEBOOTFromSD(path, progress);
  if (routine == "flash-gsmffs") return FlashGsmFFS(path);
  return 1000;
}

}  // namespace

int main(int argc, char* argv[]) {
  cesim::SetEcho(std::getenv("SDCARD_TOOL_VERBOSE") != nullptr);
  if (argc == 2 && std::strcmp(argv[1], "backup-gsmffs") == 0) {
    int result = BackupGsmFFS();
    std::printf("result=%d\n", result);
    return result == 0 ? 0 : 2;
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: sdcard_tool ROUTINE PATH | sdcard_tool backup-gsmffs\n");
    return 64;
  }
  const std::u16string path = cesim::ToUtf16(argv[2]);
  int progress = -1;
  int result = Run(argv[1], path.c_str(), &progress);
  if (result == 1000) {
    std::fprintf(stderr, "sdcard_tool: unknown routine %s\n", argv[1]);
    return 64;
  }
  std::printf("result=%d progress=%d\n", result, progress);
  return result == 0 ? 0 : result == -1 ? 2 : 1;
}
