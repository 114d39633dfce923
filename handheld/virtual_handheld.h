// The virtual handheld's device end of the packet protocol: it serves the bootloader's side of the
// exchanges over a pty (the USB-serial path) and over a Unix socket (the WinUSB bulk pipes), stores what
// is flashed into its Storage directory, keeps a record of everything that crossed the wire and injects
// faults on request. It runs in-process for tests (one thread per transport) and inside the `handheld`
// program for a person.
//
// The wire: every frame is 1520 bytes; the handheld acknowledges each frame it receives in full with 4
// bytes, and after each frame it sends it waits for the host's 4-byte acknowledgement (four zero bytes)
// before it sends anything else. Commands are the ASCII codes in a frame's bytes 0-7 (protocol.h).
// While the stored mode is OS the handheld does not speak this protocol: frames are read and dropped
// without an answer.
#ifndef DRAVIK_HANDHELD_VIRTUAL_HANDHELD_H
#define DRAVIK_HANDHELD_VIRTUAL_HANDHELD_H

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "storage.h"

namespace handheld {

constexpr size_t kFrameSize = 1520;
constexpr size_t kAckSize = 4;

// One unit that crossed the wire, in order.
struct WireEvent {
  enum class Direction { HostToDevice, DeviceToHost };
  enum class Kind { Frame, Ack, Partial };  // Partial: bytes that never made a whole frame or ack
  Direction direction;
  Kind kind;
  std::vector<uint8_t> bytes;
};

// Faults to inject. Frame numbers count the frames the device has received from the host since the
// plan was set, from 1. Zero or empty means "never".
//
// A lost or shortened acknowledgement stands for a frame the handheld did not take: the frame is dropped,
// so that the host's re-send (it sends the same frame again when the acknowledgement does not come) is
// taken in its place and the exchange stays in step.
struct FaultPlan {
  std::vector<uint32_t> lose_ack_of_frames;     // receive the frame but send no acknowledgement
  std::vector<uint32_t> short_ack_of_frames;    // acknowledge with 3 bytes instead of 4
  std::vector<uint32_t> ignore_frames;          // acknowledge but do not act on the frame (it is lost)
  uint32_t wrong_packets_before_completion = 0;  // non-completion frames sent before each completion
  uint32_t completion_delay_ms = 0;             // real milliseconds before each completion frame
  uint32_t silent_after_frames = 0;             // after this many frames (the last one acknowledged):
                                                // read nothing, send nothing
  uint32_t vanish_after_frames = 0;             // close the device end on this frame (not acknowledged)
  uint32_t vanish_after_sent_frames = 0;        // after sending this many frames to the host (the last
                                                // one acknowledged by the host): close
  uint32_t short_frames_sent = 0;               // this many of the device's next data frames go out short
  // How a short data frame goes: its first short_frame_bytes bytes, then, when no acknowledgement has
  // come within short_frame_resend_ms (real), the whole frame again.
  uint32_t short_frame_bytes = 1000;
  uint32_t short_frame_resend_ms = 1000;
  uint32_t silent_after_sent_frames = 0;        // after sending this many frames: read and send nothing
  uint32_t ack_delay_ms = 0;                    // real milliseconds before every acknowledgement
  // A frame the host purged unread goes out again once the device has noticed the purge (it looks every
  // 50 ms while it waits for the acknowledgement) and this many real milliseconds more have passed with
  // nothing from the host: a device slow to send again, so that the host's next command comes first.
  uint32_t resend_after_purge_ms = 0;
};

struct Transport;

class VirtualHandheld {
 public:
  explicit VirtualHandheld(const std::string& directory);
  ~VirtualHandheld();
  VirtualHandheld(const VirtualHandheld&) = delete;
  VirtualHandheld& operator=(const VirtualHandheld&) = delete;

  // The handheld's directory. The serving threads use it too; change it while no exchange runs.
  Storage& GetStorage();

  // Starts serving on a new pty; returns the path of its slave end (what the host opens as its port).
  // A pty already served is closed first (its path goes away, as when the cable is replugged).
  // Empty when no pty could be made.
  std::string StartPty();
  // Starts serving on a Unix socket at the given path (the WinUSB bulk pipes); returns the path, empty
  // on failure. One host connection at a time; after it closes the next one is accepted.
  std::string StartSocket(const std::string& path);
  // Closes every transport's device end, as if the cable were pulled. Start* may be called again.
  // Also allowed from the event hook (then it takes effect when the hook returns).
  void Vanish();
  // Stops serving and waits for the serving threads.
  void Stop();

  std::string PtyPath() const;     // empty when no pty is served
  std::string SocketPath() const;  // empty when no socket is served

  // Replaces the fault plan; its frame counters start again and a silence it caused ends.
  void SetFaults(const FaultPlan& plan);
  std::vector<WireEvent> Record() const;
  void ClearRecord();
  // Frames received from the host since the start (or the last ClearRecord).
  uint32_t FramesReceived() const;
  // Frames sent to the host since the start (or the last ClearRecord).
  uint32_t FramesSent() const;
  // When the first of those frames from the host arrived, and when the host acknowledged the latest
  // frame the handheld sent (the completion of a flash, the last frame of a backup); the clock's epoch
  // while there was none. They time an exchange from its command to its end without a thread polling
  // the counts while it runs.
  std::chrono::steady_clock::time_point FirstFrameReceivedAt() const;
  std::chrono::steady_clock::time_point LastAckReceivedAt() const;
  // Waits (real time) until at least n frames were received / sent; false when the time ran out.
  bool WaitForFramesReceived(uint32_t n, uint32_t timeout_ms) const;
  bool WaitForFramesSent(uint32_t n, uint32_t timeout_ms) const;
  // false: frames are recorded with their first 40 bytes only (code and size fields), for long runs.
  void SetRecordWholeFrames(bool whole);
  // Called on the serving thread after every recorded event; it may call Vanish(), StartPty() or
  // SetFaults(). Once SetEventHook returns, no call of the previous hook is still running.
  void SetEventHook(std::function<void(const WireEvent&)> hook);

  // What the handheld holds in memory from the commands it took.
  int32_t Flag() const;                          // last set-flag value (0 or 1); -1 before any
  std::array<uint8_t, 32> LastFormatSizes() const;  // size block of the last format command; zeros before
  uint32_t FormatCount() const;                  // format commands acted on (known type)
  // One line per notable thing the handheld did or refused ("stored 3000 bytes in GSM", ...).
  std::vector<std::string> Log() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace handheld

#endif  // DRAVIK_HANDHELD_VIRTUAL_HANDHELD_H
