// The packet link over a pty pair whose master end the test plays as the device: frames and
// acknowledgements, the multiple-of-64 rule, split reads bounded to the frame, and link health.
#include <chrono>

#include "driver/packet_link.h"
#include "driver_test_fixture.h"

namespace {

using driver_test::DriverTest;
using driver_test::PtyDevice;
using testing_support::PatternBytes;

using PacketLinkTest = DriverTest;
using Bytes = std::vector<uint8_t>;

Bytes Zeros(size_t n) { return Bytes(n, 0); }

TEST_F(PacketLinkTest, WritePacketSendsAZeroPaddedFrameAndWaitsForFourBytes) {
  PtyDevice device(50);
  const Bytes full = PatternBytes(kPacketFrameSize, 3);
  device.Ack();
  EXPECT_EQ(USBWritePacket(device.handle(), full.data(), kPacketFrameSize), 1);
  EXPECT_EQ(device.Read(kPacketFrameSize), full);

  device.Ack();
  EXPECT_EQ(USBWritePacket(device.handle(), full.data(), 0), 1);
  EXPECT_EQ(device.Read(kPacketFrameSize), Zeros(kPacketFrameSize));

  device.Write({0xFF, 0xFF, 0xFF, 0xFF});  // the acknowledgement's content does not matter
  EXPECT_EQ(USBWritePacket(device.handle(), reinterpret_cast<const uint8_t*>("garbage!"), 8), 1);
  EXPECT_EQ(device.Read(kPacketFrameSize), PtyDevice::Frame("garbage!"));

  EXPECT_EQ(USBWritePacket(device.handle(), full.data(), kPacketFrameSize + 1), 0);
  EXPECT_EQ(USBWritePacket(device.handle(), nullptr, 10), 0);
  EXPECT_TRUE(device.Drain().empty()) << "bad arguments write nothing";
  EXPECT_EQ(Log(), "") << "and log nothing";
}

TEST_F(PacketLinkTest, ShortAcknowledgementFailsTheWrite) {
  PtyDevice device(30);
  device.Write({9, 9, 9});
  EXPECT_EQ(USBWritePacket(device.handle(), PatternBytes(100).data(), 100), 0);
  EXPECT_EQ(device.Read(kPacketFrameSize).size(), kPacketFrameSize) << "the frame itself went out";
  EXPECT_FALSE(IsDeviceGone()) << "a time-out is not a vanished device";
}

TEST_F(PacketLinkTest, ReadPacketTakesAWholeFrameAndAcknowledgesWithZeros) {
  PtyDevice device(30);
  const Bytes frame = PatternBytes(kPacketFrameSize, 7);
  Bytes buffer(kPacketFrameSize);
  device.Write(frame);
  EXPECT_EQ(USBReadPacket(device.handle(), buffer.data(), kPacketFrameSize - 1), 0);
  EXPECT_TRUE(device.Drain().empty());
  EXPECT_EQ(USBReadPacket(device.handle(), buffer.data(), kPacketFrameSize), 1) << "the frame was left alone";
  EXPECT_EQ(buffer, frame);
  EXPECT_EQ(device.Read(kAckSize), Zeros(kAckSize));

  device.Write(PatternBytes(1000));
  EXPECT_EQ(USBReadPacket(device.handle(), buffer.data(), kPacketFrameSize), 0);
  EXPECT_TRUE(device.Drain().empty()) << "no acknowledgement for a short frame";
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 1000, PatternBytes(1000).begin()));
}

TEST_F(PacketLinkTest, DebugLinesOnlyWithDebugOn) {
  PtyDevice device;
  Bytes buffer(kPacketFrameSize);
  device.Ack();
  USBWritePacket(device.handle(), buffer.data(), 10);
  device.Write(Zeros(kPacketFrameSize));
  USBReadPacket(device.handle(), buffer.data(), kPacketFrameSize);
  EXPECT_EQ(Log(), "");

  g_DebugON = 1;
  device.Drain();
  device.Ack();
  USBWritePacket(device.handle(), buffer.data(), 10);
  device.Write(Zeros(kPacketFrameSize));
  USBReadPacket(device.handle(), buffer.data(), kPacketFrameSize);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"USBWritePacket(): Begin", "USBWritePacket(): USBReadData 4",
                                                  "USBReadPacket(): Begin", "USBReadPacket(): USBReadData 1520",
                                                  "USBReadPacket(): USBWriteData 4"}));
}

