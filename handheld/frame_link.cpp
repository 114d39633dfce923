#include "frame_link.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

namespace handheld {
namespace {

constexpr uint8_t kAck[kAckSize] = {0, 0, 0, 0};
using Dir = WireEvent::Direction;
using Kind = WireEvent::Kind;

}  // namespace

FrameLink::FrameLink(Transport& transport, WireRecord& record, FaultInjector& faults, Hooks hooks)
    : transport_(transport), record_(record), faults_(faults), hooks_(std::move(hooks)) {}

void FrameLink::End(Transport::Status status) {
  throw SessionEnd{status == Transport::Status::Closed ? SessionEnd::Why::Closed : SessionEnd::Why::HostGone};
}

// n <= kInBytes (see the header for the rest).
void FrameLink::Fill(size_t n, int timeout_ms, bool* timed_out, bool until_flush) {
  if (timed_out) *timed_out = false;
  if (Waiting() >= n) return;
  if (in_pos_ > 0) {
    std::memmove(in_.data(), in_.data() + in_pos_, Waiting());
    in_end_ -= in_pos_;
    in_pos_ = 0;
  }
  // A wait without a time-out (every frame from the host) makes no clock call.
  std::chrono::steady_clock::time_point deadline;
  if (timeout_ms >= 0) deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Waiting() < n) {
    int wait = -1;
    if (timeout_ms >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      wait = static_cast<int>(std::max<int64_t>(0, left.count()));
    }
    size_t got = 0;
    Transport::Status s = transport_.Read(in_.data() + in_end_, kInBytes - in_end_, &got, wait);
    if (s == Transport::Status::Timeout || (timeout_ms >= 0 && wait == 0 && got == 0)) {
      if (timed_out) *timed_out = true;
      return;
    }
    if (s != Transport::Status::Ok) End(s);
    in_end_ += got;
    if (until_flush && Waiting() < n && transport_.HostFlushed()) {
      if (timed_out) *timed_out = true;
      return;
    }
  }
}

void FrameLink::WriteOrEnd(const uint8_t* data, size_t size) {
  Transport::Status s = transport_.Write(data, size);
  if (s != Transport::Status::Ok) End(s);
}

const Frame& FrameLink::ReceiveFrame(const std::function<void(const Frame&)>& on_arrival) {
  Frame& frame = frame_;
  for (;;) {
    Fill(kFrameSize, -1, nullptr);
    std::memcpy(frame.data(), in_.data() + in_pos_, kFrameSize);
    in_pos_ += kFrameSize;
    record_.Add(Dir::HostToDevice, Kind::Frame, frame.data(), frame.size());
    FaultInjector::Verdict v = faults_.OnFrameReceived();
    if (v.vanish_after) {
      // The cable goes with this frame: it is not acknowledged (an acknowledgement written just before
      // the close could be lost or not, as the host happened to read it).
      if (hooks_.log) hooks_.log("vanishing after frame " + std::to_string(v.number));
      DropLink();
    }
    if (hooks_.in_os_mode && hooks_.in_os_mode()) continue;  // the OS does not speak the protocol
    bool taken = !v.lose_ack && !v.short_ack && !v.ignore;
    if (taken && on_arrival) on_arrival(frame);
    if (v.ack_delay_ms > 0) Pause(v.ack_delay_ms);
    if (v.short_ack) {
      WriteOrEnd(kAck, kAckSize - 1);
      record_.Add(Dir::DeviceToHost, Kind::Partial, kAck, kAckSize - 1);
    } else if (!v.lose_ack) {
      WriteOrEnd(kAck, kAckSize);
      record_.Add(Dir::DeviceToHost, Kind::Ack, kAck, kAckSize);
    }
    if (v.silent_after) {
      if (hooks_.log) hooks_.log("falling silent after frame " + std::to_string(v.number));
      throw SessionEnd{SessionEnd::Why::Silent};
    }
    if (transport_.CloseRequested()) throw SessionEnd{SessionEnd::Why::Closed};
    if (!taken) continue;
    return frame;
  }
}

