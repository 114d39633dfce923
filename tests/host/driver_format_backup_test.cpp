// The format and backup exchanges against a scripted device on a pty pair: the test plays the
// bootloader's end byte by byte, so that the wire sequence, the retries, the read-back and every way of
// ending early can be asserted exactly.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver/format_backup.h"
#include "driver/jobs.h"
#include "driver/packet_link.h"
#include "driver/state.h"
#include "platform/posix/clock.h"
#include "platform/posix/host_profile.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testing_support::PatternBytes;
using testing_support::ReadFileBytes;
using testing_support::ReadFileText;

constexpr size_t kFrame = 1520;

Bytes CodeFrame(const char* code) {
  Bytes frame(kFrame, 0);
  if (code != nullptr) std::memcpy(frame.data(), code, 8);
  return frame;
}

Bytes CompletionFrame(uint32_t os, uint32_t ext, uint32_t ipl) {
  Bytes frame = CodeFrame("FF112254");
  const uint32_t sizes[3] = {os, ext, ipl};
  for (int i = 0; i < 3; ++i)
    for (int b = 0; b < 4; ++b) frame[8 + 4 * i + b] = static_cast<uint8_t>(sizes[i] >> (8 * b));
  frame[1519] = 0xC3;  // beyond the fields the host reads
  return frame;
}

// The bootloader's end of a pty pair, driven by a script on its own thread.
class ScriptedDevice {
 public:
  ScriptedDevice() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) slave_ = ptsname(master_);
  }
  ~ScriptedDevice() {
    Join();
    if (master_ >= 0) close(master_);
  }
  const std::string& SlavePath() const { return slave_; }

  void Run(std::function<void(ScriptedDevice&)> script) {
    thread_ = std::thread([this, script] { script(*this); });
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  // Up to n bytes, waiting at most timeout_ms of real time for them.
  Bytes Read(size_t n, int timeout_ms) {
    Bytes out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < n && master_ >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      uint8_t buf[4096];
      const ssize_t got = read(master_, buf, std::min(sizeof buf, n - out.size()));
      if (got <= 0) break;
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
  void Write(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size() && master_ >= 0) {
      const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }
  // One frame from the host, acknowledged unless ack is false. Empty when none came.
  Bytes ReceiveFrame(bool ack = true, int timeout_ms = 5000) {
    Bytes frame = Read(kFrame, timeout_ms);
    if (frame.size() != kFrame) return {};
    frames_.push_back(frame);
    if (ack) Write(Bytes{0xA5, 0xA5, 0xA5, 0xA5});
    return frame;
  }
  // Sends a frame; true when the host acknowledged it with four zero bytes.
  bool SendFrame(const Bytes& frame, int ack_timeout_ms = 5000) {
    Write(frame);
    return Read(4, ack_timeout_ms) == Bytes(4, 0);
  }
  // No byte from the host within the time.
  bool Quiet(int ms) { return Read(1, ms).empty(); }
  void Vanish() {
    close(master_);
    master_ = -1;
  }
  const std::vector<Bytes>& Frames() const { return frames_; }

 private:
  int master_ = -1;
  std::string slave_;
  std::thread thread_;
  std::vector<Bytes> frames_;
};

std::vector<std::string> LogLines() { return testing_support::ReadTextLines("logfile.txt"); }

size_t CountLines(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

bool HasLineStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

// Lines with the given prefix, in order.
std::vector<std::string> LinesWithPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& l : lines)
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
  return out;
}

class FormatBackupExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    chdir_ = std::make_unique<testing_support::ScopedChdir>(dir_.path());
    w32sim::SetClockScale(50);
    SetHost(5, 1);
    g_DebugON = 0;
    g_PurgeTx = 0;
    g_PurgeRx = 0;
    g_WaitRx = 0;
    g_splitReadAck = 0;
    g_splitReadAckSize = 0;
    FlashState.pJobs = nullptr;
    FlashState.nProgress.store(0);
    FlashState.nRunOutcome.store(kRunNone);
    OpenLink();
  }
  void TearDown() override {
    if (HasFailure()) {
      const auto lines = LogLines();
      for (size_t i = lines.size() > 60 ? lines.size() - 60 : 0; i < lines.size(); ++i)
        std::fprintf(stderr, "log: %s\n", lines[i].c_str());
    }
    device_.Join();
    if (IsLinkOpen(FlashState.hLink)) CloseHandle(FlashState.hLink);
    FlashState.hLink = nullptr;
    FreeJobList(FlashState.pJobs);
    FlashState.pJobs = nullptr;
    w32sim::SetClockScale(1);
  }
  static void SetHost(uint32_t major, uint32_t minor) {
    w32sim::HostProfile profile;
    profile.major_version = major;
    profile.minor_version = minor;
    w32sim::SetHostProfile(profile);
  }
  void OpenLink() {
    HANDLE h = CreateFileA(device_.SlavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << device_.SlavePath();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fParity = FALSE;
    dcb.fOutX = FALSE;  // no XON/XOFF: every byte value is data
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    COMMTIMEOUTS timeouts{};
    // Real ms: room for a loaded machine (sanitizers, parallel tests) before an acknowledgement counts as
    // lost; 12.5 s on the layer's clock at scale 50, so the minute's bound still ends a silence quickly.
    timeouts.ReadTotalTimeoutConstant = 250;
    timeouts.WriteTotalTimeoutConstant = 250;
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    FlashState.hLink = h;
  }
  // Queues a job whose file holds size bytes behind a header of headerLen bytes.
  void QueueJob(uint16_t featureId, size_t size, int32_t headerLen = 0) {
    const std::string name = dir_.File("job" + std::to_string(jobs_++) + ".bin");
    testing_support::WriteFileBytes(name, PatternBytes(size + static_cast<size_t>(headerLen)));
    ASSERT_EQ(AppendJob(&FlashState.pJobs, featureId, name.c_str(), headerLen), 0);
  }
  // Runs the backup thread on a record, as Client_BackUp does, and waits for it.
  void RunBackUpThread(int32_t type, const std::string& path) {
    Backup record{};
    record.nType = type;
    std::strncpy(record.szPath, path.c_str(), sizeof record.szPath - 1);
    HANDLE thread = CreateThread(nullptr, 0, BackUpThread, &record, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }

  testing_support::TempDir dir_;
  std::unique_ptr<testing_support::ScopedChdir> chdir_;
  ScriptedDevice device_;
  int jobs_ = 0;
};

// ---- Format ------------------------------------------------------------------------------------------

TEST_F(FormatBackupExchange, FormatWithNoQueuedJobSendsNothing) {
  EXPECT_EQ(SendFormatDisk(FlashState.hLink, 0, ""), 0);
  EXPECT_TRUE(device_.Quiet(100));
  const auto lines = LogLines();
  EXPECT_EQ(CountLines(lines, "SendFormatDisk() cmd=0"), 1u);
  EXPECT_FALSE(HasLineStartingWith(lines, "SendFormatDisk():"));
  EXPECT_EQ(CountLines(lines, "test4"), 0u);
}

struct FormatCase {
  int cmd;
  const char* code;  // null: bytes 0-7 stay zero
};

// By value (the default prints the pointer's bytes, which would change the test names with every build).
void PrintTo(const FormatCase& c, std::ostream* os) {
  *os << "type " << c.cmd << " code " << (c.code != nullptr ? c.code : "none");
}

class FormatTypes : public FormatBackupExchange, public ::testing::WithParamInterface<FormatCase> {};

// The command carries the code and the size block of the queued jobs; wrong packets are passed over until
// "FF112254"; nothing is read after it (a frame the device offers then is never acknowledged).
TEST_P(FormatTypes, SendsCodeAndSizesThenWaitsForCompletionAndReadsNothingMore) {
  QueueJob(3, 5000);      // GSM slot
  QueueJob(1, 300, 64);   // EBOOT slot, header skipped
  QueueJob(17, 1234);     // EXTROM slot
  bool extraAcked = true;
  device_.Run([&](ScriptedDevice& d) {
    d.ReceiveFrame();
    EXPECT_TRUE(d.SendFrame(CodeFrame("FF112248")));
    EXPECT_TRUE(d.SendFrame(CodeFrame("FF11225")));
    EXPECT_TRUE(d.SendFrame(CompletionFrame(0, 0, 0)));
    d.Write(PatternBytes(kFrame));
    extraAcked = d.Read(4, 300).size() == 4;
  });
  EXPECT_EQ(SendFormatDisk(FlashState.hLink, GetParam().cmd, "unused.bin"), 1);
  device_.Join();
  EXPECT_FALSE(extraAcked);

  ASSERT_EQ(device_.Frames().size(), 1u);
  Bytes expected = CodeFrame(GetParam().code);
  const uint32_t slots[5] = {5000, 300, 0, 0, 1234};
  for (int s = 0; s < 5; ++s)
    for (int b = 0; b < 4; ++b) expected[8 + 4 * s + b] = static_cast<uint8_t>(slots[s] >> (8 * b));
  EXPECT_EQ(device_.Frames()[0], expected);

  const auto lines = LinesWithPrefix(LogLines(), "SendFormatDisk");
  const std::vector<std::string> want = {
      "SendFormatDisk() cmd=" + std::to_string(GetParam().cmd),
      "SendFormatDisk():USBWritePacket",
      "SendFormatDisk(): USBReadPacket",
      "SendFormatDisk(): receive wrong packet",
      "SendFormatDisk(): USBReadPacket",
      "SendFormatDisk(): receive wrong packet",
      "SendFormatDisk(): USBReadPacket",
      "SendFormatDisk(): receive format ok",
  };
  EXPECT_EQ(lines, want);
  EXPECT_EQ(CountLines(LogLines(), "test4"), 1u);
  EXPECT_FALSE(std::ifstream("unused.bin").good());
}

INSTANTIATE_TEST_SUITE_P(Codes, FormatTypes,
                         ::testing::Values(FormatCase{0, "FF112253"}, FormatCase{4, "FF112264"},
                                           FormatCase{1, nullptr}, FormatCase{-7, nullptr}));

// Type 3 reads 65,536 bytes after the completion: 43 full packets and 176 bytes of a last one. A packet
// that arrives short is not acknowledged and is read again; the file holds the bytes in order.
TEST_F(FormatBackupExchange, FormatType3StoresTheBackupAndRetriesAShortPacket) {
  QueueJob(3, 100);
  const Bytes data = PatternBytes(65536, 7);
  device_.Run([&](ScriptedDevice& d) {
    const Bytes command = d.ReceiveFrame();
    EXPECT_EQ(std::string(command.begin(), command.begin() + 8), "FF112257");
    EXPECT_TRUE(d.SendFrame(CompletionFrame(1, 2, 3)));
    for (size_t offset = 0, packet = 0; offset < data.size(); offset += kFrame, ++packet) {
      Bytes frame(kFrame, 0xEE);
      const size_t n = std::min(kFrame, data.size() - offset);
      std::copy(data.begin() + offset, data.begin() + offset + n, frame.begin());
      if (packet == 5) {
        d.Write(Bytes(frame.begin(), frame.begin() + 1000));  // short: the host's read times out
        EXPECT_TRUE(d.Quiet(450));                            // and sends no acknowledgement (past its 250 ms),
        EXPECT_TRUE(d.SendFrame(frame));                      // so the device sends the frame again
      } else {
        if (!d.SendFrame(frame)) {
          ADD_FAILURE() << "data packet " << packet << " not acknowledged";
          return;
        }
      }
    }
  });
  EXPECT_EQ(SendFormatDisk(FlashState.hLink, 3, dir_.File("ffs.bin").c_str()), 1);
  device_.Join();
  EXPECT_EQ(ReadFileBytes(dir_.File("ffs.bin")), data);
  const auto lines = LogLines();
  EXPECT_EQ(LinesWithPrefix(lines, "ReadBackup(): Get a packet Remain=").size(), 44u);
  EXPECT_EQ(CountLines(lines, "ReadBackup(): Get a packet Remain=65536"), 1u);
  EXPECT_EQ(CountLines(lines, "ReadBackup(): Get a packet Remain=176"), 1u);
  EXPECT_EQ(CountLines(lines, "ReadBackup(): Get Backup Done!"), 1u);
}

// Type 3 erases what it reads back: with a backup file that cannot be written, nothing is sent at all.
// A writable one is probed without being changed.
TEST_F(FormatBackupExchange, FormatType3WithUnwritablePathSendsNothing) {
  QueueJob(1, 10);
  const std::string path = dir_.File("missing/dir/ffs.bin");
  bool commandSeen = true;
  device_.Run([&](ScriptedDevice& d) { commandSeen = !d.ReceiveFrame(true, 300).empty(); });
  EXPECT_EQ(SendFormatDisk(FlashState.hLink, 3, path.c_str()), 0);
  device_.Join();
  EXPECT_FALSE(commandSeen);
  const auto lines = LogLines();
  EXPECT_EQ(CountLines(lines, "ReadBackup(): Open File " + path + " Err"), 1u);
  EXPECT_EQ(CountLines(lines, "SendFormatDisk(): the backup file cannot be written, the format is not sent"), 1u);

  // A device that goes before its completion: the earlier file at the path keeps its bytes.
  const std::string kept = dir_.File("ffs.bin");
  testing_support::WriteFileBytes(kept, PatternBytes(100, 4));
  device_.Run([&](ScriptedDevice& d) {
    EXPECT_FALSE(d.ReceiveFrame().empty());
    d.Vanish();
  });
  EXPECT_EQ(SendFormatDisk(FlashState.hLink, 3, kept.c_str()), 0);
  device_.Join();
  EXPECT_EQ(ReadFileBytes(kept), PatternBytes(100, 4));
}

// A backup file that exists but cannot be read (write-only) is an earlier backup, not a new file the
// probe made: a device that goes before its completion leaves it there. (Root reads any file, so the
// case cannot be made as root.)
TEST_F(FormatBackupExchange, AWriteOnlyBackupFileOutlivesAFailedExchange) {
  if (::geteuid() == 0) GTEST_SKIP() << "root can read a write-only file";
  QueueJob(1, 10);
  const std::string kept = dir_.File("ffs.bin");
  testing_support::WriteFileBytes(kept, PatternBytes(100, 4));
  ASSERT_EQ(::chmod(kept.c_str(), 0200), 0);
  device_.Run([&](ScriptedDevice& d) {
    EXPECT_FALSE(d.ReceiveFrame().empty());
    d.Vanish();
  });
  EXPECT_EQ(SendFormatDisk(FlashState.hLink, 3, kept.c_str()), 0);
  device_.Join();
  ASSERT_EQ(::chmod(kept.c_str(), 0600), 0);
  EXPECT_EQ(ReadFileBytes(kept), PatternBytes(100, 4));
}

// On XP plus the command is written every 500 ms until the device acknowledges it, the pause coming
// before every attempt. At clock scale 5 the two acknowledgements waited for in vain take 2 x 250 real ms,
// 2,500 ms on the layer's clock: the three pauses make it 4,000 at least, which the waits alone reach only
// on a machine 280 real ms slower.
TEST_F(FormatBackupExchange, XpPlusRepeatsTheCommandUntilAcknowledged) {
  w32sim::SetClockScale(5);
  QueueJob(2, 10);
  device_.Run([&](ScriptedDevice& d) {
    d.ReceiveFrame(false);
    d.ReceiveFrame(false);
    d.ReceiveFrame(true);
    EXPECT_TRUE(d.SendFrame(CompletionFrame(0, 0, 0)));
  });
  const DWORD start = GetTickCount();
  EXPECT_EQ(SendFormatDisk(FlashState.hLink, 0, ""), 1);
  EXPECT_GE(GetTickCount() - start, 3990u);
  device_.Join();
  ASSERT_EQ(device_.Frames().size(), 3u);
  EXPECT_EQ(device_.Frames()[0], device_.Frames()[2]);
  EXPECT_EQ(CountLines(LogLines(), "SendFormatDisk():USBWritePacket"), 3u);
}

// A host that is not XP plus (Windows 2000: 5.0) writes the command once and waits whatever became of it.
TEST_F(FormatBackupExchange, NotXpPlusWritesTheCommandOnceAndStillWaits) {
  SetHost(5, 0);
  QueueJob(2, 10);
  device_.Run([&](ScriptedDevice& d) {
    d.ReceiveFrame(false);  // the acknowledgement is lost
    EXPECT_TRUE(d.Quiet(450));  // past the host's wait for the acknowledgement (250 ms), many resend pauses
    EXPECT_TRUE(d.SendFrame(CompletionFrame(0, 0, 0)));
  });
  EXPECT_EQ(SendFormatDisk(FlashState.hLink, 4, ""), 1);
  device_.Join();
  EXPECT_EQ(device_.Frames().size(), 1u);
  const auto lines = LogLines();
  EXPECT_EQ(CountLines(lines, "SendFormatDisk():USBWritePacket Not XP plus"), 1u);
  EXPECT_EQ(CountLines(lines, "SendFormatDisk():USBWritePacket"), 0u);
  EXPECT_EQ(CountLines(lines, "SendFormatDisk(): receive format ok"), 1u);
}

// The backup command is written by the same rules as the format's: repeated on XP plus until the device
// acknowledges it, written once on an older host whatever became of it.
TEST_F(FormatBackupExchange, TheBackupCommandIsRepeatedOnXpPlusAndWrittenOnceBefore) {
  const std::string path = dir_.File("none.bin");
  device_.Run([&](ScriptedDevice& d) {
    d.ReceiveFrame(false);
    d.ReceiveFrame(true);
    EXPECT_TRUE(d.SendFrame(CompletionFrame(0, 0, 0)));
  });
  EXPECT_EQ(SendBackUp(FlashState.hLink, 9, path.c_str()), 1);  // no known type: nothing to read back
  device_.Join();
  ASSERT_EQ(device_.Frames().size(), 2u);
  EXPECT_EQ(device_.Frames()[0], device_.Frames()[1]);
  EXPECT_EQ(CountLines(LogLines(), "SendBackUp():USBWritePacket"), 2u);

  SetHost(5, 0);
  device_.Run([&](ScriptedDevice& d) {
    d.ReceiveFrame(false);  // the acknowledgement is lost
    EXPECT_TRUE(d.Quiet(450));
    EXPECT_TRUE(d.SendFrame(CompletionFrame(0, 0, 0)));
  });
  EXPECT_EQ(SendBackUp(FlashState.hLink, 9, path.c_str()), 1);
  device_.Join();
  EXPECT_EQ(device_.Frames().size(), 3u);
  const auto lines = LogLines();
  EXPECT_EQ(CountLines(lines, "SendBackUp():USBWritePacket Not XP plus"), 1u);
  EXPECT_EQ(CountLines(lines, "SendBackUp():USBWritePacket"), 2u);
  EXPECT_EQ(CountLines(lines, "SendBackUp(): receive format ok"), 2u);
}

// A backup the device never confirms changes nothing at its path: an earlier backup there keeps its bytes
// (the file is written only once the device has said how much it sends), and the link of the device that
// went is closed so that the next operation opens it again.
TEST_F(FormatBackupExchange, ABackupTheDeviceNeverConfirmsLeavesTheEarlierFileAsItWas) {
  const std::string kept = dir_.File("os.bin");
  testing_support::WriteFileBytes(kept, PatternBytes(100, 4));
  device_.Run([&](ScriptedDevice& d) {
    EXPECT_FALSE(d.ReceiveFrame().empty());
    EXPECT_TRUE(d.SendFrame(CodeFrame("FF112299")));  // acknowledged: the host waits for the completion
    d.Vanish();
  });
  RunBackUpThread(2, kept);
  device_.Join();
  EXPECT_EQ(ReadFileBytes(kept), PatternBytes(100, 4));
  EXPECT_EQ(FlashState.hLink, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunIncomplete);
  EXPECT_EQ(CountLines(LogLines(), "SendBackUp(): the device is gone, no completion received"), 1u);
}

// With the debug flag the last buffer of the completion wait is dumped; the purge lines name both masks.
TEST_F(FormatBackupExchange, DebugDumpsAndPurgeLines) {
  g_DebugON = 1;
  g_PurgeTx = 1;
  g_PurgeRx = 1;
  QueueJob(2, 10);
  const Bytes completion = CompletionFrame(11, 22, 33);
  // The host purges its receive queue before every read, so a frame that lands between two reads is
  // dropped: the device sends it again until it is acknowledged.
  device_.Run([&](ScriptedDevice& d) {
    d.ReceiveFrame();
    for (const Bytes& frame : {CodeFrame("FF112299"), completion}) {
      bool acked = false;
      for (int attempt = 0; attempt < 100 && !acked; ++attempt) acked = d.SendFrame(frame, 60);
      EXPECT_TRUE(acked);
    }
  });
  EXPECT_EQ(SendFormatDisk(FlashState.hLink, 0, ""), 1);
  device_.Join();
  EXPECT_EQ(ReadFileBytes("RES_FORMAT_DONE.dat"), completion);
  EXPECT_GE(CountLines(LogLines(), "SendFormatDisk(): PurgeComm Tx=4 Rx=8"), 2u);

  g_PurgeRx = 0;
  device_.Run([&](ScriptedDevice& d) {
    d.ReceiveFrame();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(d.SendFrame(completion));
  });
  EXPECT_EQ(SendBackUp(FlashState.hLink, 9, dir_.File("none.bin").c_str()), 1);
  device_.Join();
  EXPECT_EQ(ReadFileBytes("SendBackUp_Done.dat"), completion);
  EXPECT_GE(CountLines(LogLines(), "SendBackUp(): PurgeComm Tx=4 Rx=0"), 1u);
}

// ---- Backup ------------------------------------------------------------------------------------------

struct BackupCase {
  int cmd;
  const char* code;
  uint32_t os, ext, ipl;  // sizes the completion announces
  uint32_t expected;      // bytes read back
};

void PrintTo(const BackupCase& c, std::ostream* os) {
  *os << "type " << c.cmd << " code " << (c.code != nullptr ? c.code : "none") << " sizes " << c.os << "/" << c.ext
      << "/" << c.ipl << " reads " << c.expected;
}

class BackupTypes : public FormatBackupExchange, public ::testing::WithParamInterface<BackupCase> {};

TEST_P(BackupTypes, StoresExactlyTheBytesTheTypeCallsFor) {
  const BackupCase c = GetParam();
  const Bytes data = PatternBytes(c.expected, static_cast<uint32_t>(c.cmd));
  std::vector<int32_t> seen;
  bool extraAcked = true;
  device_.Run([&](ScriptedDevice& d) {
    const Bytes command = d.ReceiveFrame();
    EXPECT_EQ(command, CodeFrame(c.code));
    EXPECT_TRUE(d.SendFrame(CompletionFrame(c.os, c.ext, c.ipl)));
    for (size_t offset = 0; offset < data.size(); offset += kFrame) {
      Bytes frame(kFrame, 0x5A);
      const size_t n = std::min(kFrame, data.size() - offset);
      std::copy(data.begin() + offset, data.begin() + offset + n, frame.begin());
      if (!d.SendFrame(frame)) {
        ADD_FAILURE() << "data packet at " << offset << " not acknowledged";
        return;
      }
      seen.push_back(FlashState.nProgress.load());
    }
    // A frame more, once the host is done (or has waited two seconds for it): it is left unread.
    for (int i = 0; i < 2000 && FlashState.nRunOutcome.load() == kRunNone; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    d.Write(PatternBytes(kFrame));
    extraAcked = d.Read(4, 200).size() == 4;
  });
  RunBackUpThread(c.cmd, dir_.File("backup.bin"));
  device_.Join();
  EXPECT_FALSE(extraAcked);
  EXPECT_EQ(ReadFileBytes(dir_.File("backup.bin")), data);
  EXPECT_EQ(FlashState.nProgress.load(), 100);
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunCompleted);
  for (int32_t p : seen) EXPECT_LE(p, 100);
  const auto lines = LogLines();
  EXPECT_EQ(CountLines(lines, "SendBackUp(): backup size=" + std::to_string(c.expected)), 1u);
  EXPECT_EQ(LinesWithPrefix(lines, "ReadBackupEx(): Get a packet Remain=").size(), (c.expected + kFrame - 1) / kFrame);
  EXPECT_EQ(CountLines(lines, "ReadBackupEx(): Get Backup Done!"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BackupTypes,
    ::testing::Values(BackupCase{0, "FF112261", 10, 20, 30, 0x60000},   // fixed, whatever is announced
                      BackupCase{1, "FF112260", 10, 20, 4000, 4000},    // the IPL size
                      BackupCase{2, "FF112259", 1520 * 3, 20, 30, 1520 * 3},
                      BackupCase{2, "FF112259", 60, 20, 30, 60},        // below 100 bytes: no one-percent unit
                      BackupCase{2, "FF112259", 150, 20, 30, 150},      // unit 1: the percent stays at most 100
                      BackupCase{3, "FF112258", 10, 20, 30, 0x500000},  // fixed
                      BackupCase{4, "FF112262", 10, 7777, 30, 7777},    // the extended-ROM size
                      BackupCase{7, nullptr, 10, 20, 30, 0}));          // unknown: all-zero command, empty file

// 3,000 bytes: two packets (1520 and 1480 bytes used), the percent 50 after the first (unit 30).
TEST_F(FormatBackupExchange, BackupProgressFollowsThePackets) {
  const Bytes data = PatternBytes(3000, 3);
  int32_t afterFirst = -1;
  device_.Run([&](ScriptedDevice& d) {
    d.ReceiveFrame();
    EXPECT_TRUE(d.SendFrame(CompletionFrame(3000, 0, 0)));
    Bytes first(data.begin(), data.begin() + 1520);
    EXPECT_TRUE(d.SendFrame(first));
    for (int i = 0; i < 200 && FlashState.nProgress.load() != 50; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    afterFirst = FlashState.nProgress.load();
    Bytes second(kFrame, 0x11);
    std::copy(data.begin() + 1520, data.end(), second.begin());
    EXPECT_TRUE(d.SendFrame(second));
  });
  RunBackUpThread(2, dir_.File("os.bin"));
  device_.Join();
  EXPECT_EQ(afterFirst, 50);
  EXPECT_EQ(FlashState.nProgress.load(), 100);
  EXPECT_EQ(ReadFileBytes(dir_.File("os.bin")), data);
  const auto lines = LogLines();
  EXPECT_EQ(LinesWithPrefix(lines, "ReadBackupEx(): Get a packet Remain="),
            (std::vector<std::string>{"ReadBackupEx(): Get a packet Remain=3000",
                                      "ReadBackupEx(): Get a packet Remain=1480"}));
}

// A read-back that went out of step: incomplete, the link cleared, and one log line, ending in the
// common words, the only word on it. Returns what that line says before them.
std::string ExpectEndedOutOfStep() {
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunIncomplete);
  COMSTAT stat{};
  EXPECT_TRUE(ClearCommError(FlashState.hLink, nullptr, &stat));
  EXPECT_EQ(stat.cbInQue, 0u) << "bytes out of step are still on the link";
  const auto lines = LogLines();
  EXPECT_EQ(CountLines(lines, "ReadBackupEx(): Get Backup Done!"), 0u);
  const std::string end = ": a packet arrived short and the data is out of step, the backup is not complete";
  std::vector<std::string> found;
  for (const auto& line : lines)
    if (line.size() > end.size() && line.compare(line.size() - end.size(), end.size(), end) == 0)
      found.push_back(line.substr(0, line.size() - end.size()));
  EXPECT_EQ(found.size(), 1u);
  return found.empty() ? std::string() : found.front();
}

// Bytes arriving right after the last announced one is acknowledged: the device sent more than the
// backup holds, so a packet went astray and the data is out of step. The backup is not complete (the
// percent stays at 99) and the bytes are discarded, so that the next exchange reads what the device sends
// next, the part of them that comes after a pause too. (The clock at half speed, so that the looks come
// 200 ms apart: the first part comes halfway between the looks at 0 and 200 ms, the second halfway
// between the first clearing and the look after it.)
TEST_F(FormatBackupExchange, BytesBeyondTheBackupEndItAsIncompleteAndAreDiscarded) {
  w32sim::SetClockScale(0.5);
  const Bytes data = PatternBytes(3 * kFrame, 4);
  Bytes after;
  device_.Run([&](ScriptedDevice& d) {
    d.ReceiveFrame();
    EXPECT_TRUE(d.SendFrame(CompletionFrame(3 * kFrame, 0, 0)));
    for (size_t offset = 0; offset < data.size(); offset += kFrame)
      EXPECT_TRUE(d.SendFrame(Bytes(data.begin() + offset, data.begin() + offset + kFrame)));
    // The rest of a resent frame, in two parts.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    d.Write(Bytes(300, 0x77));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    d.Write(Bytes(700, 0x77));
    after = d.Read(4, 800);
  });
  RunBackUpThread(2, dir_.File("os.bin"));
  device_.Join();
  EXPECT_TRUE(after.empty()) << "the bytes beyond were acknowledged";
  EXPECT_EQ(FlashState.nProgress.load(), 99);
  EXPECT_EQ(ExpectEndedOutOfStep(), "ReadBackupEx(): 1000 bytes beyond the backup's 4560 wait on the link");
}

// A frame sent short and then again whole, and a later frame sent short: the host's reads take 760 + 760
// bytes each time, so the count of bytes comes back to the announced size with the middle of the data
// shifted. The rest of the resend already waits behind the first such frame before it is acknowledged:
// that frame ends the read-back, not acknowledged, and the link is cleared.
TEST_F(FormatBackupExchange, ABackupFrameWithBytesWaitingBehindItEndsTheBackupAsIncomplete) {
  const Bytes data = PatternBytes(4 * kFrame, 5);
  Bytes ackOfFirst;
  device_.Run([&](ScriptedDevice& d) {
    d.ReceiveFrame();
    EXPECT_TRUE(d.SendFrame(CompletionFrame(4 * kFrame, 0, 0)));
    Bytes first(data.begin(), data.begin() + kFrame);
    Bytes shortThenWhole(first.begin(), first.begin() + kFrame / 2);
    shortThenWhole.insert(shortThenWhole.end(), first.begin(), first.end());
    d.Write(shortThenWhole);
    ackOfFirst = d.Read(4, 300);
  });
  RunBackUpThread(2, dir_.File("os.bin"));
  device_.Join();
  EXPECT_TRUE(ackOfFirst.empty()) << "the out-of-step frame was acknowledged";
  EXPECT_LT(FlashState.nProgress.load(), 100);
  EXPECT_TRUE(ReadFileBytes(dir_.File("os.bin")).empty()) << "the shifted frame was stored";
  // A pty may hand the resend over in pieces: the count is what had arrived by the time the link was
  // cleared, never more than the 760 bytes sent.
  const std::string what = ExpectEndedOutOfStep();
  unsigned waiting = 0;
  char rest[64] = {};
  ASSERT_EQ(std::sscanf(what.c_str(), "ReadBackupEx(): %u bytes wait behind the packet at byte 0 of 6080%63s",
                        &waiting, rest),
            1)
      << what;
  EXPECT_GE(waiting, 1u);
  EXPECT_LE(waiting, 760u);
}

// The device is not asked for an area the host cannot keep: its data would otherwise wait on the link
// and be taken for the answers of the next exchange.
TEST_F(FormatBackupExchange, BackupIntoAFileThatCannotBeCreatedAsksTheDeviceNothing) {
  const std::string path = dir_.File("no/such/dir/os.bin");
  size_t received = 1;
  device_.Run([&](ScriptedDevice& d) { received = d.Read(kFrame, 300).size(); });
  RunBackUpThread(2, path);
  device_.Join();
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunIncomplete);
  EXPECT_LT(FlashState.nProgress.load(), 100);
  EXPECT_EQ(CountLines(LogLines(), "ReadBackupEx(): Open File " + path + " Err"), 1u);
  EXPECT_EQ(CountLines(LogLines(), "SendBackUp(): the backup file cannot be written, the backup is not sent"), 1u);
}

// A device that vanishes in the middle of the read-back: the exchange ends at once, the file holds what
// arrived (never padded), the link is closed so that the next operation opens it again.
TEST_F(FormatBackupExchange, VanishingDuringTheReadBackLeavesAShortFileAndClosesTheLink) {
  const Bytes data = PatternBytes(2 * kFrame, 9);
  device_.Run([&](ScriptedDevice& d) {
    d.ReceiveFrame();
    EXPECT_TRUE(d.SendFrame(CompletionFrame(0, 0, 0)));
    EXPECT_TRUE(d.SendFrame(Bytes(data.begin(), data.begin() + kFrame)));
    EXPECT_TRUE(d.SendFrame(Bytes(data.begin() + kFrame, data.end())));
    d.Vanish();
  });
  const auto start = std::chrono::steady_clock::now();
  RunBackUpThread(0, dir_.File("eboot.bin"));
  device_.Join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(ReadFileBytes(dir_.File("eboot.bin")), data);
  EXPECT_EQ(FlashState.hLink, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunIncomplete);
  EXPECT_LT(FlashState.nProgress.load(), 100);
  EXPECT_EQ(CountLines(LogLines(), "ReadBackupEx(): the device is gone, the read-back ended early"), 1u);
}

// The read-back's line per packet is in the log as soon as the packet is taken: a read-back that then
// waits for a device gone quiet (for good, with RTimeout=0) shows in the log how far it came.
TEST_F(FormatBackupExchange, TheReadBacksLinesAreInTheLogWhileItWaits) {
  size_t lines_while_waiting = 0;
  device_.Run([&](ScriptedDevice& d) {
    d.ReceiveFrame();
    EXPECT_TRUE(d.SendFrame(CompletionFrame(20 * kFrame, 0, 0)));
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(d.SendFrame(PatternBytes(kFrame, i)));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
      lines_while_waiting = 0;
      for (const std::string& line : LogLines()) {
        if (line.rfind("ReadBackupEx(): Get a packet Remain=", 0) == 0) ++lines_while_waiting;
      }
      if (lines_while_waiting == 10) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < until);
    d.Vanish();
  });
  RunBackUpThread(2, dir_.File("os.bin"));
  device_.Join();
  EXPECT_EQ(lines_while_waiting, 10u);
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunIncomplete);
}