TEST_F(PacketLinkTest, MultipleOf64TransfersCarryOneByteMore) {
  PtyDevice device(30);
  const Bytes data = PatternBytes(200);
  EXPECT_EQ(USBWriteData(device.handle(), data.data(), 64), 64);
  EXPECT_EQ(device.Drain(), Bytes(data.begin(), data.begin() + 65));
  EXPECT_EQ(USBWriteData(device.handle(), data.data(), 100), 100);
  EXPECT_EQ(device.Drain().size(), 100u);
  EXPECT_EQ(USBWriteData(device.handle(), nullptr, 4), 0);
  EXPECT_EQ(USBReadData(device.handle(), nullptr, 4), 0);

  // USBReadPacketV2 of 128 bytes asks for 129: 129 bytes there make it fail, 128 make it succeed.
  g_DebugON = 1;
  Bytes buffer(128);
  device.Write(PatternBytes(129));
  EXPECT_EQ(USBReadPacketV2(device.handle(), buffer.data(), 128), 0);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), PatternBytes(128).begin()));
  device.Write(PatternBytes(128, 1));
  EXPECT_EQ(USBReadPacketV2(device.handle(), buffer.data(), 128), 1);
  EXPECT_EQ(buffer, PatternBytes(128, 1));
  EXPECT_EQ(device.Read(kAckSize), Zeros(kAckSize));
  EXPECT_EQ(CountLogLines("USBReadPacketV2(): USBReadData 129"), 1u);
  EXPECT_EQ(CountLogLines("USBReadPacketV2(): USBReadData 128"), 1u);
  EXPECT_EQ(CountLogLines("USBReadPacketV2(): USBWriteData 4"), 1u);
}

std::vector<std::string> PieceLines(const std::vector<std::string>& lines) {
  std::vector<std::string> pieces;
  for (const std::string& l : lines)
    if (l.rfind("USBReadPacket(): USBReadData ", 0) == 0) pieces.push_back(l.substr(29));
  return pieces;
}

TEST_F(PacketLinkTest, SplitReadStoresThePiecesInOrderAndAcknowledgesOnce) {
  PtyDevice device;
  g_splitReadAck = 1;
  g_splitReadAckSize = 1000;
  const Bytes frame = PatternBytes(kPacketFrameSize, 11);
  Bytes buffer(kPacketFrameSize);
  device.Write(frame);
  ASSERT_EQ(USBReadPacket(device.handle(), buffer.data(), kPacketFrameSize), 1);
  EXPECT_EQ(buffer, frame);
  EXPECT_EQ(PieceLines(LogLines()), (std::vector<std::string>{"1000", "520"}));
  EXPECT_EQ(device.Drain(), Zeros(kAckSize));
}

TEST_F(PacketLinkTest, SplitReadPieceSizes) {
  struct Case {
    int32_t size;
    std::vector<std::string> pieces;
  };
  std::vector<std::string> sixtyFour(23, "65");  // 64 is asked for as 65
  sixtyFour.push_back("25");
  const std::vector<Case> cases = {
      {64, sixtyFour},
      {1456, {"1456", "63", "1"}},  // 64 left: asking 65 would reach into the next frame
      {5000, {"1520"}},
      {-1, {"1520"}},
  };
  for (const Case& c : cases) {
    PtyDevice device(50);
    ClearLog();
    g_splitReadAck = 1;
    g_splitReadAckSize = c.size;
    const Bytes first = PatternBytes(kPacketFrameSize, 1);
    const Bytes second = PatternBytes(kPacketFrameSize, 2);
    device.Write(first);
    device.Write(second);
    Bytes buffer(kPacketFrameSize);
    ASSERT_EQ(USBReadPacket(device.handle(), buffer.data(), kPacketFrameSize), 1) << c.size;
    EXPECT_EQ(buffer, first) << c.size;
    EXPECT_EQ(PieceLines(LogLines()), c.pieces) << c.size;
    ASSERT_EQ(USBReadPacket(device.handle(), buffer.data(), kPacketFrameSize), 1) << c.size;
    EXPECT_EQ(buffer, second) << "no byte of the second frame went to the first, size " << c.size;
    EXPECT_EQ(device.Drain(), Zeros(2 * kAckSize));
  }
}

