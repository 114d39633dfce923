// The WinUSB path: a Unix stream socket carrying the bulk OUT pipe (host to handheld) and the bulk IN
// pipe (handheld to host). One host connection at a time; when it closes the next one is accepted.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "transport.h"

namespace handheld {
namespace {

class SocketTransport : public Transport {
 public:
  SocketTransport(int listener, std::string path) : listener_(listener), path_(std::move(path)) {}
  ~SocketTransport() override { CloseDeviceEnd(); }

  std::string Path() const override { return path_; }

  Status WaitForHost() override {
    while (conn_ < 0) {
      if (listener_ < 0) return Status::Closed;
      int ev = WaitFd(listener_, POLLIN, -1);
      if (ev < 0) return Status::Closed;
      if (ev == 0) continue;
      // The connection is blocking: a read without a time-out is one recv. What must not block asks
      // with MSG_DONTWAIT.
      int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) {
        std::lock_guard<std::mutex> lock(conn_mu_);
        conn_ = c;
        if (CloseRequested()) ::shutdown(conn_, SHUT_RDWR);  // a close asked for meanwhile
      }
    }
    return Status::Ok;
  }

  Status Read(uint8_t* out, size_t size, size_t* got, int timeout_ms) override {
    *got = 0;
    for (;;) {
      if (CloseRequested()) return Status::Closed;
      if (conn_ < 0) return Status::HostGone;
      // Without a time-out the read blocks in recv itself (RequestClose shuts the connection down to end
      // it); with one, what is there is taken at once and poll waits for the rest.
      ssize_t n = ::recv(conn_, out, size, timeout_ms < 0 ? 0 : MSG_DONTWAIT);
      if (n > 0) {
        *got = static_cast<size_t>(n);
        return Status::Ok;
      }
      if (CloseRequested()) return Status::Closed;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        int ev = WaitFd(conn_, POLLIN, timeout_ms);
        if (ev < 0) return Status::Closed;
        if (ev == 0) return Status::Timeout;
        continue;
      }
      return Status::HostGone;  // orderly close or reset
    }
  }

  Status Write(const uint8_t* data, size_t size) override {
    if (CloseRequested()) return Status::Closed;  // nothing goes out once the end is being closed
    while (size > 0) {
      if (conn_ < 0) return Status::HostGone;
      ssize_t n = ::send(conn_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        data += n;
        size -= static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (WaitFd(conn_, POLLOUT, 100) < 0) return Status::Closed;
        continue;
      }
      return CloseRequested() ? Status::Closed : Status::HostGone;
    }
    return CloseRequested() ? Status::Closed : Status::Ok;
  }

  // Host bytes the kernel holds for the connection, not read yet: the host has begun a new frame.
  bool HasPending() const override {
    int queued = 0;
    return conn_ >= 0 && ::ioctl(conn_, FIONREAD, &queued) == 0 && queued > 0;
  }

  void DropHost() override {
    std::lock_guard<std::mutex> lock(conn_mu_);
    if (conn_ >= 0) ::close(conn_);
    conn_ = -1;
  }

  void CloseDeviceEnd() override {
    DropHost();
    if (listener_ >= 0) {
      ::close(listener_);
      ::unlink(path_.c_str());
    }
    listener_ = -1;
  }

 protected:
  // Any thread: a recv blocked on the connection returns (0 bytes) once it is shut down.
  void WakeBlockedRead() override {
    std::lock_guard<std::mutex> lock(conn_mu_);
    if (conn_ >= 0) ::shutdown(conn_, SHUT_RDWR);
  }

 private:
  int listener_;
  // Set and closed by the serving thread only, under conn_mu_ so that RequestClose on another thread
  // never shuts down a descriptor number that has been closed (and perhaps reused).
  std::mutex conn_mu_;
  int conn_ = -1;
  std::string path_;
};

}  // namespace

std::unique_ptr<Transport> OpenSocketTransport(const std::string& path, std::string* error) {
  sockaddr_un addr{};
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    *error = "socket path empty or too long: " + path;
    return nullptr;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *error = "not a socket, left alone: " + path;
      return nullptr;
    }
    ::unlink(path.c_str());  // a socket left behind by an earlier run
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return nullptr;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
    *error = "bind/listen " + path + ": " + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<SocketTransport>(fd, path);
}

}  // namespace handheld
