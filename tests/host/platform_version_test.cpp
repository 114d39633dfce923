// Versions come from the host profile, so a test can be any host class.
#include <gtest/gtest.h>

#include "platform/posix/host_profile.h"
#include "platform/win32.h"

namespace {

class VersionTest : public ::testing::Test {
 protected:
  void TearDown() override { w32sim::SetHostProfile(w32sim::HostProfile{}); }
  void Host(uint32_t major, uint32_t minor, uint32_t build, uint32_t platform = VER_PLATFORM_WIN32_NT) {
    w32sim::HostProfile p;
    p.major_version = major;
    p.minor_version = minor;
    p.build_number = build;
    p.platform_id = platform;
    w32sim::SetHostProfile(p);
  }
};

TEST_F(VersionTest, GetVersionPacksMajorMinorAndBuild) {
  Host(5, 0, 2195);
  EXPECT_EQ(GetVersion(), 0x08930005u);
  Host(5, 1, 2600);
  EXPECT_EQ(GetVersion() & 0xFFu, 5u);
  EXPECT_EQ((GetVersion() >> 8) & 0xFFu, 1u);
  EXPECT_EQ(GetVersion() >> 16, 2600u);
  Host(6, 1, 7601);
  EXPECT_EQ(GetVersion() & 0xFFFFu, 0x0106u);
  // The 9x family sets the top bit.
  Host(4, 10, 2222, VER_PLATFORM_WIN32_WINDOWS);
  EXPECT_EQ(GetVersion() & 0xFFFFu, 0x0A04u);
  EXPECT_NE(GetVersion() & 0x80000000u, 0u);
}

TEST_F(VersionTest, GetVersionExFillsTheRecordOrRefuses) {
  Host(6, 0, 6002);
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(info.dwMajorVersion, 6u);
  EXPECT_EQ(info.dwMinorVersion, 0u);
  EXPECT_EQ(info.dwBuildNumber, 6002u);
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  EXPECT_EQ(info.szCSDVersion[0], '\0');

  OSVERSIONINFOA wrong{};
  wrong.dwOSVersionInfoSize = sizeof wrong - 1;
  EXPECT_FALSE(GetVersionExA(&wrong));
  EXPECT_EQ(wrong.dwMajorVersion, 0u) << "a refused query fills nothing";
  EXPECT_FALSE(GetVersionExA(nullptr));

  w32sim::HostProfile p;
  p.version_query_fails = true;
  w32sim::SetHostProfile(p);
  OSVERSIONINFOA failing{};
  failing.dwOSVersionInfoSize = sizeof failing;
  EXPECT_FALSE(GetVersionExA(&failing));
  EXPECT_EQ(failing.dwMajorVersion, 0u);
}

}  // namespace
