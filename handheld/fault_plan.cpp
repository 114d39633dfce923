#include "fault_plan.h"

#include <algorithm>

namespace handheld {
namespace {

bool Listed(const std::vector<uint32_t>& list, uint32_t number) {
  return std::find(list.begin(), list.end(), number) != list.end();
}

}  // namespace

void FaultInjector::Set(const FaultPlan& plan) {
  std::lock_guard<std::mutex> lock(mu_);
  plan_ = plan;
  ++generation_;
  received_ = 0;
  sent_ = 0;
  short_sent_ = 0;
}

FaultPlan FaultInjector::Plan() const {
  std::lock_guard<std::mutex> lock(mu_);
  return plan_;
}

uint64_t FaultInjector::Generation() const {
  std::lock_guard<std::mutex> lock(mu_);
  return generation_;
}

FaultInjector::Verdict FaultInjector::OnFrameReceived() {
  std::lock_guard<std::mutex> lock(mu_);
  Verdict v;
  v.number = ++received_;
  v.lose_ack = Listed(plan_.lose_ack_of_frames, v.number);
  v.short_ack = !v.lose_ack && Listed(plan_.short_ack_of_frames, v.number);
  v.ignore = Listed(plan_.ignore_frames, v.number);
  v.silent_after = plan_.silent_after_frames != 0 && v.number == plan_.silent_after_frames;
  v.vanish_after = plan_.vanish_after_frames != 0 && v.number == plan_.vanish_after_frames;
  v.ack_delay_ms = plan_.ack_delay_ms;
  return v;
}

FaultInjector::SendVerdict FaultInjector::BeforeDataFrameSent() {
  std::lock_guard<std::mutex> lock(mu_);
  SendVerdict v;
  if (short_sent_ < plan_.short_frames_sent) {
    ++short_sent_;
    v.go_short = true;
    v.short_bytes = std::min<uint32_t>(plan_.short_frame_bytes, static_cast<uint32_t>(kFrameSize - 1));
    v.resend_ms = plan_.short_frame_resend_ms;
  }
  return v;
}

FaultInjector::SentTicket FaultInjector::CountFrameSent() {
  std::lock_guard<std::mutex> lock(mu_);
  return SentTicket{generation_, ++sent_};
}

void FaultInjector::OnFrameAcknowledged(const SentTicket& ticket, bool* vanish, bool* silent) {
  std::lock_guard<std::mutex> lock(mu_);
  const bool current = ticket.generation == generation_;
  *vanish = current && plan_.vanish_after_sent_frames != 0 && ticket.number == plan_.vanish_after_sent_frames;
  *silent = current && plan_.silent_after_sent_frames != 0 && ticket.number == plan_.silent_after_sent_frames;
}

uint32_t FaultInjector::ResendAfterPurgeMs() const {
  std::lock_guard<std::mutex> lock(mu_);
  return plan_.resend_after_purge_ms;
}

uint32_t FaultInjector::WrongPacketsBeforeCompletion() const {
  std::lock_guard<std::mutex> lock(mu_);
  return plan_.wrong_packets_before_completion;
}

uint32_t FaultInjector::CompletionDelayMs() const {
  std::lock_guard<std::mutex> lock(mu_);
  return plan_.completion_delay_ms;
}

}  // namespace handheld