TEST_F(PacketLinkTest, SplitReadOfSizeZeroReadsByteByByte) {
  PtyDevice device;
  g_splitReadAck = 1;
  g_splitReadAckSize = 0;
  const Bytes frame = PatternBytes(kPacketFrameSize, 5);
  device.Write(frame);
  Bytes buffer(kPacketFrameSize);
  ASSERT_EQ(USBReadPacket(device.handle(), buffer.data(), kPacketFrameSize), 1);
  EXPECT_EQ(buffer, frame);
  EXPECT_EQ(PieceLines(LogLines()), std::vector<std::string>(kPacketFrameSize, "1"));
}

TEST_F(PacketLinkTest, SplitReadOfASilentDeviceEnds) {
  PtyDevice device(20);
  g_splitReadAck = 1;
  g_splitReadAckSize = 100;
  Bytes buffer(kPacketFrameSize);
  // Nothing at all: the first piece brings nothing and the read fails like a whole read.
  EXPECT_EQ(USBReadPacket(device.handle(), buffer.data(), kPacketFrameSize), 0);
  EXPECT_EQ(PieceLines(LogLines()), (std::vector<std::string>{"0"}));

  // Part of a frame, then silence: the read goes on until the link has been quiet for a minute of the
  // layer's clock, then gives up without acknowledging.
  ClearLog();
  device.Write(PatternBytes(700));
  ResetLinkHealth();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(USBReadPacket(device.handle(), buffer.data(), kPacketFrameSize), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_GE(MillisecondsSinceLastSuccess(), kLinkQuietLimitMs);
  EXPECT_TRUE(device.Drain().empty());
  const std::vector<std::string> pieces = PieceLines(LogLines());
  ASSERT_GE(pieces.size(), 8u);
  EXPECT_EQ(std::vector<std::string>(pieces.begin(), pieces.begin() + 7), std::vector<std::string>(7, "100"));
}

// Until the port holds at least n received bytes, within two seconds.
bool WaitForQueued(HANDLE port, DWORD n) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (;;) {
    COMSTAT stat{};
    if (ClearCommError(port, nullptr, &stat) && stat.cbInQue >= n) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// USBReadPacket, given five seconds: a read that waits longer for a receive event (which has no time-out)
// fails the test and is ended by pulling the device away.
int ReadPacketWithin5s(PtyDevice& device, Bytes& buffer) {
  std::atomic<int> result{-1};
  std::thread reader([&] { result.store(USBReadPacket(device.handle(), buffer.data(), kPacketFrameSize)); });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (result.load() < 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (result.load() < 0) {
    ADD_FAILURE() << "the read still waits for a receive event";
    device.Vanish();
  }
  reader.join();
  return result.load();
}

// With g_WaitRx the read arms the receive event and waits for it, but only while nothing is queued: the
// event reports bytes that arrive after it was armed or last reported, so a frame already queued (whole,
// or the rest of one whose first piece has been read) would never end the wait. The skipped wait is
// logged as one that ended at once.
TEST_F(PacketLinkTest, WaitRxArmsAndWaitsForTheReceiveEvent) {
  PtyDevice device;
  g_WaitRx = 1;
  const Bytes frame = PatternBytes(kPacketFrameSize, 5);
  Bytes buffer(kPacketFrameSize);
  device.Write(frame);
  ASSERT_TRUE(WaitForQueued(device.handle(), kPacketFrameSize));
  ASSERT_EQ(ReadPacketWithin5s(device, buffer), 1);
  EXPECT_EQ(buffer, frame);
  EXPECT_EQ(device.Read(kAckSize), Zeros(kAckSize));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"USBReadPacket(): SetCommMask", "USBReadPacket(): WaitCommEvent Evt=0x1"}));

  // Split: the whole frame is queued before the first piece.
  ClearLog();
  g_splitReadAck = 1;
  g_splitReadAckSize = 760;
  device.Write(frame);
  ASSERT_TRUE(WaitForQueued(device.handle(), kPacketFrameSize));
  ASSERT_EQ(ReadPacketWithin5s(device, buffer), 1);
  EXPECT_EQ(buffer, frame);
  EXPECT_EQ(device.Read(kAckSize), Zeros(kAckSize));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"USBReadPacket(): SetCommMask", "USBReadPacket(): WaitCommEvent Evt=0x1",
                                                  "USBReadPacket(): USBReadData 760", "USBReadPacket(): WaitCommEvent Evt=0x1",
                                                  "USBReadPacket(): USBReadData 760"}));

  // Nothing queued: the read waits until the device sends, one piece at a time.
  ClearLog();
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    device.Write(Bytes(frame.begin(), frame.begin() + 760));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    device.Write(Bytes(frame.begin() + 760, frame.end()));
  });
  const auto start = std::chrono::steady_clock::now();
  const int result = ReadPacketWithin5s(device, buffer);
  const auto took = std::chrono::steady_clock::now() - start;
  sender.join();
  ASSERT_EQ(result, 1);
  EXPECT_GE(took, std::chrono::milliseconds(150));
  EXPECT_EQ(buffer, frame);
  EXPECT_EQ(PieceLines(LogLines()), (std::vector<std::string>{"760", "760"}));
  EXPECT_EQ(CountLogLines("USBReadPacket(): WaitCommEvent Evt=0x1"), 2u);
}

