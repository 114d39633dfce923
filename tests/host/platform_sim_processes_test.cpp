// Processes of the simulated host, through the entry points a caller reaches by GetProcAddress: the
// PSAPI functions (NT family) and the toolhelp snapshots (9x family), OpenProcess and TerminateProcess.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/posix/host_profile.h"
#include "platform/win32.h"

using namespace w32sim;

namespace {

typedef BOOL(WINAPI* EnumProcessesFn)(DWORD*, DWORD, LPDWORD);
typedef BOOL(WINAPI* EnumProcessModulesFn)(HANDLE, HMODULE*, DWORD, LPDWORD);
typedef DWORD(WINAPI* GetModuleBaseNameAFn)(HANDLE, HMODULE, LPSTR, DWORD);
typedef HANDLE(WINAPI* CreateSnapshotFn)(DWORD, DWORD);
typedef BOOL(WINAPI* Process32Fn)(HANDLE, LPPROCESSENTRY32);
typedef BOOL(WINAPI* Module32Fn)(HANDLE, LPMODULEENTRY32);

template <class Fn>
Fn Entry(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

HostProfile Processes(uint32_t platform_id) {
  HostProfile p;
  p.platform_id = platform_id;
  p.processes = {{100, "explorer.exe", true, true, true},
                 {200, "rapimgr.exe", true, true, true},
                 {300, "secret.exe", false, true, true},
                 {400, "guarded.exe", true, false, true},
                 {500, "sticky.exe", true, true, false}};
  return p;
}

class ProcessesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(OpenSimulatedHandles("process"), 0);
    EXPECT_EQ(OpenSimulatedHandles("snapshot"), 0);
  }
};

// The first module's base name as PSAPI gives it, or "" when it cannot be had.
std::string BaseName(HMODULE psapi, DWORD pid) {
  auto enum_modules = Entry<EnumProcessModulesFn>(psapi, "EnumProcessModules");
  auto base_name = Entry<GetModuleBaseNameAFn>(psapi, "GetModuleBaseNameA");
  HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (h == nullptr) return "";
  std::string name;
  HMODULE module = nullptr;
  DWORD needed = 0;
  if (enum_modules(h, &module, sizeof module, &needed)) {
    char buf[260] = {};
    if (base_name(h, module, buf, sizeof buf) > 0) name = buf;
  }
  CloseHandle(h);
  return name;
}

}  // namespace

