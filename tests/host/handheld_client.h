// A raw host end for the virtual handheld's tests: opens the pty slave or connects to the socket and
// moves frames and acknowledgements by hand, with real-time bounds so a fault never hangs a test.
#ifndef DRAVIK_TESTS_HOST_HANDHELD_CLIENT_H
#define DRAVIK_TESTS_HOST_HANDHELD_CLIENT_H

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "virtual_handheld.h"

namespace handheld_test {

using Frame = std::array<uint8_t, handheld::kFrameSize>;

inline Frame Command(const char* code, uint32_t size = 0, uint32_t address = 0) {
  Frame f{};
  std::memcpy(f.data(), code, std::strlen(code) < 8 ? std::strlen(code) : 8);
  for (int i = 0; i < 4; ++i) {
    f[8 + i] = static_cast<uint8_t>(size >> (8 * i));
    f[12 + i] = static_cast<uint8_t>(address >> (8 * i));
  }
  return f;
}

// A format command with the five slot sizes GSM, EBOOT, IPL, OS, EXTROM.
inline Frame FormatCommand(const char* code, std::array<uint32_t, 5> sizes) {
  Frame f{};
  if (code) std::memcpy(f.data(), code, 8);
  for (size_t s = 0; s < 5; ++s) {
    for (int i = 0; i < 4; ++i) f[8 + 4 * s + i] = static_cast<uint8_t>(sizes[s] >> (8 * i));
  }
  return f;
}

inline uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

inline std::string CodeOf(const Frame& f) { return std::string(reinterpret_cast<const char*>(f.data()), 8); }

class HostClient {
 public:
  static std::unique_ptr<HostClient> OpenPty(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::unique_ptr<HostClient>(new HostClient(fd));
  }
  static std::unique_ptr<HostClient> Connect(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      if (fd >= 0) ::close(fd);
      return nullptr;
    }
    return std::unique_ptr<HostClient>(new HostClient(fd));
  }
  ~HostClient() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd() const { return fd_; }

  bool Write(const uint8_t* data, size_t size) {
    while (size > 0) {
      ssize_t n = send_or_write(fd_, data, size);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        last_errno_ = errno;
        return false;
      }
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }
  // Reads up to size bytes, waiting at most timeout_ms (real) in all; returns the count. Sets eof()
  // when the other end reported an end (read 0 or an error).
  size_t Read(uint8_t* out, size_t size, int timeout_ms) {
    size_t got = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got < size) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() < 0) break;
      pollfd p{fd_, POLLIN, 0};
      int r = ::poll(&p, 1, static_cast<int>(left.count()));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      ssize_t n = ::read(fd_, out + got, size - got);
      if (n <= 0) {
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        eof_ = true;
        last_errno_ = n < 0 ? errno : 0;
        break;
      }
      got += static_cast<size_t>(n);
    }
    return got;
  }
  bool eof() const { return eof_; }
  int last_errno() const { return last_errno_; }

  // One frame out and its 4-byte acknowledgement back: true when both happened.
  bool SendFrame(const Frame& f, int timeout_ms = 3000) {
    if (!Write(f.data(), f.size())) return false;
    uint8_t ack[4];
    return Read(ack, 4, timeout_ms) == 4;
  }
  // One frame in, then the host's four zero bytes.
  bool ReceiveFrame(Frame* f, int timeout_ms = 3000) {
    if (Read(f->data(), f->size(), timeout_ms) != f->size()) return false;
    const uint8_t ack[4] = {0, 0, 0, 0};
    return Write(ack, 4);
  }
  // Streams a payload the way the host does: floor(n/1520)+1 frames, the last one padded with zeros.
  bool SendImage(const std::vector<uint8_t>& payload) {
    for (size_t off = 0;; off += handheld::kFrameSize) {
      Frame f{};
      size_t n = payload.size() - off < f.size() ? payload.size() - off : f.size();
      if (n > 0) std::memcpy(f.data(), payload.data() + off, n);
      if (!SendFrame(f)) return false;
      if (n < f.size()) return true;
    }
  }
  // Reads size bytes of backup data frames (the last one's rest ignored).
  bool ReceiveData(size_t size, std::vector<uint8_t>* out) {
    out->clear();
    while (out->size() < size) {
      Frame f;
      if (!ReceiveFrame(&f)) return false;
      size_t n = size - out->size() < f.size() ? size - out->size() : f.size();
      out->insert(out->end(), f.begin(), f.begin() + static_cast<long>(n));
    }
    return true;
  }
  // True when nothing arrives within ms.
  bool Quiet(int ms) {
    uint8_t b;
    return Read(&b, 1, ms) == 0;
  }

 private:
  explicit HostClient(int fd) : fd_(fd) {}
  static ssize_t send_or_write(int fd, const uint8_t* data, size_t size) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = ::write(fd, data, size);
    return n;
  }
  int fd_;
  bool eof_ = false;
  int last_errno_ = 0;
};