TEST_F(PacketLinkTest, HealthTracksSuccessesAndAVanishedDevice) {
  PtyDevice device(20);
  ResetLinkHealth();
  EXPECT_FALSE(IsDeviceGone());
  EXPECT_EQ(LinkRetryEndReason(kLinkQuietLimitMs), nullptr);
  Bytes buffer(kPacketFrameSize);
  EXPECT_EQ(USBReadPacket(device.handle(), buffer.data(), kPacketFrameSize), 0);  // timed out
  EXPECT_FALSE(IsDeviceGone());
  Sleep(kLinkQuietLimitMs);  // a minute of the layer's clock
  EXPECT_GE(MillisecondsSinceLastSuccess(), kLinkQuietLimitMs);
  EXPECT_STREQ(LinkRetryEndReason(kLinkQuietLimitMs), "the device has not answered for too long");
  device.Ack();
  EXPECT_EQ(USBWritePacket(device.handle(), buffer.data(), 1), 1);
  EXPECT_LT(MillisecondsSinceLastSuccess(), kLinkQuietLimitMs);

  device.Vanish();
  EXPECT_EQ(USBWritePacket(device.handle(), buffer.data(), 1), 0);
  EXPECT_TRUE(IsDeviceGone());
  EXPECT_STREQ(LinkRetryEndReason(kLinkQuietLimitMs), "the device is gone");
  ResetLinkHealth();
  EXPECT_FALSE(IsDeviceGone());
}

TEST_F(PacketLinkTest, RawReadTriesAgainUntilItsBudgetOfSecondsIsSpent) {
  PtyDevice device(20);  // each read gives up after 20 ms
  Bytes buffer(8);
  uint32_t count = 0;
  // A budget of 0: exactly one transfer, whatever it brought.
  device.Write({1, 2, 3});
  EXPECT_EQ(USBReadRaw(device.handle(), buffer.data(), 8, &count, 0), 0);
  EXPECT_EQ(count, 3u);

  // A budget of seconds: transfers go on until every byte is in ...
  w32sim::SetClockScale(1);
  std::thread late([&device] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    device.Write({4, 5, 6, 7, 8});
  });
  EXPECT_EQ(USBReadRaw(device.handle(), buffer.data(), 5, &count, 5), 1);
  late.join();
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 5), Bytes({4, 5, 6, 7, 8}));

  // ... or the budget is spent on the platform clock (a read of 20 ms is 2 s there).
  w32sim::SetClockScale(100);
  const DWORD start = GetTickCount();
  EXPECT_EQ(USBReadRaw(device.handle(), buffer.data(), 8, &count, 3), 0);
  EXPECT_GE(GetTickCount() - start, 3000u);
  EXPECT_EQ(count, 0u);
}

TEST_F(PacketLinkTest, VistaMovesBytesThroughWinUsbOnlyForTheSyncDriversDevice) {
  SetHostVersion(6, 0);
  PtyDevice device(20);
  Bytes buffer(kPacketFrameSize);
  // A serial port opened for the USB-serial driver is read and written as a file on Vista as well.
  FlashState.bLinkIsWinUsb = false;
  device.Ack();
  EXPECT_EQ(USBWritePacket(device.handle(), buffer.data(), 1), 1);
  EXPECT_EQ(device.Read(kPacketFrameSize).size(), kPacketFrameSize);

  // The sync driver's device goes through the pipes; before InitWinUSB there are none.
  FlashState.bLinkIsWinUsb = true;
  EXPECT_EQ(USBWritePacket(device.handle(), buffer.data(), 1), 0);
  EXPECT_TRUE(IsDeviceGone());
  EXPECT_TRUE(device.Drain().empty());

  // Before Vista the flag does not matter.
  SetHostVersion(5, 1);
  device.Ack();
  EXPECT_EQ(USBWritePacket(device.handle(), buffer.data(), 1), 1);
}

}  // namespace