TEST_F(ProcessesTest, PsapiEnumeratesIdleProcessFirstAndNamesModules) {
  SetHostProfile(Processes(VER_PLATFORM_WIN32_NT));
  HMODULE psapi = LoadLibraryA("PSAPI.DLL");
  auto enum_processes = Entry<EnumProcessesFn>(psapi, "EnumProcesses");
  ASSERT_NE(enum_processes, nullptr);
  DWORD ids[250] = {};
  DWORD bytes = 0;
  ASSERT_TRUE(enum_processes(ids, 1000, &bytes));
  ASSERT_EQ(bytes, 6 * sizeof(DWORD));
  EXPECT_EQ(std::vector<DWORD>(ids, ids + 6), (std::vector<DWORD>{0, 100, 200, 300, 400, 500}));
  // A short buffer is filled and the byte count says so.
  DWORD few[2] = {};
  ASSERT_TRUE(enum_processes(few, sizeof few, &bytes));
  EXPECT_EQ(bytes, sizeof few);

  EXPECT_EQ(BaseName(psapi, 200), "rapimgr.exe");
  // Modules that cannot be read: the process opens, its modules do not come.
  HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, 300);
  ASSERT_NE(h, nullptr);
  HMODULE module = nullptr;
  DWORD needed = 0;
  EXPECT_FALSE(Entry<EnumProcessModulesFn>(psapi, "EnumProcessModules")(h, &module, sizeof module, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(h);
  EXPECT_EQ(BaseName(psapi, 300), "");
  // Querying is allowed where terminating is not.
  EXPECT_EQ(BaseName(psapi, 400), "guarded.exe");

  // The idle process and unknown ids cannot be opened.
  EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(OpenProcess(PROCESS_TERMINATE, FALSE, 999), nullptr);
  FreeLibrary(psapi);
}

TEST_F(ProcessesTest, BaseNameIsCutToTheBufferAndNeedsQueryAccess) {
  SetHostProfile(Processes(VER_PLATFORM_WIN32_NT));
  HMODULE psapi = LoadLibraryA("PSAPI.DLL");
  auto base_name = Entry<GetModuleBaseNameAFn>(psapi, "GetModuleBaseNameA");
  HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, 100);
  char small[5];
  std::memset(small, 'x', sizeof small);
  EXPECT_EQ(base_name(h, nullptr, small, sizeof small), 4u);  // a null module is the executable
  EXPECT_STREQ(small, "expl");
  CloseHandle(h);
  h = OpenProcess(PROCESS_TERMINATE, FALSE, 100);
  char buf[32];
  EXPECT_EQ(base_name(h, nullptr, buf, sizeof buf), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(h);
  FreeLibrary(psapi);
}

TEST_F(ProcessesTest, TerminateRecordsAndRemovesOrRefuses) {
  SetHostProfile(Processes(VER_PLATFORM_WIN32_NT));
  HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, 200);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(TerminateProcess(h, 0));
  EXPECT_FALSE(TerminateProcess(h, 0));  // already gone
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(OpenProcess(PROCESS_TERMINATE, FALSE, 200), nullptr);

  EXPECT_EQ(OpenProcess(PROCESS_TERMINATE, FALSE, 400), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  h = OpenProcess(PROCESS_TERMINATE, FALSE, 500);
  ASSERT_NE(h, nullptr);
  EXPECT_FALSE(TerminateProcess(h, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(h);

  // A handle opened for querying only may not terminate.
  h = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 100);
  EXPECT_FALSE(TerminateProcess(h, 0));
  CloseHandle(h);

  EXPECT_EQ(CurrentHostRecord().terminated_pids, std::vector<uint32_t>{200});
  EXPECT_EQ(CurrentHostProfile().processes.size(), 4u);
}

TEST_F(ProcessesTest, ToolhelpSnapshotsOn9x) {
  SetHostProfile(Processes(VER_PLATFORM_WIN32_WINDOWS));
  HMODULE kernel = LoadLibraryA("Kernel32.DLL");
  auto create = Entry<CreateSnapshotFn>(kernel, "CreateToolhelp32Snapshot");
  auto p_first = Entry<Process32Fn>(kernel, "Process32First");
  auto p_next = Entry<Process32Fn>(kernel, "Process32Next");
  auto m_first = Entry<Module32Fn>(kernel, "Module32First");
  auto m_next = Entry<Module32Fn>(kernel, "Module32Next");

  HANDLE snap = create(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(snap, INVALID_HANDLE_VALUE);
  std::vector<DWORD> pids;
  std::vector<std::string> modules;
  PROCESSENTRY32 pe{};
  pe.dwSize = sizeof pe;
  for (BOOL more = p_first(snap, &pe); more; more = p_next(snap, &pe)) {
    pids.push_back(pe.th32ProcessID);
    HANDLE ms = create(TH32CS_SNAPMODULE, pe.th32ProcessID);
    if (ms == INVALID_HANDLE_VALUE) {
      modules.push_back("<refused>");
      continue;
    }
    MODULEENTRY32 me{};
    me.dwSize = sizeof me;
    int count = 0;
    for (BOOL m = m_first(ms, &me); m; m = m_next(ms, &me)) {
      modules.push_back(me.szModule);
      EXPECT_EQ(me.th32ProcessID, pe.th32ProcessID);
      ++count;
    }
    EXPECT_EQ(count, 1);
    CloseHandle(ms);
  }
  // No idle process on the 9x family; the module name is the executable as the profile writes it.
  EXPECT_EQ(pids, (std::vector<DWORD>{100, 200, 300, 400, 500}));
  EXPECT_EQ(modules, (std::vector<std::string>{"explorer.exe", "rapimgr.exe", "<refused>", "guarded.exe",
                                               "sticky.exe"}));
  // The record's size must be set; Process32First starts over.
  PROCESSENTRY32 bad{};
  EXPECT_FALSE(p_first(snap, &bad));
  ASSERT_TRUE(p_first(snap, &pe));
  EXPECT_EQ(pe.th32ProcessID, 100u);
  EXPECT_STREQ(pe.szExeFile, "explorer.exe");
  // A process snapshot is not a module snapshot.
  MODULEENTRY32 me{};
  me.dwSize = sizeof me;
  EXPECT_FALSE(m_first(snap, &me));
  CloseHandle(snap);
  FreeLibrary(kernel);
}

TEST_F(ProcessesTest, ToolhelpOnNtListsTheIdleProcess) {
  SetHostProfile(Processes(VER_PLATFORM_WIN32_NT));
  HMODULE kernel = LoadLibraryA("Kernel32.DLL");
  auto create = Entry<CreateSnapshotFn>(kernel, "CreateToolhelp32Snapshot");
  HANDLE snap = create(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32 pe{};
  pe.dwSize = sizeof pe;
  ASSERT_TRUE(Entry<Process32Fn>(kernel, "Process32First")(snap, &pe));
  EXPECT_EQ(pe.th32ProcessID, 0u);
  CloseHandle(snap);
  // A module snapshot of id 0 is one of the calling process.
  HANDLE self = create(TH32CS_SNAPMODULE, 0);
  ASSERT_NE(self, INVALID_HANDLE_VALUE);
  CloseHandle(self);
  FreeLibrary(kernel);
}
