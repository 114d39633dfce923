// The simulated CE services: file names and dispositions, the registry's UTF-16 values and their size
// rule, run-time binding, the extended version query, debug-output formatting, boxes, heap faults.
#include <cstring>

#include "device_fixture.h"
#include "wince.h"

namespace {

class CePlatformTest : public DeviceTest {};

TEST_F(CePlatformTest, FileNamesMapIntoTheSdCardAndTheRootFolder) {
  const std::string dir = cesim::HandheldDirectory();
  EXPECT_EQ(cesim::HostPath(u"\\Storage Card\\img\\os.nb0"), dir + "/sdcard/img/os.nb0");
  EXPECT_EQ(cesim::HostPath(u"\\storage card\\os.nb0"), dir + "/sdcard/os.nb0");
  EXPECT_EQ(cesim::HostPath(u"LangID.dat"), dir + "/root/LangID.dat");
  EXPECT_EQ(cesim::HostPath(u"\\Windows\\x.txt"), dir + "/root/Windows/x.txt");
  EXPECT_EQ(cesim::HostPath(u"\\Storage Cards\\x"), dir + "/root/Storage Cards/x");
  EXPECT_EQ(cesim::HostPath(u"\\Storage Card\\..\\mode"), "");
  EXPECT_EQ(CreateFileW(u"..\\mode", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
}

TEST_F(CePlatformTest, FilesReadWriteAndSizeWithTheirDispositions) {
  const auto name = Sd("f.bin");
  EXPECT_EQ(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  HANDLE w = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(w, INVALID_HANDLE_VALUE);
  const char text[] = "abc\r\ndef";
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(w, text, 8, &written, nullptr));
  EXPECT_EQ(written, 8u);
  EXPECT_TRUE(CloseHandle(w));
  EXPECT_FALSE(CloseHandle(w));
  EXPECT_EQ(FromSd("f.bin"), std::vector<uint8_t>(text, text + 8));  // no text translation

  HANDLE r = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(r, INVALID_HANDLE_VALUE);
  DWORD high = 9;
  EXPECT_EQ(GetFileSize(r, &high), 8u);
  EXPECT_EQ(high, 0u);
  char back[16] = {};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(r, back, 5, &got, nullptr));
  EXPECT_EQ(got, 5u);
  ASSERT_TRUE(ReadFile(r, back + 5, 16, &got, nullptr));
  EXPECT_EQ(got, 3u);
  ASSERT_TRUE(ReadFile(r, back, 16, &got, nullptr));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(std::memcmp(back, "abc\r\ndef", 3), 0);
  cesim::SetFileSizeFails(true);
  EXPECT_EQ(GetFileSize(r, nullptr), INVALID_FILE_SIZE);
  EXPECT_NE(GetLastError(), static_cast<DWORD>(NO_ERROR));
  CloseHandle(r);

  EXPECT_EQ(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
  HANDLE t = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(t, INVALID_HANDLE_VALUE);
  CloseHandle(t);
  EXPECT_EQ(FromSd("f.bin").size(), 0u);  // CREATE_ALWAYS truncates
}

TEST_F(CePlatformTest, InjectedShortReadsAndWrites) {
  PutOnSd("g.bin", std::vector<uint8_t>(100, 1));
  HANDLE r = CreateFileW(Sd("g.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  std::vector<uint8_t> buffer(100);
  DWORD got = 0;
  cesim::LimitFileReads(30);
  ASSERT_TRUE(ReadFile(r, buffer.data(), 100, &got, nullptr));
  EXPECT_EQ(got, 30u);
  ASSERT_TRUE(ReadFile(r, buffer.data(), 100, &got, nullptr));
  EXPECT_EQ(got, 0u);
  CloseHandle(r);
  HANDLE w = CreateFileW(Sd("h.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  cesim::LimitFileWrites(10);
  ASSERT_TRUE(WriteFile(w, buffer.data(), 100, &got, nullptr));
  EXPECT_EQ(got, 10u);
  CloseHandle(w);
}

TEST_F(CePlatformTest, RegistryValuesAreUtf16WithTheirTerminatorAndMustFit) {
  const std::string key = "HKLM\\Software\\VARN\\Extended_ROM";
  HKEY h = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\VARN\\Extended_ROM", 0, 0, &h), ERROR_FILE_NOT_FOUND);
  Handheld().SetRegistryValue(key, "Version", "A\xC3\xA9" + std::string(28, 'z'));  // 30 characters
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"software\\varn\\extended_rom", 0, 0, &h), ERROR_SUCCESS);
  BYTE data[64];
  std::memset(data, 0xCC, sizeof data);
  DWORD size = 64, type = 0;
  ASSERT_EQ(RegQueryValueExW(h, u"Version", nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 62u);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(data[0], 'A');
  EXPECT_EQ(data[1], 0);
  EXPECT_EQ(data[2], 0xE9);  // U+00E9
  EXPECT_EQ(data[3], 0x00);
  EXPECT_EQ(data[60], 0);
  EXPECT_EQ(data[61], 0);
  EXPECT_EQ(data[62], 0xCC);

  Handheld().SetRegistryValue(key, "Version", std::string(32, 'q'));
  std::memset(data, 0xCC, sizeof data);
  size = 64;
  EXPECT_EQ(RegQueryValueExW(h, u"Version", nullptr, &type, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 66u);
  EXPECT_EQ(data[0], 'q');  // not defined on CE: here the part that fits, with no terminator
  EXPECT_EQ(data[62], 'q');
  EXPECT_EQ(data[63], 0);
  size = 64;
  EXPECT_EQ(RegQueryValueExW(h, u"Missing", nullptr, &type, data, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_NE(RegCloseKey(h), ERROR_SUCCESS);
}

TEST_F(CePlatformTest, KernelIoControlIsFoundInCoredllUnlessAbsent) {
  HMODULE core = LoadLibraryW(u"COREDLL.DLL");
  ASSERT_NE(core, nullptr);
  FARPROC proc = GetProcAddressW(core, u"KernelIoControl");
  ASSERT_NE(proc, nullptr);
  EXPECT_EQ(GetProcAddressW(core, u"KernelLibIoControl"), nullptr);
  EXPECT_EQ(LoadLibraryW(u"ceddk.dll"), nullptr);
  cesim::SetKernelIoControlMissing(true);
  EXPECT_EQ(GetProcAddressW(core, u"KernelIoControl"), nullptr);
  cesim::SetLibraryMissing(true);
  EXPECT_EQ(LoadLibraryW(u"coredll.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(CePlatformTest, TheVersionQueryFillsOnlyItsTwoRanges) {
  Handheld().SetRegistryValue("HAL\\VersionEx", "Platform", "P1");
  Handheld().SetRegistryValue("HAL\\VersionEx", "Build", std::string(40, 'b'));  // cut to 31 characters
  std::vector<uint8_t> buffer(468, 0x5A);
  DWORD returned = 0;
  ASSERT_TRUE(KernelIoControl(IOCTL_HAL_GET_VERSION_EX, buffer.data(), 468, buffer.data(), 468, &returned));
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 12), std::vector<uint8_t>(12, 0x5A));
  EXPECT_EQ(buffer[12], 'P');
  EXPECT_EQ(buffer[14], '1');
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 16, buffer.begin() + 76), std::vector<uint8_t>(60, 0));
  EXPECT_EQ(buffer[76], 0x5A);
  EXPECT_EQ(buffer[140 + 60], 'b');
  EXPECT_EQ(buffer[140 + 62], 0);
  EXPECT_EQ(buffer[204], 0x5A);
  EXPECT_FALSE(KernelIoControl(IOCTL_HAL_GET_VERSION_EX, buffer.data(), 468, buffer.data(), 100, &returned));
  EXPECT_FALSE(KernelIoControl(0x01010000, nullptr, 0, buffer.data(), 468, &returned));
  cesim::SetVersionQueryFails(true);
  EXPECT_FALSE(KernelIoControl(IOCTL_HAL_GET_VERSION_EX, buffer.data(), 468, buffer.data(), 468, &returned));
}

TEST_F(CePlatformTest, DebugOutputFormatsWideTextLikePrintf) {
  NKDbgPrintfW(u"%s:CreateFile(DSK1) failed\r\n", u"WriteIPLCode");
  NKDbgPrintfW(u"[%d|%u|%x|%X|%5d|%-4s|%c|%S|%%]\r\n", -7, 4000000000u, 255, 255, 42, u"ab", u'\x00e9', "narrow");
  NKDbgPrintfW(u"WriteIPLCode:%d kb\r", 3);
  EXPECT_EQ(Log(),
            "WriteIPLCode:CreateFile(DSK1) failed\r\n"
            "[-7|4000000000|ff|FF|   42|ab  |\xC3\xA9|narrow|%]\r\n"
            "WriteIPLCode:3 kb\r");
  cesim::ClearDebugOutput();
  EXPECT_EQ(Log(), "");
}

TEST_F(CePlatformTest, MessageBoxesAreRecordedAndReturnAtOnce) {
  EXPECT_EQ(MessageBoxW(nullptr, u"Load COREDLL.DLL fail!", u"Error", MB_OK), IDOK);
  auto boxes = cesim::MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Load COREDLL.DLL fail!");
  EXPECT_EQ(boxes[0].caption, "Error");
}

TEST_F(CePlatformTest, HeapFaultsAndTheClock) {
  cesim::FailAllocation(1, 2);
  HLOCAL a = LocalAlloc(LPTR, 16);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(static_cast<uint8_t*>(a)[15], 0);
  EXPECT_EQ(LocalAlloc(LMEM_FIXED, 16), nullptr);
  EXPECT_EQ(LocalAlloc(LMEM_FIXED, 16), nullptr);
  HLOCAL b = LocalAlloc(LMEM_FIXED, 16);
  EXPECT_NE(b, nullptr);
  LocalFree(a);
  LocalFree(b);
  Sleep(250);
  Sleep(50);
  EXPECT_EQ(cesim::SleptMilliseconds(), 300u);
}

}  // namespace
