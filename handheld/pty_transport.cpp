// The USB-serial path: a pty whose slave end the host opens as its comm port. The master is read in
// packet mode, so the handheld learns when the host discards its receive queue (PurgeComm); and the
// master's hang-up state tells when the host has closed its port.
//
// The master is a blocking descriptor: a wait for the host's next frame is one read, as it is for the
// socket's recv (a poll before every read cost the pty loop 2 - 6 % of its speed). Every wait with a
// time-out polls first, so its read never waits. A blocked read is ended by discarding the slave's
// input from a descriptor of our own, which gives the packet-mode reader a status byte: a status that
// stays until it is read, so a close asked for just before the read begins is not lost either.
//
// A pty tells no one when its slave is opened: the master's hang-up only clears. While no host is
// attached the serving thread therefore waits on an inotify watch of the slave's node, which reports
// every open, and looks at the hang-up again after each; without the watch it looks every 2 ms.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "transport.h"

namespace handheld {
namespace {

class PtyTransport : public Transport {
 public:
  PtyTransport(int master, std::string path) : master_(master), path_(std::move(path)) {
    open_watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (open_watch_ >= 0 && ::inotify_add_watch(open_watch_, path_.c_str(), IN_OPEN) < 0) {
      ::close(open_watch_);
      open_watch_ = -1;
    }
  }
  ~PtyTransport() override {
    CloseDeviceEnd();
    if (open_watch_ >= 0) ::close(open_watch_);
  }

  std::string Path() const override { return path_; }

  Status WaitForHost() override {
    // Before the slave's first open the master shows no hang-up; after the host closed its port it
    // does until the port is opened again.
    for (;;) {
      if (master_ < 0) return Status::Closed;
      // Opens reported before the look below are answered by it; one after it wakes the wait.
      DrainOpenEvents();
      int ev = WaitFd(master_, POLLIN, 0);
      if (ev < 0) return Status::Closed;
      if (!(ev & POLLHUP) || !pending_.empty()) return Status::Ok;
      if (open_watch_ < 0) {
        if (!Pause(2)) return Status::Closed;
      } else if (WaitFd(open_watch_, POLLIN, kOpenWatchLookMs) < 0) {
        return Status::Closed;
      }
    }
  }

  Status Read(uint8_t* out, size_t size, size_t* got, int timeout_ms) override {
    *got = 0;
    if (!pending_.empty()) {
      size_t n = std::min(size, pending_.size());
      std::memcpy(out, pending_.data(), n);
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n));
      *got = n;
      return Status::Ok;
    }
    for (;;) {
      if (CloseRequested() || master_ < 0) return Status::Closed;
      if (timeout_ms >= 0) {
        // With a time-out, poll says when something is there; the read then takes it without waiting.
        int ev = WaitFd(master_, POLLIN, timeout_ms);
        if (ev < 0) return Status::Closed;
        if (ev == 0) return Status::Timeout;
      }
      Status s = ReadPacket(out, size, got);
      if (s != Status::Ok || *got > 0) return CloseRequested() ? Status::Closed : s;
      // A discard of the host's receive queue is for the caller to see (HostFlushed).
      if (flushed_) return CloseRequested() ? Status::Closed : Status::Ok;
      // Another status packet only: wait again (the wait's time restarts, close enough for our uses).
    }
  }

  // The device end has at most one frame unacknowledged, far less than the pty buffers, so a write does
  // not wait in practice; it would wait for room while a host holds the port open without reading.
  Status Write(const uint8_t* data, size_t size) override {
    if (CloseRequested()) return Status::Closed;  // nothing goes out once the end is being closed
    while (size > 0) {
      if (master_ < 0) return Status::Closed;
      ssize_t n = ::write(master_, data, size);
      if (n > 0) {
        data += n;
        size -= static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      return Status::HostGone;  // EIO: the host has closed its port
    }
    return CloseRequested() ? Status::Closed : Status::Ok;
  }

  bool HostFlushed() override { return flushed_; }
  bool HasPending() const override { return !pending_.empty(); }

  void ForgetHostFlush() override {
    uint8_t buf[4096];
    for (;;) {
      if (master_ < 0) break;
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) break;
      size_t got = 0;
      if (ReadPacket(buf, sizeof buf, &got) != Status::Ok) break;
      pending_.insert(pending_.end(), buf, buf + got);
    }
    flushed_ = false;
  }

