// The device end of one link to the host: a pty master (the USB-serial path) or a Unix stream socket
// (the WinUSB bulk pipes). Only the serving thread reads and writes; any thread may ask it to close.
#ifndef DRAVIK_HANDHELD_TRANSPORT_H
#define DRAVIK_HANDHELD_TRANSPORT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace handheld {

struct Transport {
  enum class Status { Ok, Timeout, HostGone, Closed };

  Transport();
  virtual ~Transport();
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // What the host opens: the pty's slave path or the socket path.
  virtual std::string Path() const = 0;
  // Blocks until a host is there (pty: the slave end is open; socket: a connection was accepted).
  virtual Status WaitForHost() = 0;
  // Reads what has arrived, at most `size` bytes, waiting up to timeout_ms (-1: no limit) for the first.
  // It may also return Ok with nothing read when the host has discarded its receive queue (HostFlushed).
  virtual Status Read(uint8_t* out, size_t size, size_t* got, int timeout_ms) = 0;
  // Writes all bytes (waiting while the host does not read).
  virtual Status Write(const uint8_t* data, size_t size) = 0;
  // True when the host has discarded its receive queue since the last ForgetHostFlush (pty only): what
  // the device had sent and the host had not read yet is gone.
  virtual bool HostFlushed() { return false; }
  // Takes in what has arrived so far without waiting and clears the flush flag (before a frame goes out).
  virtual void ForgetHostFlush() {}
  // True when bytes taken in by ForgetHostFlush wait for the next Read (pty only).
  virtual bool HasPending() const { return false; }
  // The current host is done with (socket: its connection is closed; pty: nothing to do).
  virtual void DropHost() {}
  // Closes the device end; the serving thread calls it on its way out (the destructor too).
  virtual void CloseDeviceEnd() = 0;

  // Any thread: makes every waiting and future operation return Closed.
  void RequestClose();
  bool CloseRequested() const { return closing_.load(); }
  // Waits up to ms real milliseconds; false when closing was requested meanwhile.
  bool Pause(uint32_t ms);

 protected:
  // Called by RequestClose after the closing flag is set: a transport that blocks in a read of its own
  // (not in WaitFd) makes that read return here.
  virtual void WakeBlockedRead() {}
  int WakeFd() const { return wake_[0]; }
  // Waits for `events` on fd (or the wake-up); returns the revents, 0 on time-out, -1 when closing.
  int WaitFd(int fd, short events, int timeout_ms);

 private:
  std::atomic<bool> closing_{false};
  int wake_[2] = {-1, -1};
};

// A new pty whose slave end is in raw mode from the start; nullptr (and *error) on failure.
std::unique_ptr<Transport> OpenPtyTransport(std::string* error);
// A listening Unix stream socket at path (a stale socket file there is replaced).
std::unique_ptr<Transport> OpenSocketTransport(const std::string& path, std::string* error);

}  // namespace handheld

#endif  // DRAVIK_HANDHELD_TRANSPORT_H
