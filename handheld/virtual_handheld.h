// The virtual handheld's device end of the packet protocol: it serves the bootloader's side of the
// exchanges over a pty (the USB-serial path) and over a Unix socket (the WinUSB bulk pipes), stores what
// is flashed into its Storage directory, keeps a record of everything that crossed the wire and injects
// faults on request. It runs in-process for tests (one thread per transport) and inside the `handheld`
// program for a person.
#ifndef DRAVIK_HANDHELD_VIRTUAL_HANDHELD_H
#define DRAVIK_HANDHELD_VIRTUAL_HANDHELD_H

#include <cstdint>
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
struct FaultPlan {
  std::vector<uint32_t> lose_ack_of_frames;     // receive the frame but send no acknowledgement
  std::vector<uint32_t> short_ack_of_frames;    // acknowledge with 3 bytes instead of 4
  std::vector<uint32_t> ignore_frames;          // acknowledge but do not act on the frame (it is lost)
  uint32_t wrong_packets_before_completion = 0;  // non-completion frames sent before each completion
  uint32_t completion_delay_ms = 0;             // real milliseconds before each completion frame
  uint32_t silent_after_frames = 0;             // after this many frames: read nothing, send nothing
  uint32_t vanish_after_frames = 0;             // after this many frames: close the device end
  uint32_t vanish_after_sent_frames = 0;        // after sending this many frames to the host: close
  uint32_t short_frames_sent = 0;               // this many of the device's next data frames go out short
};

struct Transport;

class VirtualHandheld {
 public:
  explicit VirtualHandheld(const std::string& directory);
  ~VirtualHandheld();
  VirtualHandheld(const VirtualHandheld&) = delete;
  VirtualHandheld& operator=(const VirtualHandheld&) = delete;

  Storage& GetStorage();

  // Starts serving on a new pty; returns the path of its slave end (what the host opens as its port).
  std::string StartPty();
  // Starts serving on a Unix socket at the given path (the WinUSB bulk pipes); returns the path.
  std::string StartSocket(const std::string& path);
  // Closes every transport's device end, as if the cable were pulled. Start* may be called again.
  void Vanish();
  // Stops serving and waits for the serving threads.
  void Stop();

  void SetFaults(const FaultPlan& plan);
  std::vector<WireEvent> Record() const;
  void ClearRecord();
  // Frames received from the host since the start (or the last ClearRecord).
  uint32_t FramesReceived() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace handheld

#endif  // DRAVIK_HANDHELD_VIRTUAL_HANDHELD_H