void FrameLink::SendFrame(const Frame& frame, bool data_frame) {
  // Whatever the host discarded before this point does not concern this frame. Host bytes already
  // waiting, here or taken in by the transport just now, mean that the host has begun something new: it
  // is not waiting for this frame, and the first four bytes of its new frame must not be taken for the
  // acknowledgement of this one.
  transport_.ForgetHostFlush();
  if (Waiting() > 0 || transport_.HasPending()) {
    if (hooks_.log) hooks_.log("host began a new frame before a frame was sent; exchange abandoned");
    throw SessionEnd{SessionEnd::Why::Abandoned};
  }
  FaultInjector::SendVerdict sv = data_frame ? faults_.BeforeDataFrameSent() : FaultInjector::SendVerdict{};
  const FaultInjector::SentTicket ticket = faults_.CountFrameSent();
  bool acked = false;
  // The host's flush was just forgotten above; it needs forgetting again only before a frame goes out
  // once more (after a short one, or after a purge).
  bool again = false;
  if (sv.go_short) {
    WriteOrEnd(frame.data(), sv.short_bytes);
    record_.Add(Dir::DeviceToHost, Kind::Partial, frame.data(), sv.short_bytes);
    bool timed_out = false;
    Fill(kAckSize, static_cast<int>(sv.resend_ms), &timed_out);
    acked = !timed_out;  // an acknowledgement of a short frame: the host took it as it was
    again = true;
  }
  while (!acked) {
    if (again) transport_.ForgetHostFlush();
    again = true;
    WriteOrEnd(frame.data(), frame.size());
    record_.Add(Dir::DeviceToHost, Kind::Frame, frame.data(), frame.size());
    // Wait for the acknowledgement; a purge of the host's receive queue meanwhile may have thrown the
    // frame away, so it goes out again (after the plan's resend_after_purge_ms). Until a purge is seen
    // the wait has no time-out (the purge ends it), so that an acknowledgement is one read, as a frame
    // is; from then on it waits 50 ms at a time, and a wait that ends without the acknowledgement notes
    // the purge and looks whether the time to send again has come.
    std::optional<std::chrono::steady_clock::time_point> purge_noticed;
    bool timed_waits = false;
    for (;;) {
      bool timed_out = false;
      if (!timed_waits) {
        Fill(kAckSize, -1, &timed_out, true);
        if (timed_out) {
          timed_waits = true;
          continue;
        }
      } else {
        Fill(kAckSize, 50, &timed_out);
      }
      if (!timed_out) {
        acked = true;
        break;
      }
      if (transport_.HostFlushed() && Waiting() == 0) {
        const auto now = std::chrono::steady_clock::now();
        if (!purge_noticed) purge_noticed = now;
        if (now - *purge_noticed < std::chrono::milliseconds(faults_.ResendAfterPurgeMs())) continue;
        if (hooks_.log) hooks_.log("host discarded a frame unread; sending it again");
        break;
      }
    }
  }
  const uint8_t* ack = in_.data() + in_pos_;
  if (std::memcmp(ack, kAck, kAckSize) != 0) {
    // Not an acknowledgement: the first bytes of the host's next frame. Leave them for the idle loop.
    if (hooks_.log) hooks_.log("host sent a frame instead of an acknowledgement; exchange abandoned");
    throw SessionEnd{SessionEnd::Why::Abandoned};
  }
  record_.Add(Dir::HostToDevice, Kind::Ack, ack, kAckSize);
  in_pos_ += kAckSize;
  bool vanish = false, silent = false;
  faults_.OnFrameAcknowledged(ticket, &vanish, &silent);
  if (vanish) {
    if (hooks_.log) hooks_.log("vanishing after a sent frame");
    DropLink();
  }
  if (silent) {
    if (hooks_.log) hooks_.log("falling silent after a sent frame");
    throw SessionEnd{SessionEnd::Why::Silent};
  }
  if (transport_.CloseRequested()) throw SessionEnd{SessionEnd::Why::Closed};
}

void FrameLink::Pause(uint32_t ms) {
  if (!transport_.Pause(ms)) throw SessionEnd{SessionEnd::Why::Closed};
}

void FrameLink::DropLink() {
  if (hooks_.vanish) hooks_.vanish();
  throw SessionEnd{SessionEnd::Why::Closed};
}

void FrameLink::RecordLeftover() {
  if (Waiting() > 0) record_.Add(Dir::HostToDevice, Kind::Partial, in_.data() + in_pos_, Waiting());
  in_pos_ = in_end_ = 0;
}

}  // namespace handheld

