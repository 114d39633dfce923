#include "transport.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace handheld {

Transport::Transport() {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

Transport::~Transport() {
  if (wake_[0] >= 0) ::close(wake_[0]);
  if (wake_[1] >= 0) ::close(wake_[1]);
}

void Transport::RequestClose() {
  closing_.store(true);
  if (wake_[1] >= 0) {
    const char byte = 1;
    ssize_t ignored = ::write(wake_[1], &byte, 1);
    (void)ignored;
  }
  WakeBlockedRead();
}

int Transport::WaitFd(int fd, short events, int timeout_ms) {
  if (closing_.load()) return -1;
  pollfd fds[2] = {{fd, events, 0}, {wake_[0], POLLIN, 0}};
  int n = fd >= 0 ? 2 : 1;
  pollfd* first = fd >= 0 ? fds : fds + 1;
  for (;;) {
    int r = ::poll(first, static_cast<nfds_t>(n), timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    if (closing_.load()) return -1;
    if (r <= 0) return 0;
    return fd >= 0 ? fds[0].revents : 0;
  }
}

bool Transport::Pause(uint32_t ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (closing_.load()) return false;
    if (left.count() <= 0) return true;
    WaitFd(-1, 0, static_cast<int>(left.count()));
  }
}

}  // namespace handheld
