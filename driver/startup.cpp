// Load and unload of the library, the configuration file "Tavrine_usb_flash.ini" and the diagnostic log
// "logfile.txt".
#include "startup.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kConfigFile = "Tavrine_usb_flash.ini";
constexpr const char* kConfigSection = "Config";
constexpr const char* kLogFile = "logfile.txt";
// Both directions go through 10-byte buffers: at most 9 characters of a value are taken.
constexpr DWORD kValueBufferSize = 10;

struct ConfigKey {
  const char* name;
  int32_t* value;
};

// The keys in file order.
const ConfigKey kConfigKeys[] = {
    {"Driver", &g_Driver},           {"RTimeout", &g_RTimeout},         {"WTimeout", &g_WTimeout},
    {"DebugON", &g_DebugON},         {"PurgeTx", &g_PurgeTx},           {"PurgeRx", &g_PurgeRx},
    {"WaitRx", &g_WaitRx},           {"splitReadAck", &g_splitReadAck}, {"splitReadAckSize", &g_splitReadAckSize},
};

// The log held open by a HeldLog, and the id of the thread that holds it (0: none). One thread at a time
// holds it, and only that thread uses the file, so the file needs no lock of its own. (The id rather
// than a thread-local variable: a DLL's thread-local data is not dependable on every Windows the
// library loads on.)
std::atomic<DWORD> g_dwHeldLogThread{0};
FILE* g_heldLog = nullptr;

FILE* OpenLog() { return _fsopen(kLogFile, "at", _SH_DENYNO); }

// The held log when the calling thread holds it.
FILE* HeldLogOfThisThread() {
  return g_dwHeldLogThread.load() == GetCurrentThreadId() ? g_heldLog : nullptr;
}

}  // namespace

HeldLog::HeldLog() {
  DWORD dwFree = 0;
  if (!g_dwHeldLogThread.compare_exchange_strong(dwFree, GetCurrentThreadId())) return;  // held already
  g_heldLog = OpenLog();
  opened_ = g_heldLog != nullptr;
  if (!opened_) g_dwHeldLogThread.store(0);
}

HeldLog::~HeldLog() {
  if (!opened_) return;
  fclose(g_heldLog);
  g_heldLog = nullptr;
  g_dwHeldLogThread.store(0);
}

void LogPrintf(const char* format, ...) {
  if (format == nullptr) return;
  // Text mode: every line feed of the entry is stored as CR LF. Shared, so that entries of the other
  // threads and processes are appended at the then end of the file.
  FILE* const held = HeldLogOfThisThread();
  FILE* log = held != nullptr ? held : OpenLog();
  if (log == nullptr) return;
  va_list args;
  va_start(args, format);
  vfprintf(log, format, args);
  va_end(args);
  fputc('\n', log);
  if (log == held) {
    fflush(log);
  } else {
    fclose(log);
  }
}

void LoadLinkConfig() {
  for (const ConfigKey& key : kConfigKeys) {
    char szValue[kValueBufferSize];
    memset(szValue, 0, sizeof(szValue));
    GetPrivateProfileStringA(kConfigSection, key.name, "0", szValue, kValueBufferSize, kConfigFile);
    *key.value = atoi(szValue);
  }
}

void SaveLinkConfig() {
  for (const ConfigKey& key : kConfigKeys) {
    char szValue[kValueBufferSize];
    memset(szValue, 0, sizeof(szValue));
    snprintf(szValue, sizeof(szValue), "%d", static_cast<int>(*key.value));
    WritePrivateProfileStringA(kConfigSection, key.name, szValue, kConfigFile);
  }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hModule, DWORD dwReason, LPVOID lpReserved) {
  switch (dwReason) {
    case DLL_PROCESS_ATTACH:
      LogPrintf("Dravik.dll Attach\r\n");
      LoadLinkConfig();
      LogPrintf(
          "g_Driver=%d g_RTimeout=%d g_WTimeout=%d g_DebugON=%d g_PurgeTx=%d g_PurgeRx=%d g_WaitRx=%d "
          "g_splitReadAck=%d g_splitReadAckSize=%d\r\n",
          g_Driver, g_RTimeout, g_WTimeout, g_DebugON, g_PurgeTx, g_PurgeRx, g_WaitRx, g_splitReadAck,
          g_splitReadAckSize);
      SaveLinkConfig();
      break;
    case DLL_PROCESS_DETACH:
      if (IsLinkOpen(FlashState.hLink)) {
        CloseHandle(FlashState.hLink);
        FlashState.hLink = INVALID_HANDLE_VALUE;
      }
      LogPrintf("Dravik.dll Dettach\r\n");
      break;
    default:
      break;
  }
  return TRUE;
}
