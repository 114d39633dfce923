// Run-time libraries and the device registry keys of the simulated host: what LoadLibraryA and
// GetProcAddress find (and what the profile takes away), and the "portname"/"SymbolicName" values read
// through CM_Open_DevNode_Key with their buffer sizes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/posix/host_profile.h"
#include "platform/win32.h"

using namespace w32sim;

namespace {

const GUID kPorts = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HostProfile p;
    PortDevice com;
    com.portname = "COM7";
    com.symbolic_name = "\\??\\USB#Vid_0e1f&Pid_4505#1#{a5dcbf10}";
    PortDevice long_name = com;
    long_name.portname = "COM1000";
    PortDevice bare;
    bare.has_portname = false;
    bare.has_symbolic_name = false;
    PortDevice locked = com;
    locked.hardware_key_opens = false;
    p.ports = {com, long_name, bare, locked};
    SetHostProfile(p);
    cfgmgr_ = LoadLibraryA("cfgmgr32");
    ASSERT_NE(cfgmgr_, nullptr);
    open_ = reinterpret_cast<CM_Open_DevNode_Key_Fn>(
        reinterpret_cast<void*>(GetProcAddress(cfgmgr_, "CM_Open_DevNode_Key")));
    ASSERT_NE(open_, nullptr);
  }
  void TearDown() override {
    EXPECT_TRUE(FreeLibrary(cfgmgr_));
    EXPECT_EQ(OpenSimulatedHandles("key"), 0);
    EXPECT_EQ(OpenSimulatedHandles("module"), 0);
  }

  // The DevInst of the device at an index of a fresh Ports list.
  DWORD DevInst(DWORD index) {
    HDEVINFO list = SetupDiGetClassDevsA(&kPorts, nullptr, nullptr, DIGCF_PRESENT);
    SP_DEVINFO_DATA d{};
    d.cbSize = sizeof d;
    EXPECT_TRUE(SetupDiEnumDeviceInfo(list, index, &d));
    SetupDiDestroyDeviceInfoList(list);
    return d.DevInst;
  }

  HKEY OpenKey(DWORD index) {
    HKEY key = nullptr;
    EXPECT_EQ(open_(DevInst(index), KEY_QUERY_VALUE, 0, RegDisposition_OpenExisting, &key, CM_REGISTRY_HARDWARE),
              CR_SUCCESS);
    return key;
  }

  HMODULE cfgmgr_ = nullptr;
  CM_Open_DevNode_Key_Fn open_ = nullptr;
};

}  // namespace

TEST_F(RegistryTest, ValuesAreStringsWithTheirTerminator) {
  HKEY key = OpenKey(0);
  char port[7] = {};
  DWORD size = sizeof port;
  DWORD type = 0;
  ASSERT_EQ(RegQueryValueExA(key, "portname", nullptr, &type, reinterpret_cast<LPBYTE>(port), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 5u);
  EXPECT_STREQ(port, "COM7");
  char sym[256] = {};
  size = sizeof sym;
  ASSERT_EQ(RegQueryValueExA(key, "SymbolicName", nullptr, nullptr, reinterpret_cast<LPBYTE>(sym), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(sym, "\\??\\USB#Vid_0e1f&Pid_4505#1#{a5dcbf10}");
  // Asking for the size only.
  size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExA(key, "portname", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, SevenCharacterPortNameDoesNotFitSevenBytes) {
  HKEY key = OpenKey(1);
  char port[7];
  std::memset(port, 'x', sizeof port);
  DWORD size = sizeof port;
  EXPECT_EQ(RegQueryValueExA(key, "portname", nullptr, nullptr, reinterpret_cast<LPBYTE>(port), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(port[6], 'x');  // nothing written past or into the short buffer's end
  RegCloseKey(key);
}

TEST_F(RegistryTest, AbsentValuesAndKeysThatDoNotOpen) {
  HKEY key = OpenKey(2);
  char buf[16];
  DWORD size = sizeof buf;
  EXPECT_EQ(RegQueryValueExA(key, "portname", nullptr, nullptr, reinterpret_cast<LPBYTE>(buf), &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExA(key, "SymbolicName", nullptr, nullptr, reinterpret_cast<LPBYTE>(buf), &size),
            ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);

  HKEY none = reinterpret_cast<HKEY>(1);
  EXPECT_NE(open_(DevInst(3), KEY_QUERY_VALUE, 0, RegDisposition_OpenExisting, &none, CM_REGISTRY_HARDWARE),
            CR_SUCCESS);
  EXPECT_EQ(none, nullptr);
  EXPECT_NE(open_(0x0BAD, KEY_QUERY_VALUE, 0, RegDisposition_OpenExisting, &none, CM_REGISTRY_HARDWARE), CR_SUCCESS);
}

TEST(SimulatedLibraries, NamesMatchWithoutCaseAndWithOptionalDll) {
  SetHostProfile(HostProfile{});
  for (const char* name : {"cfgmgr32", "CFGMGR32.DLL", "psapi", "PSAPI.DLL", "Kernel32.DLL", "kernel32"}) {
    SCOPED_TRACE(name);
    HMODULE h = LoadLibraryA(name);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(FreeLibrary(h));
  }
  EXPECT_EQ(LoadLibraryA("winusb.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  HMODULE psapi = LoadLibraryA("PSAPI.DLL");
  for (const char* entry : {"EnumProcesses", "EnumProcessModules", "GetModuleBaseNameA"}) {
    EXPECT_NE(GetProcAddress(psapi, entry), nullptr) << entry;
  }
  EXPECT_EQ(GetProcAddress(psapi, "enumprocesses"), nullptr);  // entry point names are exact
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(GetProcAddress(psapi, "CreateToolhelp32Snapshot"), nullptr);  // that one is Kernel32's
  HMODULE kernel = LoadLibraryA("Kernel32.DLL");
  for (const char* entry :
       {"CreateToolhelp32Snapshot", "Process32First", "Process32Next", "Module32First", "Module32Next"}) {
    EXPECT_NE(GetProcAddress(kernel, entry), nullptr) << entry;
  }
  EXPECT_TRUE(FreeLibrary(kernel));
  EXPECT_TRUE(FreeLibrary(psapi));
  EXPECT_FALSE(FreeLibrary(psapi));
  EXPECT_EQ(GetProcAddress(psapi, "EnumProcesses"), nullptr);
  EXPECT_EQ(OpenSimulatedHandles("module"), 0);
  EXPECT_EQ(CurrentHostRecord().library_events.front(), "LOAD cfgmgr32");
  EXPECT_EQ(CurrentHostRecord().library_events.back(), "FREE PSAPI.DLL");
}

TEST(SimulatedLibraries, TheProfileTakesLibrariesAndEntryPointsAway) {
  HostProfile p;
  p.missing_libraries = {"psapi.dll", "CFGMGR32"};
  p.missing_entry_points = {"Module32Next"};
  SetHostProfile(p);
  EXPECT_EQ(LoadLibraryA("PSAPI.DLL"), nullptr);
  EXPECT_EQ(LoadLibraryA("cfgmgr32"), nullptr);
  HMODULE kernel = LoadLibraryA("Kernel32.DLL");
  ASSERT_NE(kernel, nullptr);
  EXPECT_NE(GetProcAddress(kernel, "Module32First"), nullptr);
  EXPECT_EQ(GetProcAddress(kernel, "Module32Next"), nullptr);
  FreeLibrary(kernel);
  EXPECT_EQ(CurrentHostRecord().library_events, (std::vector<std::string>{"LOAD Kernel32.DLL", "FREE Kernel32.DLL"}));
}