// Events of one kind and direction, in order.
inline std::vector<handheld::WireEvent> Only(const std::vector<handheld::WireEvent>& events,
                                             handheld::WireEvent::Direction dir, handheld::WireEvent::Kind kind) {
  std::vector<handheld::WireEvent> out;
  for (const auto& e : events) {
    if (e.direction == dir && e.kind == kind) out.push_back(e);
  }
  return out;
}

// The record once it holds at least n events (the device records the host's last acknowledgement a
// moment after the host wrote it).
inline std::vector<handheld::WireEvent> RecordOf(const handheld::VirtualHandheld& device, size_t n) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  auto events = device.Record();
  while (events.size() < n && std::chrono::steady_clock::now() < deadline) {
    ::usleep(1000);
    events = device.Record();
  }
  return events;
}

// The host starts its next frame (all zeros: a backup of a type that has no code) as soon as the
// handheld has acknowledged the only data frame of a 100-byte IPL image, while the plan holds the image's
// completion back for 200 ms: the frame waits at the handheld's end when the completion is about to go
// out. It must begin the next command: no completion goes out, and the frame's first four (zero) bytes
// are not taken for the completion's acknowledgement. The image is stored all the same.
inline void ExpectAFrameWaitingBeforeACompletionStartsTheNextCommand(handheld::VirtualHandheld& device,
                                                                     HostClient& host) {
  handheld::FaultPlan plan;
  plan.completion_delay_ms = 200;
  device.SetFaults(plan);
  const int fd = host.fd();
  std::atomic<int> acks{0};
  device.SetEventHook([&acks, fd](const handheld::WireEvent& e) {
    if (e.direction == handheld::WireEvent::Direction::DeviceToHost && e.kind == handheld::WireEvent::Kind::Ack &&
        ++acks == 2) {
      const Frame next{};
      ASSERT_EQ(::write(fd, next.data(), next.size()), static_cast<ssize_t>(next.size()));
    }
  });
  ASSERT_TRUE(host.SendFrame(Command("FF112245", 100)));
  ASSERT_TRUE(host.SendImage(testing_support::PatternBytes(100, 3)));
  uint8_t ack[4];
  ASSERT_EQ(host.Read(ack, 4, 2000), 4u);  // of the zero frame
  Frame f;
  ASSERT_TRUE(host.ReceiveFrame(&f, 2000));
  EXPECT_EQ(CodeOf(f), "FF112254");  // the zero frame's answer; no "FF112248" before it
  EXPECT_TRUE(host.Quiet(100));
  device.SetEventHook(nullptr);
  EXPECT_EQ(device.FramesSent(), 1u);
  const auto log = device.Log();
  EXPECT_NE(std::find(log.begin(), log.end(), "host began a new frame before a frame was sent; exchange abandoned"),
            log.end());
  EXPECT_EQ(device.GetStorage().StoredLength(handheld::Area::IPL), 100u);  // stored before the completion was due
}

// A virtual handheld in a temporary directory, served on a pty, and a raw host client on that pty.
class HandheldOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = std::make_unique<handheld::VirtualHandheld>(dir_.path() + "/hh");
    path_ = device_->StartPty();
    ASSERT_FALSE(path_.empty());
    host_ = HostClient::OpenPty(path_);
    ASSERT_TRUE(host_);
  }

  testing_support::TempDir dir_;
  std::unique_ptr<handheld::VirtualHandheld> device_;
  std::string path_;
  std::unique_ptr<HostClient> host_;
};

}  // namespace handheld_test

#endif  // DRAVIK_TESTS_HOST_HANDHELD_CLIENT_H
