// The command packets on the wire: codes at bytes 0-7 and nothing else but the named fields, the
// one-packet senders' choices and log lines, and the asset-data read.
#include "driver/commands.h"
#include "driver_test_fixture.h"

namespace {

using driver_test::DriverTest;
using driver_test::PtyDevice;
using testing_support::PatternBytes;
using Bytes = std::vector<uint8_t>;

using CommandsTest = DriverTest;

TEST_F(CommandsTest, CodesAndLittleEndianFields) {
  Bytes frame(kPacketFrameSize, 0xEE);
  PutCommandCode(frame.data(), "FF112246");
  EXPECT_EQ(memcmp(frame.data(), "FF112246", 8), 0);
  EXPECT_EQ(frame[8], 0xEE) << "no terminator is copied";
  PutLe32(frame.data() + 8, 3000000);
  EXPECT_EQ(Bytes(frame.begin() + 8, frame.begin() + 12), (Bytes{0xC0, 0xC6, 0x2D, 0x00}));
  EXPECT_EQ(GetLe32(frame.data() + 8), 3000000u);

  EXPECT_TRUE(HasCommandCode(PtyDevice::Frame("FF112248anything").data(), "FF112248"));
  EXPECT_FALSE(HasCommandCode(PtyDevice::Frame("FF112247").data(), "FF112248"));
  EXPECT_FALSE(HasCommandCode(PtyDevice::Frame("FF11224").data(), "FF112248"));
  EXPECT_FALSE(HasCommandCode(PtyDevice::Frame("ff112248").data(), "FF112248"));
}

TEST_F(CommandsTest, RebootAndSetFlagSendBareCodes) {
  PtyDevice device(30);
  struct Case {
    int (*send)(HANDLE, int);
    int arg;
    const char* code;  // null: nothing is sent
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {SendRebootCmd, 1, "FF112249", {"SendRebootCmd(): Reset to IPL mode"}},
      {SendRebootCmd, 0, "FF112250", {"SendRebootCmd(): Reset to OS mode"}},
      {SendRebootCmd, 2, nullptr, {}},
      {SendSetFlagCmd, 0, "FF112265", {"SendSetFlagCmd(): 0"}},
      {SendSetFlagCmd, 1, "FF112266", {"SendSetFlagCmd(): 1"}},
      {SendSetFlagCmd, 5, nullptr, {"SendSetFlagCmd(): 5"}},
  };
  for (const Case& c : cases) {
    ClearLog();
    if (c.code != nullptr) device.Ack();
    EXPECT_EQ(c.send(device.handle(), c.arg), c.code != nullptr ? 1 : 0) << c.arg;
    EXPECT_EQ(device.Drain(), c.code != nullptr ? PtyDevice::Frame(c.code) : Bytes()) << c.arg;
    EXPECT_EQ(LogLines(), c.lines);
  }
}

TEST_F(CommandsTest, BareSendersAndTheirFailure) {
  PtyDevice device(30);
  device.Ack();
  EXPECT_EQ(SendBareCmd_FF113300(device.handle()), 1);
  EXPECT_EQ(device.Read(kPacketFrameSize), PtyDevice::Frame("FF113300"));
  device.Ack();
  EXPECT_EQ(SendBareCmd_FF112233(device.handle()), 1);
  EXPECT_EQ(device.Read(kPacketFrameSize), PtyDevice::Frame("FF112233"));
  EXPECT_EQ(Log(), "");
  // No acknowledgement: one attempt, 0, nothing more on the wire.
  EXPECT_EQ(SendRebootCmd(device.handle(), 1), 0);
  EXPECT_EQ(device.Drain(), PtyDevice::Frame("FF112249"));
  EXPECT_EQ(SendRebootCmd(nullptr, 1), 0);
}

TEST_F(CommandsTest, ReadAssetDataRetriesUntilTheAnswerArrives) {
  PtyDevice device(20);
  Bytes answer = PatternBytes(kPacketFrameSize, 8);
  std::thread bootloader([&] {
    device.Read(kPacketFrameSize);  // the first command: no acknowledgement, so it is sent again
    device.Read(kPacketFrameSize);
    device.Ack();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the first reads time out
    device.Write(answer);
    device.Read(kAckSize);
  });
  uint8_t out[300];
  memset(out, 0xCC, sizeof(out));
  EXPECT_EQ(ReadAssetData(device.handle(), out), 1);
  bootloader.join();
  EXPECT_EQ(Bytes(out, out + 225), Bytes(answer.begin(), answer.begin() + 225));
  EXPECT_EQ(out[225], 0xCC) << "225 bytes and no more";
  const std::vector<std::string> lines = LogLines();
  EXPECT_EQ(CountLogLines("SendReadAssetCmd()"), 2u);
  EXPECT_GE(CountLogLines("USBReadPacket(): asset data"), 2u);
  EXPECT_EQ(lines.back(), "USBReadPacket(): asset data Done!");
}

TEST_F(CommandsTest, ReadAssetDataGivesUpOnAVanishedDevice) {
  PtyDevice device(20);
  device.Vanish();
  uint8_t out[225];
  EXPECT_EQ(ReadAssetData(device.handle(), out), 0);
  EXPECT_EQ(CountLogLines("ReadAssetData(): the device is gone, no asset data"), 1u);
}

}  // namespace
