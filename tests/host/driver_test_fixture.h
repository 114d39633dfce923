// Helpers for the driver's tests: a clean library state per test, the log of the current directory, and
// a pty pair whose slave end the library uses as its link while the test plays the device on the master.
#ifndef DRAVIK_TESTS_DRIVER_TEST_FIXTURE_H
#define DRAVIK_TESTS_DRIVER_TEST_FIXTURE_H

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver/jobs.h"
#include "driver/packet_link.h"
#include "driver/state.h"
#include "platform/posix/clock.h"
#include "platform/posix/host_profile.h"
#include "test_support.h"

namespace driver_test {

// Puts the library's module state back to what a fresh load has.
inline void ResetDriverState() {
  FreeJobList(FlashState.pJobs);
  FlashState.pJobs = nullptr;
  delete[] FlashState.pJobData;
  FlashState.pJobData = nullptr;
  if (FlashState.hWorker != nullptr) {
    WaitForSingleObject(FlashState.hWorker, INFINITE);
    CloseHandle(FlashState.hWorker);
    FlashState.hWorker = nullptr;
  }
  FlashState.hLink = nullptr;
  FlashState.bLinkIsWinUsb = false;
  FlashState.nProgress.store(0);
  FlashState.nTotalBytes.store(0);
  FlashState.nBytesSent.store(0);
  FlashState.nOnePercent.store(0);
  FlashState.nCurrentFeatureId.store(0);
  FlashState.nRunOutcome.store(kRunNone);
  g_Driver = g_RTimeout = g_WTimeout = g_DebugON = g_PurgeTx = g_PurgeRx = g_WaitRx = 0;
  g_splitReadAck = g_splitReadAckSize = 0;
  ResetLinkHealth();
}

// Each test runs in a directory of its own (the log lies there) on an XP-plus host whose Windows
// directory is inside it too.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    chdir_ = std::make_unique<testing_support::ScopedChdir>(dir_.path());
    w32sim::HostProfile profile;
    profile.windows_directory = dir_.File("windows");
    mkdir(profile.windows_directory.c_str(), 0755);  // a host's Windows directory exists
    w32sim::SetHostProfile(profile);
    w32sim::SetClockScale(1000);
    ResetDriverState();
  }
  void TearDown() override {
    ResetDriverState();
    w32sim::SetClockScale(1);
    w32sim::SetTickCountOrigin(static_cast<uint32_t>(w32sim::VirtualMilliseconds()));  // a test may have moved it
    chdir_.reset();
  }
  void SetHostVersion(uint32_t major, uint32_t minor) {
    w32sim::HostProfile profile = w32sim::CurrentHostProfile();
    profile.major_version = major;
    profile.minor_version = minor;
    w32sim::SetHostProfile(profile);
  }
  std::string Log() const { return testing_support::ReadFileText(dir_.File("logfile.txt")); }
  void ClearLog() const { testing_support::WriteFileBytes(dir_.File("logfile.txt"), {}); }
  // The log entries as the formats made them. Each entry is stored followed by CR LF, and a format's
  // own "\r\n" is stored as CR CR LF, so "X\r\r\n\r\n" is the one entry "X\r\n".
  std::vector<std::string> LogLines() const {
    std::vector<std::string> pieces;
    const std::string text = Log();
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
      pieces.push_back(text.substr(start, end - start));
    }
    std::vector<std::string> lines;
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (!pieces[i].empty() && pieces[i].back() == '\r' && i + 1 < pieces.size() && pieces[i + 1].empty()) {
        lines.push_back(pieces[i] + "\n");
        ++i;
      } else {
        lines.push_back(pieces[i]);
      }
    }
    return lines;
  }
  size_t CountLogLines(const std::string& line) const {
    size_t n = 0;
    for (const std::string& l : LogLines()) n += (l == line) ? 1 : 0;
    return n;
  }
  std::string MakeFile(const std::string& name, const std::vector<uint8_t>& bytes) const {
    const std::string path = dir_.File(name);
    testing_support::WriteFileBytes(path, bytes);
    return path;
  }

  testing_support::TempDir dir_;
  std::unique_ptr<testing_support::ScopedChdir> chdir_;
};

