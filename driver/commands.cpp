// Command codes, packet layouts and the one-packet senders. Every packet starts as 1520 zero bytes; a
// command packet carries its eight-character code at bytes 0-7 (no terminator) and, for some codes,
// little-endian 32-bit parameters behind it.
#include "commands.h"

#include <array>
#include <cstring>

#include "packet_link.h"
#include "startup.h"

namespace {

constexpr size_t kCodeLength = 8;
constexpr size_t kAssetDataSize = 225;
constexpr size_t kAssetBufferSize = 4096;

using Frame = std::array<uint8_t, kPacketFrameSize>;

// Builds the bare packet of a code and sends it once.
int SendBarePacket(HANDLE link, const char* code) {
  Frame byaPacket{};
  PutCommandCode(byaPacket.data(), code);
  return USBWritePacket(link, byaPacket.data(), kPacketFrameSize);
}

}  // namespace

void PutCommandCode(uint8_t* frame, const char* code) { memcpy(frame, code, kCodeLength); }

bool HasCommandCode(const uint8_t* frame, const char* code) { return memcmp(frame, code, kCodeLength) == 0; }

void PutLe32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
  at[2] = static_cast<uint8_t>(value >> 16);
  at[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t GetLe32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

int SendRebootCmd(HANDLE link, int mode) {
  const char* code;
  switch (mode) {
    case 0:
      LogPrintf("SendRebootCmd(): Reset to OS mode");
      code = "FF112250";
      break;
    case 1:
      LogPrintf("SendRebootCmd(): Reset to IPL mode");
      code = "FF112249";
      break;
    default:
      return 0;
  }
  return SendBarePacket(link, code);
}

int SendSetFlagCmd(HANDLE link, int flag) {
  LogPrintf("SendSetFlagCmd(): %d", flag);
  switch (flag) {
    case 0:
      return SendBarePacket(link, "FF112265");
    case 1:
      return SendBarePacket(link, "FF112266");
    default:
      return 0;
  }
}

int SendReadAssetCmd(HANDLE link) {
  LogPrintf("SendReadAssetCmd()");
  return SendBarePacket(link, "FF112252");
}

// Asks for the asset data and reads the device's answer, retrying each step at once. The retries end,
// with 0, when the device is gone or has not answered for a minute.
int ReadAssetData(HANDLE link, uint8_t* out) {
  ResetLinkHealth();
  while (SendReadAssetCmd(link) != 1) {
    if (const char* why = LinkRetryEndReason(kLinkQuietLimitMs)) {
      LogPrintf("ReadAssetData(): %s, no asset data", why);
      return 0;
    }
  }
  std::array<uint8_t, kAssetBufferSize> byaBuffer{};
  for (;;) {
    LogPrintf("USBReadPacket(): asset data");
    if (USBReadPacket(link, byaBuffer.data(), kPacketFrameSize) == 1) break;
    if (const char* why = LinkRetryEndReason(kLinkQuietLimitMs)) {
      LogPrintf("ReadAssetData(): %s, no asset data", why);
      return 0;
    }
  }
  memcpy(out, byaBuffer.data(), kAssetDataSize);
  LogPrintf("USBReadPacket(): asset data Done!");
  return 1;
}

int SendBareCmd_FF113300(HANDLE link) { return SendBarePacket(link, "FF113300"); }

int SendBareCmd_FF112233(HANDLE link) { return SendBarePacket(link, "FF112233"); }
