// Top-level windows of the simulated host: found by class name, WM_CLOSE posts recorded, and windows
// closing after the number of posts the profile gives (or never).
#include <gtest/gtest.h>

#include "platform/posix/host_profile.h"
#include "platform/win32.h"

using namespace w32sim;

TEST(SimulatedWindows, FindByClassAndCloseOnWmClose) {
  HostProfile p;
  p.windows = {{"SyncMgrUI", true, 1}, {"DccMan Class", true, 3}, {"Stubborn", false, 1}};
  SetHostProfile(p);
  HWND sync = FindWindowA("SyncMgrUI", nullptr);
  ASSERT_NE(sync, nullptr);
  EXPECT_EQ(FindWindowA("syncmgrui", nullptr), sync);  // class names compare without regard to case
  EXPECT_EQ(FindWindowA("NoSuchClass", nullptr), nullptr);

  EXPECT_TRUE(PostMessageA(sync, WM_CLOSE, 0, 0));
  EXPECT_EQ(FindWindowA("SyncMgrUI", nullptr), nullptr);
  EXPECT_FALSE(PostMessageA(sync, WM_CLOSE, 0, 0));  // the window is gone

  // Three posts are needed; other messages are delivered but not counted.
  HWND dcc = FindWindowA("DccMan Class", nullptr);
  ASSERT_NE(dcc, nullptr);
  EXPECT_NE(dcc, sync);
  EXPECT_TRUE(PostMessageA(dcc, 0x0400, 1, 2));
  EXPECT_TRUE(PostMessageA(dcc, WM_CLOSE, 0, 0));
  EXPECT_TRUE(PostMessageA(dcc, WM_CLOSE, 0, 0));
  EXPECT_EQ(FindWindowA("DccMan Class", nullptr), dcc);
  EXPECT_TRUE(PostMessageA(dcc, WM_CLOSE, 0, 0));
  EXPECT_EQ(FindWindowA("DccMan Class", nullptr), nullptr);

  HWND stubborn = FindWindowA("Stubborn", nullptr);
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(PostMessageA(stubborn, WM_CLOSE, 0, 0));
  EXPECT_EQ(FindWindowA("Stubborn", nullptr), stubborn);

  EXPECT_EQ(CurrentHostRecord().window_posts,
            (std::vector<std::string>{"SyncMgrUI", "DccMan Class", "DccMan Class", "DccMan Class", "Stubborn",
                                      "Stubborn", "Stubborn", "Stubborn", "Stubborn", "Stubborn"}));
  EXPECT_FALSE(PostMessageA(nullptr, WM_CLOSE, 0, 0));
}

TEST(SimulatedWindows, HandlesFromAnEarlierProfileAreStale) {
  HostProfile p;
  p.windows = {{"SyncMgrUI", true, 1}};
  SetHostProfile(p);
  HWND old = FindWindowA("SyncMgrUI", nullptr);
  SetHostProfile(p);
  HWND fresh = FindWindowA("SyncMgrUI", nullptr);
  EXPECT_NE(old, fresh);
  EXPECT_FALSE(PostMessageA(old, WM_CLOSE, 0, 0));
  EXPECT_TRUE(CurrentHostRecord().window_posts.empty());
  EXPECT_TRUE(PostMessageA(fresh, WM_CLOSE, 0, 0));
}