// A pty pair: the library reads and writes the slave end as its comm port, the test is the device on
// the master end.
class PtyDevice {
 public:
  // readTimeoutMs 0: the port's reads wait until every byte is there.
  explicit PtyDevice(DWORD readTimeoutMs = 0) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) ADD_FAILURE() << "no pty";
    const char* name = ptsname(master_);
    slave_ = name != nullptr ? name : "";
    handle_ = CreateFileA(slave_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
      ADD_FAILURE() << "cannot open " << slave_;
      return;
    }
    DCB dcb;
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    GetCommState(handle_, &dcb);
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.fParity = 0;
    dcb.StopBits = ONESTOPBIT;
    dcb.fNull = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    SetCommState(handle_, &dcb);
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof(timeouts));
    timeouts.ReadTotalTimeoutConstant = readTimeoutMs;
    SetCommTimeouts(handle_, &timeouts);
  }
  ~PtyDevice() {
    // Handle values are never reused, so closing one the library has closed already is harmless.
    if (FlashState.hLink == handle_) FlashState.hLink = nullptr;
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    if (master_ >= 0) close(master_);
  }
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  HANDLE handle() const { return handle_; }
  // Hands the port to the library as its open link (as opening it would).
  void MakeLink() { FlashState.hLink = handle_; }
  // The cable is pulled: the master end goes away.
  void Vanish() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  void Write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) {
        if (n < 0 && errno == EAGAIN) continue;
        ADD_FAILURE() << "device write failed";
        return;
      }
      done += static_cast<size_t>(n);
    }
  }
  void Ack() { Write({1, 2, 3, 4}); }
  // A 1520-byte frame starting with the bytes given.
  static std::vector<uint8_t> Frame(const std::string& start) {
    std::vector<uint8_t> frame(kPacketFrameSize, 0);
    memcpy(frame.data(), start.data(), start.size() < frame.size() ? start.size() : frame.size());
    return frame;
  }
  // Reads exactly n bytes, or what came within the time allowed.
  std::vector<uint8_t> Read(size_t n, int timeoutMs = 5000) {
    std::vector<uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      uint8_t buffer[4096];
      const size_t want = n - out.size() < sizeof(buffer) ? n - out.size() : sizeof(buffer);
      ssize_t got = ::read(master_, buffer, want);
      if (got <= 0) break;
      out.insert(out.end(), buffer, buffer + got);
    }
    return out;
  }
  // Whatever arrives within the time given.
  std::vector<uint8_t> Drain(int waitMs = 50) { return Read(1 << 20, waitMs); }

 private:
  int master_ = -1;
  std::string slave_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};


// The bootloader's side of the flashing exchange, played on a PtyDevice by a thread of its own: it
// acknowledges every frame, takes the flash command's transfer size, collects the data packets and then
// sends "FF112248" (after some wrong packets, or after a delay, if asked). At every frame it notes the
// progress percent the library shows, which is the figure after the frame before.
class ScriptedBootloader {
 public:
  struct Options {
    uint32_t wrongPacketsBeforeCompletion = 0;
    int completionDelayMs = 0;
    bool sendCompletion = true;
    uint32_t vanishAtFrame = 0;   // close the device end when this frame (counted from 1) arrives
    uint32_t silentFromFrame = 0; // from this frame on, read nothing and answer nothing
  };

