// Load and unload of the library and the configuration file "Tavrine_usb_flash.ini".
#include "startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kConfigFile = "Tavrine_usb_flash.ini";
constexpr const char* kConfigSection = "Config";
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

}  // namespace

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
      // A process that ends (rather than unloads the library) has ended its other threads by now, some
      // perhaps in the middle of a log entry or of a read on the link.
      if (lpReserved != nullptr) LogAloneInTheProcess();
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
