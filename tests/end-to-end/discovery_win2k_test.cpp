// A flashing run on a Windows 2000 host: the sync driver's interface found, the sync software's windows
// and processes closed, the link primed with one throw-away packet, and the images flashed.
#include "discovery_fixture.h"

namespace {

using namespace discovery_test;

class Windows2000 : public DiscoveryEndToEnd {};

TEST_F(Windows2000, SyncDriverRunPrimesTheLinkOnceAndClosesTheSyncSoftware) {
  w32sim::HostProfile profile = Host(5, 0);
  AddSyncSoftware(&profile);
  profile.interfaces = {HandheldInterface(handheld_.StartPty())};
  w32sim::SetHostProfile(profile);
  g_Driver = 0;

  FlashTwoImagesAndShutDown();

  // The priming packet is the very first frame, and the only one of its kind.
  const auto frames = HostFrames();
  ASSERT_GE(frames.size(), 3u);
  Bytes garbage(1520, 0);
  std::memcpy(garbage.data(), "garbage!", 8);
  EXPECT_TRUE(frames[0].bytes == garbage);
  EXPECT_EQ(1u, CountFrames("garbage!"));
  EXPECT_EQ("FF112245", Code(frames[1]));
  EXPECT_EQ("FF112249", Code(frames.back()));  // the shutdown's reset to IPL mode

  // The read time-out is forced to 500 ms for the rest of the library's life.
  EXPECT_EQ(500, g_RTimeout);
  EXPECT_EQ(2u, CountInLog("OpenComPort(): PC is not XP plus. Need Rtimeout\r\n"));

  // Windows closed by one posting each (NT family), the three executables terminated in their order,
  // everything else left alone, and no service touched.
  const auto& record = w32sim::CurrentHostRecord();
  EXPECT_EQ((std::vector<std::string>{"SyncMgrUI", "DccMan Class"}), record.window_posts);
  EXPECT_EQ((std::vector<uint32_t>{760, 745, 733}), record.terminated_pids);
  EXPECT_TRUE(record.service_events.empty());
  EXPECT_EQ(1u, CountInLog("CloseComPort(): sucessful\r\n"));
}

TEST_F(Windows2000, UsbSerialRunLeavesTheSyncSoftwareAlone) {
  w32sim::HostProfile profile = Host(5, 0);
  AddSyncSoftware(&profile);
  profile.ports = {HandheldPort(handheld_.StartPty())};
  w32sim::SetHostProfile(profile);
  g_Driver = 1;

  FlashTwoImagesAndShutDown();

  EXPECT_EQ("garbage!", Code(HostFrames().front()));
  EXPECT_EQ(1u, CountFrames("garbage!"));
  EXPECT_TRUE(w32sim::CurrentHostRecord().window_posts.empty());
  EXPECT_TRUE(w32sim::CurrentHostRecord().terminated_pids.empty());
  EXPECT_NE(std::string::npos, Log().find("OpenComPort(): Usbsys driver COM7\r\r\n"));
}

}  // namespace
