// The fault plan in force and its counters. The serving threads ask it, frame by frame, what to do;
// a test replaces the plan at any time (the counters then start again).
#ifndef DRAVIK_HANDHELD_FAULT_PLAN_H
#define DRAVIK_HANDHELD_FAULT_PLAN_H

#include <cstdint>
#include <mutex>

#include "virtual_handheld.h"

namespace handheld {

class FaultInjector {
 public:
  // What to do with a frame that has just arrived in full.
  struct Verdict {
    uint32_t number = 0;     // the frame's number under the current plan, from 1
    bool lose_ack = false;   // drop the frame, send nothing
    bool short_ack = false;  // drop the frame, send 3 acknowledgement bytes
    bool ignore = false;     // acknowledge and drop
    bool silent_after = false;
    bool vanish_after = false;
    uint32_t ack_delay_ms = 0;
  };
  // What to do around a frame the device is about to send.
  struct SendVerdict {
    bool go_short = false;  // a data frame that goes out short first
    uint32_t short_bytes = 0;
    uint32_t resend_ms = 0;
  };

  void Set(const FaultPlan& plan);
  FaultPlan Plan() const;
  uint64_t Generation() const;  // changes with every Set

  Verdict OnFrameReceived();
  SendVerdict BeforeDataFrameSent();
  // A frame the device sends is counted when it goes out, under the plan in force then, so that a plan
  // set while the acknowledgement of an earlier frame is still on its way does not count that frame.
  struct SentTicket {
    uint64_t generation = 0;
    uint32_t number = 0;
  };
  SentTicket CountFrameSent();
  // After the frame's acknowledgement came back: true when the device must now vanish / fall silent.
  void OnFrameAcknowledged(const SentTicket& ticket, bool* vanish, bool* silent);

  uint32_t WrongPacketsBeforeCompletion() const;
  uint32_t CompletionDelayMs() const;
  uint32_t ResendAfterPurgeMs() const;

 private:
  mutable std::mutex mu_;
  FaultPlan plan_;
  uint64_t generation_ = 0;
  uint32_t received_ = 0;
  uint32_t sent_ = 0;
  uint32_t short_sent_ = 0;
};

}  // namespace handheld

#endif  // DRAVIK_HANDHELD_FAULT_PLAN_H
