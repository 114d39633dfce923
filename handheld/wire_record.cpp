#include "wire_record.h"

#include <algorithm>
#include <chrono>

namespace handheld {

void WireRecord::Add(WireEvent::Direction direction, WireEvent::Kind kind, const uint8_t* bytes,
                     size_t size) {
  Hook hook;
  WireEvent copy;
  {
    std::lock_guard<std::mutex> lock(mu_);
    size_t kept = size;
    if (kind == WireEvent::Kind::Frame && !keep_whole_) kept = std::min(size, kFrameHeadBytes);
    events_.push_back(WireEvent{direction, kind, std::vector<uint8_t>(bytes, bytes + kept)});
    if (kind == WireEvent::Kind::Frame) {
      if (direction == WireEvent::Direction::HostToDevice) {
        ++frames_received_;
      } else {
        ++frames_sent_;
      }
    }
    changed_.notify_all();
    hook = hook_;
    if (hook) {
      copy = events_.back();
      in_hook_.push_back(std::this_thread::get_id());
    }
  }
  if (!hook) return;
  hook(copy);
  std::lock_guard<std::mutex> lock(mu_);
  in_hook_.erase(std::find(in_hook_.begin(), in_hook_.end(), std::this_thread::get_id()));
  changed_.notify_all();
}

std::vector<WireEvent> WireRecord::Events() const {
  std::lock_guard<std::mutex> lock(mu_);
  return events_;
}

void WireRecord::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  events_.clear();
  frames_received_ = 0;
  frames_sent_ = 0;
}

uint32_t WireRecord::FramesReceived() const {
  std::lock_guard<std::mutex> lock(mu_);
  return frames_received_;
}

uint32_t WireRecord::FramesSent() const {
  std::lock_guard<std::mutex> lock(mu_);
  return frames_sent_;
}

bool WireRecord::WaitForFramesReceived(uint32_t n, uint32_t timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return frames_received_ >= n; });
}

bool WireRecord::WaitForFramesSent(uint32_t n, uint32_t timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return frames_sent_ >= n; });
}

void WireRecord::SetKeepWholeFrames(bool keep) {
  std::lock_guard<std::mutex> lock(mu_);
  keep_whole_ = keep;
}

void WireRecord::SetHook(Hook hook) {
  std::unique_lock<std::mutex> lock(mu_);
  hook_ = std::move(hook);
  const auto self = std::this_thread::get_id();
  changed_.wait(lock, [&] {
    return std::all_of(in_hook_.begin(), in_hook_.end(), [&](std::thread::id id) { return id == self; });
  });
}

}  // namespace handheld