// 152,099 bytes: the one-percent unit is 1,520, so the 100 whole packets already make 100 units while
// 99 bytes are still to come. The percent stays at 99 until the file is complete: here it never is.
TEST_F(FormatBackupExchange, PercentReachesOneHundredOnlyWithTheLastByte) {
  const uint32_t size = 152099;
  int32_t beforeTheLast = -1;
  device_.Run([&](ScriptedDevice& d) {
    d.ReceiveFrame();
    EXPECT_TRUE(d.SendFrame(CompletionFrame(size, 0, 0)));
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(d.SendFrame(PatternBytes(kFrame, i)));
    for (int i = 0; i < 100 && FlashState.nProgress.load() < 99; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    beforeTheLast = FlashState.nProgress.load();
    d.Vanish();
  });
  RunBackUpThread(2, dir_.File("os.bin"));
  device_.Join();
  EXPECT_EQ(beforeTheLast, 99);
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunIncomplete);
  EXPECT_EQ(FlashState.nProgress.load(), 99);
}

// A device that falls silent: the read-back ends after a minute on the layer's clock without a packet;
// the link stays open (the device is not known to be gone).
TEST_F(FormatBackupExchange, SilenceDuringTheReadBackEndsWithinTheBound) {
  device_.Run([&](ScriptedDevice& d) {
    d.ReceiveFrame();
    EXPECT_TRUE(d.SendFrame(CompletionFrame(0, 0, 0)));
    EXPECT_TRUE(d.SendFrame(PatternBytes(kFrame)));
  });
  const DWORD start = GetTickCount();
  RunBackUpThread(3, dir_.File("gsm.bin"));
  const DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 60000u);
  EXPECT_LT(elapsed, 120000u);
  EXPECT_EQ(ReadFileBytes(dir_.File("gsm.bin")), PatternBytes(kFrame));
  EXPECT_TRUE(IsLinkOpen(FlashState.hLink));
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunIncomplete);
}

