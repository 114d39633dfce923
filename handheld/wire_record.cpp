#include "wire_record.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace handheld {

uint8_t* WireRecord::Reserve(size_t size, uint32_t* block, size_t* offset) {
  // Fill the current block; move on to the next one (kept from an earlier use, or new) when it is full.
  while (current_ < blocks_.size() && blocks_[current_].capacity - blocks_[current_].used < size) {
    if (blocks_[current_].used == 0 && blocks_[current_].capacity < size) break;  // too small even empty
    ++current_;
  }
  if (current_ >= blocks_.size() || blocks_[current_].capacity - blocks_[current_].used < size) {
    Block b;
    b.capacity = std::max(size, kBlockBytes);
    b.bytes.reset(new uint8_t[b.capacity]);
    if (current_ < blocks_.size()) {
      blocks_[current_] = std::move(b);  // an empty block too small for this event
    } else {
      blocks_.push_back(std::move(b));
      current_ = static_cast<uint32_t>(blocks_.size() - 1);
    }
  }
  Block& b = blocks_[current_];
  *block = current_;
  *offset = b.used;
  b.used += size;
  return b.bytes.get() + *offset;
}

WireEvent WireRecord::MakeEvent(const Entry& e) const {
  const uint8_t* p = blocks_[e.block].bytes.get() + e.offset;
  return WireEvent{e.direction, e.kind, std::vector<uint8_t>(p, p + e.size)};
}

void WireRecord::Add(WireEvent::Direction direction, WireEvent::Kind kind, const uint8_t* bytes,
                     size_t size) {
  Hook hook;
  WireEvent copy;
  {
    std::lock_guard<std::mutex> lock(mu_);
    size_t kept = size;
    if (kind == WireEvent::Kind::Frame && !keep_whole_) kept = std::min(size, kFrameHeadBytes);
    Entry e{direction, kind, 0, 0, kept};
    uint8_t* to = Reserve(kept, &e.block, &e.offset);
    if (kept > 0) std::memcpy(to, bytes, kept);
    entries_.push_back(e);
    if (kind == WireEvent::Kind::Frame) {
      // A clock reading for the first host frame only: it starts the exchange.
      if (direction == WireEvent::Direction::HostToDevice) {
        if (frames_received_++ == 0) first_received_at_ = std::chrono::steady_clock::now();
      } else {
        ++frames_sent_;
      }
    } else if (kind == WireEvent::Kind::Ack && direction == WireEvent::Direction::HostToDevice) {
      // One per device frame, which in a flash exchange is the completion alone.
      last_ack_received_at_ = std::chrono::steady_clock::now();
    }
    if (waiters_ > 0) changed_.notify_all();
    if (hook_) {
      hook = hook_;
      copy = MakeEvent(e);
      in_hook_.push_back(std::this_thread::get_id());
    }
  }
  if (!hook) return;
  hook(copy);
  std::lock_guard<std::mutex> lock(mu_);
  in_hook_.erase(std::find(in_hook_.begin(), in_hook_.end(), std::this_thread::get_id()));
  if (waiters_ > 0) changed_.notify_all();
}

std::vector<WireEvent> WireRecord::Events() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<WireEvent> events;
  events.reserve(entries_.size());
  for (const Entry& e : entries_) events.push_back(MakeEvent(e));
  return events;
}

void WireRecord::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.clear();
  for (Block& b : blocks_) b.used = 0;
  current_ = 0;
  frames_received_ = 0;
  frames_sent_ = 0;
  first_received_at_ = last_ack_received_at_ = {};
}

uint32_t WireRecord::FramesReceived() const {
  std::lock_guard<std::mutex> lock(mu_);
  return frames_received_;
}

uint32_t WireRecord::FramesSent() const {
  std::lock_guard<std::mutex> lock(mu_);
  return frames_sent_;
}

std::chrono::steady_clock::time_point WireRecord::FirstFrameReceivedAt() const {
  std::lock_guard<std::mutex> lock(mu_);
  return first_received_at_;
}

std::chrono::steady_clock::time_point WireRecord::LastAckReceivedAt() const {
  std::lock_guard<std::mutex> lock(mu_);
  return last_ack_received_at_;
}

bool WireRecord::WaitFor(const uint32_t& count, uint32_t n, uint32_t timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  ++waiters_;
  bool reached = changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return count >= n; });
  --waiters_;
  return reached;
}

bool WireRecord::WaitForFramesReceived(uint32_t n, uint32_t timeout_ms) const {
  return WaitFor(frames_received_, n, timeout_ms);
}

bool WireRecord::WaitForFramesSent(uint32_t n, uint32_t timeout_ms) const {
  return WaitFor(frames_sent_, n, timeout_ms);
}

void WireRecord::SetKeepWholeFrames(bool keep) {
  std::lock_guard<std::mutex> lock(mu_);
  keep_whole_ = keep;
}

void WireRecord::SetHook(Hook hook) {
  std::unique_lock<std::mutex> lock(mu_);
  hook_ = std::move(hook);
  const auto self = std::this_thread::get_id();
  ++waiters_;
  changed_.wait(lock, [&] {
    return std::all_of(in_hook_.begin(), in_hook_.end(), [&](std::thread::id id) { return id == self; });
  });
  --waiters_;
}

}  // namespace handheld
