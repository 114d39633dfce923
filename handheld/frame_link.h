// The handheld's packet layer over one transport: whole frames in, each acknowledged; frames out, each
// awaiting the host's acknowledgement. Every unit is recorded and the fault plan is applied here, so
// that the protocol state machine above sees only the frames it takes.
#ifndef DRAVIK_HANDHELD_FRAME_LINK_H
#define DRAVIK_HANDHELD_FRAME_LINK_H

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "fault_plan.h"
#include "transport.h"
#include "virtual_handheld.h"
#include "wire_record.h"

namespace handheld {

using Frame = std::array<uint8_t, kFrameSize>;

// Why an exchange ended early; thrown through the state machine to the serving loop.
struct SessionEnd {
  enum class Why {
    HostGone,   // the host closed its end: start again with the next host
    Closed,     // the device end was closed (Stop, Vanish)
    Silent,     // the fault plan made the handheld fall silent
    Abandoned,  // the host sent a new frame instead of an acknowledgement: back to idle
  };
  Why why;
};

class FrameLink {
 public:
  struct Hooks {
    std::function<bool()> in_os_mode;  // re-checked for every frame
    std::function<void()> vanish;      // closes every device end (the fault plan's vanishing)
    std::function<void(const std::string&)> log;
  };

  FrameLink(Transport& transport, WireRecord& record, FaultInjector& faults, Hooks hooks);

  // The next frame the protocol takes. Frames dropped by the fault plan (lost or short acknowledgement,
  // ignored) and frames that arrive while the handheld runs its OS are handled here and skipped.
  // on_arrival, when given, runs for a frame that will be taken, before its acknowledgement goes out:
  // what it does is in place by the time the host sees the acknowledgement. The frame returned stays
  // valid until the next call.
  const Frame& ReceiveFrame(const std::function<void(const Frame&)>& on_arrival = nullptr);
  // Sends one frame and waits for the host's acknowledgement. A data frame may go out short first
  // (fault plan). When the host discards its receive queue before acknowledging, the frame is sent
  // again; when the host sends something other than four zero bytes, it has moved on: Abandoned.
  void SendFrame(const Frame& frame, bool data_frame);
  // Real-time pause that ends early when the device end closes.
  void Pause(uint32_t ms);
  // Records the bytes of a frame or acknowledgement that never completed (on the way out).
  void RecordLeftover();
  // Closes every device end, as a device that resets or is unplugged goes away (the fault plan's
  // vanishing, an image the handheld cannot store), and ends the session (Closed).
  [[noreturn]] void DropLink();

 private:
  // Makes at least n bytes available. With a time-out (ms >= 0), *timed_out tells when it ran out
  // first; with until_flush, a discard of the host's receive queue ends the wait the same way.
  void Fill(size_t n, int timeout_ms, bool* timed_out, bool until_flush = false);
  void WriteOrEnd(const uint8_t* data, size_t size);
  [[noreturn]] void End(Transport::Status status);

  Transport& transport_;
  WireRecord& record_;
  FaultInjector& faults_;
  Hooks hooks_;
  size_t Waiting() const { return in_end_ - in_pos_; }

  // Bytes received and not yet taken: in_[in_pos_, in_end_). Reads go straight into it; what is left
  // of an earlier read is moved to the front when room is needed.
  static constexpr size_t kInBytes = 4 * kFrameSize;
  std::array<uint8_t, kInBytes> in_{};
  size_t in_pos_ = 0;
  size_t in_end_ = 0;
  Frame frame_{};  // the frame ReceiveFrame returned last
};

}  // namespace handheld

#endif  // DRAVIK_HANDHELD_FRAME_LINK_H
