// The private-profile service: lookups without regard to case, edits that keep the rest of the file,
// CR LF files created on first write, values cut to the buffer, and where a bare file name lies.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/posix/host_profile.h"
#include "platform/win32.h"
#include "file_modes.h"
#include "test_support.h"

namespace {

using testing_support::ReadFileText;
using testing_support::TempDir;

void WriteText(const std::string& path, const std::string& text) {
  testing_support::WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::string Get(const char* section, const char* key, const char* def, const std::string& file,
                DWORD size = 256, DWORD* result = nullptr) {
  std::string buf(size, '\x7f');
  DWORD n = GetPrivateProfileStringA(section, key, def, &buf[0], size, file.c_str());
  if (result) *result = n;
  return std::string(buf.c_str());
}

class IniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    w32sim::HostProfile profile;
    profile.windows_directory = windows_.path();
    w32sim::SetHostProfile(profile);
  }
  void TearDown() override { w32sim::SetHostProfile(w32sim::HostProfile{}); }
  TempDir windows_;
};

TEST_F(IniTest, FirstWriteCreatesACrLfFileAndReadsDoNotCreateIt) {
  std::string path = windows_.File("Tavrine_usb_flash.ini");
  EXPECT_EQ(Get("Config", "Driver", "0", "Tavrine_usb_flash.ini"), "0");
  EXPECT_NE(access(path.c_str(), F_OK), 0) << "a read must not create the file";

  ASSERT_TRUE(WritePrivateProfileStringA("Config", "Driver", "0", "Tavrine_usb_flash.ini"));
  ASSERT_TRUE(WritePrivateProfileStringA("Config", "RTimeout", "1500", "Tavrine_usb_flash.ini"));
  EXPECT_EQ(ReadFileText(path), "[Config]\r\nDriver=0\r\nRTimeout=1500\r\n");
  EXPECT_EQ(Get("Config", "RTimeout", "0", "Tavrine_usb_flash.ini"), "1500");
}