  void CloseDeviceEnd() override {
    std::lock_guard<std::mutex> lock(master_mu_);
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  // The host has closed its port. What the handheld sent that it never read stays in the pty and would
  // reach the next host to open it, as the first bytes of its answers (every acknowledgement of that run
  // a frame late); a port opens with nothing to read, so it goes now. What the old host sent and the
  // handheld has not read is left: the next host may have opened the port and written already.
  void DropHost() override {
    {
      std::lock_guard<std::mutex> lock(master_mu_);
      DiscardHostInput();
    }
    pending_.clear();
    flushed_ = false;
  }

 protected:
  // Any thread. Discarding the slave's input (the host's unread data: the end is closing anyway) sets
  // the flush status on the master, which ends a blocked read at once.
  void WakeBlockedRead() override {
    std::lock_guard<std::mutex> lock(master_mu_);
    DiscardHostInput();
  }

 private:
  // Throws away what the handheld wrote and the host has not read. Under master_mu_, so that the slave
  // opened is this pty's and not one that took the number of a closed master.
  void DiscardHostInput() {
    if (master_ < 0) return;
    int slave = ::ioctl(master_, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) slave = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) return;
    ::tcflush(slave, TCIFLUSH);
    ::close(slave);
  }

  // One read of the master in packet mode: a leading status byte, then data when the status is 0. The
  // status byte goes to a byte of its own and the data straight to `out` (one readv, no copy).
  Status ReadPacket(uint8_t* out, size_t size, size_t* got) {
    *got = 0;
    uint8_t status = 0;
    iovec parts[2] = {{&status, 1}, {out, std::min(size, kMaxPacketData)}};
    ssize_t n = ::readv(master_, parts, 2);
    if (n < 0 && errno == EINTR) return Status::Ok;
    if (n <= 0) return Status::HostGone;  // EIO: every slave descriptor is closed
    if (status != TIOCPKT_DATA) {
      if (status & TIOCPKT_FLUSHREAD) flushed_ = true;
      return Status::Ok;
    }
    *got = static_cast<size_t>(n - 1);
    return Status::Ok;
  }

  void DrainOpenEvents() {
    if (open_watch_ < 0) return;
    alignas(inotify_event) char buf[4096];
    while (::read(open_watch_, buf, sizeof buf) > 0) {
    }
  }

  // Written by the serving thread only, under master_mu_; read by other threads under it.
  std::mutex master_mu_;
  int master_;
  std::string path_;
  bool flushed_ = false;
  std::vector<uint8_t> pending_;
  static constexpr size_t kMaxPacketData = 4096;  // data bytes asked for by one read of the master
  int open_watch_ = -1;                            // inotify descriptor watching the slave's opens
  // The hang-up is looked at this often while no open is reported, in case one goes unreported.
  static constexpr int kOpenWatchLookMs = 100;
};

}  // namespace

std::unique_ptr<Transport> OpenPtyTransport(std::string* error) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) {
    *error = std::string("posix_openpt: ") + std::strerror(errno);
    return nullptr;
  }
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    *error = std::string("grantpt/unlockpt: ") + std::strerror(errno);
    ::close(master);
    return nullptr;
  }
  char name[128];
  if (::ptsname_r(master, name, sizeof name) != 0) {
    *error = std::string("ptsname: ") + std::strerror(errno);
    ::close(master);
    return nullptr;
  }
  // Raw mode on the slave at once: nothing may be translated or echoed before the host sets the line
  // up. The settings stay with the pty while the master lives, across the host's opens and closes.
  int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    *error = std::string("open slave: ") + std::strerror(errno);
    ::close(master);
    return nullptr;
  }
  termios tio{};
  bool raw_ok = ::tcgetattr(slave, &tio) == 0;
  if (raw_ok) {
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    raw_ok = ::tcsetattr(slave, TCSANOW, &tio) == 0;
  }
  ::close(slave);
  int one = 1;
  if (!raw_ok || ::ioctl(master, TIOCPKT, &one) != 0) {
    *error = std::string("pty set-up: ") + std::strerror(errno);
    ::close(master);
    return nullptr;
  }
  return std::make_unique<PtyTransport>(master, name);
}

}  // namespace handheld