  ScriptedBootloader(PtyDevice& device, Options options) : device_(device), options_(options) {
    thread_ = std::thread([this] { Serve(); });
  }
  explicit ScriptedBootloader(PtyDevice& device) : ScriptedBootloader(device, Options()) {}
  ~ScriptedBootloader() { Stop(); }

  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }

  // Valid after Stop().
  std::vector<std::vector<uint8_t>> frames;                // every frame the host sent, in order
  std::vector<int32_t> progressAtFrame;                    // the percent as each frame arrived
  std::vector<int32_t> progressBeforeCompletion;           // the percent once an image's last packet was in
  std::vector<std::vector<uint8_t>> images;                // the payload of each flash command

 private:
  bool IsFlashCommand(const std::vector<uint8_t>& f) const {
    static const char* const kCodes[] = {"FF112244", "FF112245", "FF112246", "FF112247", "FF112263"};
    for (const char* code : kCodes)
      if (memcmp(f.data(), code, 8) == 0) return true;
    return false;
  }
  bool ReadFrame(std::vector<uint8_t>* frame) {
    frame->clear();
    while (!stop_.load()) {
      std::vector<uint8_t> part = device_.Read(kPacketFrameSize - frame->size(), 20);
      frame->insert(frame->end(), part.begin(), part.end());
      if (frame->size() == kPacketFrameSize) return true;
    }
    return false;
  }
  void SendAndAwaitAck(const std::vector<uint8_t>& frame) {
    device_.Write(frame);
    device_.Read(kAckSize, 5000);
  }
  // The percent once the library has counted the image's last packet: bytes sent reaches what arrived,
  // and the percent (stored right after) moves on from the figure noted when the packet came in.
  int32_t SettledPercent(int32_t before) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (FlashState.nBytesSent.load() != static_cast<int32_t>(bytesReceived_) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    const auto settle = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (FlashState.nProgress.load() == before && std::chrono::steady_clock::now() < settle)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    return FlashState.nProgress.load();
  }
  void Serve() {
    uint32_t packetsLeft = 0;
    uint32_t bytesLeft = 0;
    std::vector<uint8_t> frame;
    while (ReadFrame(&frame)) {
      progressAtFrame.push_back(FlashState.nProgress.load());
      frames.push_back(frame);
      const uint32_t number = static_cast<uint32_t>(frames.size());
      if (options_.vanishAtFrame != 0 && number == options_.vanishAtFrame) {
        device_.Vanish();
        return;
      }
      if (options_.silentFromFrame != 0 && number >= options_.silentFromFrame) {
        while (!stop_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return;
      }
      device_.Ack();
      if (packetsLeft > 0) {
        const uint32_t n = bytesLeft < kPacketFrameSize ? bytesLeft : kPacketFrameSize;
        images.back().insert(images.back().end(), frame.begin(), frame.begin() + n);
        bytesLeft -= n;
        bytesReceived_ += n;
        if (--packetsLeft == 0) {
          progressBeforeCompletion.push_back(SettledPercent(progressAtFrame.back()));
          for (uint32_t i = 0; i < options_.wrongPacketsBeforeCompletion; ++i) SendAndAwaitAck(PtyDevice::Frame("FF112254"));
          if (options_.completionDelayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(options_.completionDelayMs));
          if (options_.sendCompletion) SendAndAwaitAck(PtyDevice::Frame("FF112248"));
        }
      } else if (IsFlashCommand(frame)) {
        bytesLeft = static_cast<uint32_t>(frame[8]) | static_cast<uint32_t>(frame[9]) << 8 |
                    static_cast<uint32_t>(frame[10]) << 16 | static_cast<uint32_t>(frame[11]) << 24;
        packetsLeft = bytesLeft / kPacketFrameSize + 1;
        images.emplace_back();
      }
    }
  }

  PtyDevice& device_;
  Options options_;
  std::atomic<bool> stop_{false};
  uint32_t bytesReceived_ = 0;
  std::thread thread_;
};

// Consecutive repeats removed: the figures a poller could have seen, in order.
inline std::vector<int32_t> Distinct(const std::vector<int32_t>& values) {
  std::vector<int32_t> out;
  for (int32_t v : values)
    if (out.empty() || out.back() != v) out.push_back(v);
  return out;
}

}  // namespace driver_test

#endif  // DRAVIK_TESTS_DRIVER_TEST_FIXTURE_H