TEST_F(IniTest, NamesMatchWithoutRegardToCaseAndEditsKeepEverythingElse) {
  std::string path = windows_.File("app.ini");
  WriteText(path,
            "; settings\n[Other]\nDriver=7\n\n[CONFIG]\n  rtimeout = 12abc  \nDebugON=yes\n"
            "Quoted=\"a b\"\n\n[Last]\nx=1\n");
  EXPECT_EQ(Get("config", "RTIMEOUT", "0", path), "12abc");
  EXPECT_EQ(Get("Config", "Quoted", "", path), "a b");
  EXPECT_EQ(Get("Config", "Driver", "0", path), "0") << "a key of another section must not be found";
  EXPECT_EQ(Get("Missing", "x", "dflt  ", path), "dflt");

  // Replace a value in place, add a key to the section, add a new section.
  ASSERT_TRUE(WritePrivateProfileStringA("Config", "RTimeout", "12", path.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("config", "WTimeout", "-20", path.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("New", "k", "v", path.c_str()));
  EXPECT_EQ(ReadFileText(path),
            "; settings\r\n[Other]\r\nDriver=7\r\n\r\n[CONFIG]\r\nrtimeout=12\r\nDebugON=yes\r\n"
            "Quoted=\"a b\"\r\nWTimeout=-20\r\n\r\n[Last]\r\nx=1\r\n[New]\r\nk=v\r\n");

  // A null value removes the key, a null key the whole section.
  ASSERT_TRUE(WritePrivateProfileStringA("Config", "debugon", nullptr, path.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("last", nullptr, nullptr, path.c_str()));
  EXPECT_EQ(ReadFileText(path),
            "; settings\r\n[Other]\r\nDriver=7\r\n\r\n[CONFIG]\r\nrtimeout=12\r\n"
            "Quoted=\"a b\"\r\nWTimeout=-20\r\n\r\n[New]\r\nk=v\r\n");
  EXPECT_EQ(Get("Config", "DebugON", "gone", path), "gone");
}

TEST_F(IniTest, ValuesAndDefaultsAreCutToTheBufferLessOne) {
  std::string path = windows_.File("cut.ini");
  ASSERT_TRUE(WritePrivateProfileStringA("Config", "RTimeout", "1234567890123", path.c_str()));
  DWORD n = 0;
  EXPECT_EQ(Get("Config", "RTimeout", "0", path, 10, &n), "123456789");
  EXPECT_EQ(n, 9u);
  EXPECT_EQ(Get("Config", "Absent", "abcdefghijkl", path, 5, &n), "abcd");
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(Get("Config", "RTimeout", "0", path, 1, &n), "");
  EXPECT_EQ(n, 0u);
  char untouched = 'z';
  EXPECT_EQ(GetPrivateProfileStringA("Config", "RTimeout", "0", &untouched, 0, path.c_str()), 0u);
  EXPECT_EQ(untouched, 'z');
}

TEST_F(IniTest, SectionAndKeyListsAreDoubleNullTerminated) {
  std::string path = windows_.File("list.ini");
  WriteText(path, "[A]\r\none=1\r\ntwo=2\r\n[B]\r\n");
  char buf[64];
  DWORD n = GetPrivateProfileStringA(nullptr, nullptr, "", buf, sizeof buf, path.c_str());
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(std::string(buf, 5), std::string("A\0B\0\0", 5));
  n = GetPrivateProfileStringA("a", nullptr, "", buf, sizeof buf, path.c_str());
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(std::string(buf, 9), std::string("one\0two\0\0", 9));
  n = GetPrivateProfileStringA("a", nullptr, "", buf, 6, path.c_str());
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(buf[4], '\0');
  EXPECT_EQ(buf[5], '\0');
}

TEST_F(IniTest, AnUnwritablePlaceFailsAndLeavesTheFileAlone) {
  testing_support::FileModesBind bind;
  if (!bind.active()) GTEST_SKIP() << "file modes cannot be made to bind this thread";
  std::string path = windows_.File("ro.ini");
  WriteText(path, "[Config]\r\nDriver=1\r\n");
  chmod(path.c_str(), 0444);
  EXPECT_FALSE(WritePrivateProfileStringA("Config", "Driver", "2", path.c_str()));
  EXPECT_EQ(ReadFileText(path), "[Config]\r\nDriver=1\r\n");

  TempDir locked;
  chmod(locked.path().c_str(), 0555);
  std::string inside = locked.File("new.ini");
  EXPECT_FALSE(WritePrivateProfileStringA("Config", "Driver", "2", inside.c_str()));
  EXPECT_NE(access(inside.c_str(), F_OK), 0);
  chmod(locked.path().c_str(), 0755);
}

TEST_F(IniTest, AWriteWhereNoFileCanBeFails) {
  std::string blocker = windows_.File("plain");
  WriteText(blocker, "not a directory");
  std::string inside = blocker + "/x.ini";
  EXPECT_FALSE(WritePrivateProfileStringA("Config", "Driver", "0", inside.c_str()));
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(ReadFileText(blocker), "not a directory");
  EXPECT_EQ(Get("Config", "Driver", "5", inside), "5");
  EXPECT_FALSE(WritePrivateProfileStringA(nullptr, "k", "v", "x.ini"));
}

// The Windows directory: the host profile's, else $DRAVIK_WINDOWS_DIR, else $HOME/.dravik/windows.
TEST(IniWindowsDirectory, BareNamesResolveInTheHostsWindowsDirectory) {
  TempDir home, env_dir, cwd;
  testing_support::ScopedChdir in_cwd(cwd.path());
  // Put back on every way out, a failed assertion too: later tests of the process read them.
  struct RestoredAtEnd {
    std::string home = getenv("HOME") ? getenv("HOME") : "";
    bool had_env = getenv("DRAVIK_WINDOWS_DIR") != nullptr;
    std::string env = had_env ? getenv("DRAVIK_WINDOWS_DIR") : "";
    ~RestoredAtEnd() {
      w32sim::SetHostProfile(w32sim::HostProfile{});
      setenv("HOME", home.c_str(), 1);
      if (had_env)
        setenv("DRAVIK_WINDOWS_DIR", env.c_str(), 1);
      else
        unsetenv("DRAVIK_WINDOWS_DIR");
    }
  } restored;
  setenv("HOME", home.path().c_str(), 1);
  unsetenv("DRAVIK_WINDOWS_DIR");
  w32sim::SetHostProfile(w32sim::HostProfile{});

  ASSERT_TRUE(WritePrivateProfileStringA("S", "k", "home", "where.ini"));
  EXPECT_EQ(ReadFileText(home.path() + "/.dravik/windows/where.ini"), "[S]\r\nk=home\r\n");

  setenv("DRAVIK_WINDOWS_DIR", env_dir.path().c_str(), 1);
  ASSERT_TRUE(WritePrivateProfileStringA("S", "k", "env", "where.ini"));
  EXPECT_EQ(ReadFileText(env_dir.File("where.ini")), "[S]\r\nk=env\r\n");
  EXPECT_EQ(Get("S", "k", "", "where.ini"), "env");

  TempDir profile_dir;
  w32sim::HostProfile profile;
  profile.windows_directory = profile_dir.path();
  w32sim::SetHostProfile(profile);
  ASSERT_TRUE(WritePrivateProfileStringA("S", "k", "profile", "where.ini"));
  EXPECT_EQ(ReadFileText(profile_dir.File("where.ini")), "[S]\r\nk=profile\r\n");

  // A name with a slash is a path, relative to the current directory.
  ASSERT_TRUE(WritePrivateProfileStringA("S", "k", "here", "./where.ini"));
  EXPECT_EQ(ReadFileText(cwd.File("where.ini")), "[S]\r\nk=here\r\n");
}

}  // namespace
