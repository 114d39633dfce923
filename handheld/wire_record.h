// The wire record: every frame, acknowledgement and stray piece that crossed the link, in order, for
// tests to assert the bytes the host sent and what the handheld answered. Thread-safe: the serving
// threads append while a test reads.
#ifndef DRAVIK_HANDHELD_WIRE_RECORD_H
#define DRAVIK_HANDHELD_WIRE_RECORD_H

#include <cstdint>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "virtual_handheld.h"

namespace handheld {

class WireRecord {
 public:
  using Hook = std::function<void(const WireEvent&)>;

  void Add(WireEvent::Direction direction, WireEvent::Kind kind, const uint8_t* bytes, size_t size);
  std::vector<WireEvent> Events() const;
  void Clear();
  uint32_t FramesReceived() const;
  uint32_t FramesSent() const;
  // Waits (real time) until the count reaches n; false when the time ran out.
  bool WaitForFramesReceived(uint32_t n, uint32_t timeout_ms) const;
  bool WaitForFramesSent(uint32_t n, uint32_t timeout_ms) const;
  // When false, frames are kept with their first kFrameHeadBytes bytes only (long images stay cheap).
  void SetKeepWholeFrames(bool keep);
  // Called on the serving thread after each event is recorded (outside the record's lock). When SetHook
  // returns, no call of the previous hook is running on another thread.
  void SetHook(Hook hook);

  static constexpr size_t kFrameHeadBytes = 40;

 private:
  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::vector<WireEvent> events_;
  uint32_t frames_received_ = 0;
  uint32_t frames_sent_ = 0;
  bool keep_whole_ = true;
  Hook hook_;
  std::vector<std::thread::id> in_hook_;  // threads inside a hook call
};

}  // namespace handheld

#endif  // DRAVIK_HANDHELD_WIRE_RECORD_H