// A device that never acknowledges the command on XP plus: the retries end after a minute.
TEST_F(FormatBackupExchange, UnacknowledgedCommandEndsWithinTheBound) {
  QueueJob(1, 10);
  std::atomic<bool> stop{false};
  device_.Run([&](ScriptedDevice& d) {
    while (!stop.load()) d.ReceiveFrame(false, 50);
  });
  const DWORD start = GetTickCount();
  EXPECT_EQ(SendFormatDisk(FlashState.hLink, 0, ""), 0);
  const DWORD elapsed = GetTickCount() - start;
  stop.store(true);
  device_.Join();
  EXPECT_GE(elapsed, 60000u);
  EXPECT_LT(elapsed, 120000u);
  EXPECT_GE(device_.Frames().size(), 2u);
  EXPECT_EQ(CountLines(LogLines(), "SendFormatDisk(): receive format ok"), 0u);
}

// The completion wait is bounded by fifteen minutes without any packet, not by a minute: a device that
// formats for several minutes is waited for.
TEST_F(FormatBackupExchange, CompletionWaitOutlastsAMinuteButEndsAfterFifteen) {
  // At scale 1000 the host's first read for the completion ends empty after 250 real ms, 4 minutes on
  // the layer's clock (a limit of a minute would end the wait there); the completion comes at 6.7.
  w32sim::SetClockScale(1000);
  QueueJob(1, 10);
  device_.Run([&](ScriptedDevice& d) {
    d.ReceiveFrame();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_TRUE(d.SendFrame(CompletionFrame(0, 0, 0)));
  });
  EXPECT_EQ(SendFormatDisk(FlashState.hLink, 0, ""), 1);
  device_.Join();
  EXPECT_GE(CountLines(LogLines(), "SendFormatDisk(): receive format complete fail"), 1u);

  w32sim::SetClockScale(2000);

  device_.Run([&](ScriptedDevice& d) { d.ReceiveFrame(); });
  const DWORD start = GetTickCount();
  EXPECT_EQ(SendFormatDisk(FlashState.hLink, 0, ""), 0);
  const DWORD elapsed = GetTickCount() - start;
  device_.Join();
  EXPECT_GE(elapsed, 15u * 60u * 1000u);
  EXPECT_LT(elapsed, 30u * 60u * 1000u);
  EXPECT_TRUE(IsLinkOpen(FlashState.hLink));
}

