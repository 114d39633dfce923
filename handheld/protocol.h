// The bootloader's side of the packet protocol: the state machine that takes the host's command frames
// and runs the flashing, format, backup, reset, set-flag and asset exchanges against the Storage.
//
// Command codes (bytes 0-7 of a frame, ASCII):
//   FF112244 / 45 / 46 / 47 / 63   flash EBOOT / IPL / GSM-or-OS / ASSET / EXTROM; bytes 8-11 the size n,
//                                  then n/1520+1 data frames; answered with FF112248 once stored.
//                                  FF112246 goes to GSM when n <= 6,291,456 bytes, else to OS. An
//                                  image the area cannot take (beyond its capacity, or not written)
//                                  is not stored and not completed: the handheld drops the link.
//   FF112249 / FF112250            reset into the boot loader / into the OS (the stored mode)
//   FF112265 / FF112266            set flag 0 / 1
//   FF112252                       read asset: one frame with the first 225 bytes of ASSET
//   FF112253 / 57 / 64             format types 0 / 3 / 4; bytes 8-39 the size block (GSM, EBOOT, IPL,
//                                  OS, EXTROM, 32-bit little-endian); answered with FF112254; type 3
//                                  then sends the GSMFFS area as it was (65,536 bytes)
//   FF112261 / 60 / 59 / 58 / 62   backup types 0-4 (EBOOT 393,216 bytes, IPL, OS, GSM 5,242,880 bytes,
//                                  EXTROM); answered with FF112254 carrying the stored lengths of OS,
//                                  EXTROM and IPL at bytes 8-19, then the data frames
//   FF113300, FF112233             acknowledged, nothing else
// A frame whose code bytes are zero is what the host sends for a format or backup type it has no code
// for; it still waits for FF112254, so the handheld answers with the completion and nothing more.
// Anything else ("garbage!", the priming frame, among it) is acknowledged and ignored.
#ifndef DRAVIK_HANDHELD_PROTOCOL_H
#define DRAVIK_HANDHELD_PROTOCOL_H

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "fault_plan.h"
#include "frame_link.h"
#include "storage.h"

namespace handheld {

constexpr uint32_t kGsmImageLimit = 6291456;   // feature 3 images up to this size go to GSM
constexpr uint32_t kEbootBackupSize = 0x60000;  // backup type 0
constexpr uint32_t kGsmBackupSize = 0x500000;   // backup type 3
constexpr size_t kPieceBytes = 256 * 1024;      // an arriving image goes to storage in pieces of this size

// What the handheld keeps in memory besides its Storage, shared by the serving threads.
struct DeviceMemory {
  mutable std::mutex mu;
  int32_t flag = -1;
  std::array<uint8_t, 32> format_sizes{};
  uint32_t format_count = 0;
  std::vector<std::string> log;

  void Log(const std::string& line);
};

class ProtocolEngine {
 public:
  // storage_mu guards every use of the storage by the serving threads.
  ProtocolEngine(Storage& storage, std::mutex& storage_mu, DeviceMemory& memory, FaultInjector& faults);

  // Serves frames from the link until it ends (SessionEnd other than Abandoned propagates).
  void Serve(FrameLink& link);
  // One command frame received in idle state (exposed for the serving loop and tests).
  void Handle(const Frame& frame, FrameLink& link);
  // The commands that take effect at once, before their acknowledgement: resets and set-flag.
  // True when the frame was one of them.
  bool TakeAtOnce(const Frame& frame);

 private:
  void Flash(const Frame& command, Area area, FrameLink& link);
  void Format(const Frame& command, int type, FrameLink& link);
  void Backup(int type, FrameLink& link);
  void ReadAsset(FrameLink& link);
  void SendCompletion(const Frame& completion, FrameLink& link);
  Frame Completion(const char* code);
  void SendArea(Area area, uint64_t size, FrameLink& link);

  Storage& storage_;
  std::mutex& storage_mu_;
  DeviceMemory& memory_;
  FaultInjector& faults_;
  // An image on its way to its area's staging file, in pieces of kPieceBytes (kept between images).
  std::vector<uint8_t> piece_;
};

uint32_t GetLe32(const uint8_t* p);
void PutLe32(uint8_t* p, uint32_t value);

}  // namespace handheld

#endif  // DRAVIK_HANDHELD_PROTOCOL_H
