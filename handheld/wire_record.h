// The wire record: every frame, acknowledgement and stray piece that crossed the link, in order, for
// tests to assert the bytes the host sent and what the handheld answered. Thread-safe: the serving
// threads append while a test reads.
//
// Adding is on the path of every frame, so it stays cheap: the bytes go into large blocks kept from one
// use to the next (no allocation per event), and the waiters are woken only when there are any. The
// WireEvent copies are made when a test reads the record.
#ifndef DRAVIK_HANDHELD_WIRE_RECORD_H
#define DRAVIK_HANDHELD_WIRE_RECORD_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
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
  // When the first frame from the host and the host's latest acknowledgement of a device frame were
  // recorded (since the start or the last Clear); the clock's epoch while there was none. An exchange
  // timed by these needs no thread that polls the counts while it runs.
  std::chrono::steady_clock::time_point FirstFrameReceivedAt() const;
  std::chrono::steady_clock::time_point LastAckReceivedAt() const;
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
  // One recorded event: where its bytes are in the blocks.
  struct Entry {
    WireEvent::Direction direction;
    WireEvent::Kind kind;
    uint32_t block;
    size_t offset;
    size_t size;
  };
  struct Block {
    std::unique_ptr<uint8_t[]> bytes;
    size_t capacity = 0;
    size_t used = 0;
  };
  static constexpr size_t kBlockBytes = size_t{1} << 20;

  // Room for `size` bytes in the blocks (called with mu_ held).
  uint8_t* Reserve(size_t size, uint32_t* block, size_t* offset);
  WireEvent MakeEvent(const Entry& e) const;
  bool WaitFor(const uint32_t& count, uint32_t n, uint32_t timeout_ms) const;

  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  mutable uint32_t waiters_ = 0;  // threads waiting on changed_
  std::vector<Entry> entries_;
  std::vector<Block> blocks_;  // kept across Clear, reused from the first
  uint32_t current_ = 0;       // the block being filled
  uint32_t frames_received_ = 0;
  uint32_t frames_sent_ = 0;
  std::chrono::steady_clock::time_point first_received_at_{};
  std::chrono::steady_clock::time_point last_ack_received_at_{};
  bool keep_whole_ = true;
  Hook hook_;
  std::vector<std::thread::id> in_hook_;  // threads inside a hook call
};

}  // namespace handheld

#endif  // DRAVIK_HANDHELD_WIRE_RECORD_H