// A file write that falls short (a full disk): logged, every announced byte is still read so that the link
// stays in step, the backup does not count as completed, and the next exchange on the link works. The
// backup is larger than the file's 64 KiB buffer, so the write falls short while packets still come.
TEST_F(FormatBackupExchange, FullDiskKeepsTheLinkInStep) {
  const uint32_t frames = 50;
  const uint32_t size = frames * kFrame;
  device_.Run([&](ScriptedDevice& d) {
    d.ReceiveFrame();
    EXPECT_TRUE(d.SendFrame(CompletionFrame(size, 0, 0)));
    for (uint32_t i = 0; i < frames; ++i) EXPECT_TRUE(d.SendFrame(PatternBytes(kFrame, i)));
    const Bytes next = d.ReceiveFrame();
    EXPECT_EQ(next, CodeFrame(nullptr));
    EXPECT_TRUE(d.SendFrame(CompletionFrame(0, 0, 0)));
  });
  RunBackUpThread(2, "/dev/full");
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunIncomplete);
  EXPECT_LT(FlashState.nProgress.load(), 100);
  const auto lines = LogLines();
  EXPECT_EQ(LinesWithPrefix(lines, "ReadBackupEx(): Get a packet Remain=").size(), frames);
  EXPECT_TRUE(HasLineStartingWith(lines, "ReadBackupEx(): writing the file failed after "));
  EXPECT_EQ(CountLines(lines, "ReadBackupEx(): Get Backup Done!"), 0u);

  RunBackUpThread(9, dir_.File("empty.bin"));
  device_.Join();
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunCompleted);
  EXPECT_EQ(FlashState.nProgress.load(), 100);
  EXPECT_TRUE(ReadFileBytes(dir_.File("empty.bin")).empty());
}

// A backup that fits in the file's buffer reaches the disk only when the file is closed: a failure there
// is the backup's failure all the same.
TEST_F(FormatBackupExchange, FullDiskFoundAtTheCloseIsNotACompletedBackup) {
  const uint32_t size = 20 * kFrame;
  device_.Run([&](ScriptedDevice& d) {
    d.ReceiveFrame();
    EXPECT_TRUE(d.SendFrame(CompletionFrame(size, 0, 0)));
    for (uint32_t i = 0; i < 20; ++i) EXPECT_TRUE(d.SendFrame(PatternBytes(kFrame, i)));
  });
  RunBackUpThread(2, "/dev/full");
  device_.Join();
  EXPECT_EQ(FlashState.nRunOutcome.load(), kRunIncomplete);
  EXPECT_LT(FlashState.nProgress.load(), 100);
  const auto lines = LogLines();
  EXPECT_EQ(CountLines(lines, "ReadBackupEx(): closing the file failed, its content is incomplete"), 1u);
  EXPECT_EQ(CountLines(lines, "ReadBackupEx(): the backup file is incomplete"), 1u);
  EXPECT_EQ(CountLines(lines, "ReadBackupEx(): Get Backup Done!"), 0u);
}

}  // namespace
