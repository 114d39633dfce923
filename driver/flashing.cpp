// The image flashing exchange of one job: the flash command with the transfer size, the payload in
// 1520-byte data packets (the last one, possibly empty, padded with zeros), and the wait for the device's
// "FF112248". While the data goes out the shared progress counters move, so that Client_Progress can
// report a percentage across all jobs of the run.
#include "flashing.h"

#include <array>
#include <cstdint>
#include <cstdio>

#include "commands.h"
#include "packet_link.h"
#include "startup.h"

namespace {

constexpr int32_t kFullPacketCap = 90;  // the percent while full packets go out
constexpr int32_t kTailPacketCap = 92;  // the percent after an image's last packet
constexpr const char* kFlashDoneCode = "FF112248";
constexpr const char* kFlashDoneDump = "RES_FLASH_DONE.dat";

// Bytes sent over the one-percent unit, capped. A run of fewer than 100 bytes has no one-percent unit;
// its percent is bytes sent x 100 / total, and the cap itself when there is nothing to send at all.
int32_t CappedPercent(int32_t bytesSent, int32_t cap) {
  const int32_t onePercent = FlashState.nOnePercent.load();
  const int32_t total = FlashState.nTotalBytes.load();
  int64_t percent;
  if (onePercent > 0) {
    percent = bytesSent / onePercent;
  } else if (total > 0) {
    percent = static_cast<int64_t>(bytesSent) * 100 / total;
  } else {
    percent = cap;
  }
  return percent < cap ? static_cast<int32_t>(percent) : cap;
}

// The bytes sent so far plus `more`, held at the largest count the figure can take: each job may carry up
// to 2 GiB, so a run of several could otherwise wrap the count into a negative percent.
int32_t CountSent(uint32_t more) {
  const int64_t sent = static_cast<int64_t>(FlashState.nBytesSent.load()) + more;
  return sent < INT32_MAX ? static_cast<int32_t>(sent) : INT32_MAX;
}

// Sends one data packet, again and again until it is acknowledged. False when the retries have to end;
// the log line says whether the device went at the image's last packet (it had taken all of the image
// but that packet's acknowledgement) or before.
bool SendDataPacket(HANDLE link, const uint8_t* data, uint32_t length, bool last) {
  while (USBWritePacket(link, data, length) != 1) {
    if (const char* why = LinkRetryEndReason(kLinkQuietLimitMs)) {
      LogPrintf("SendImageData(): %s, %s", why,
                last ? "the image's last packet is not acknowledged" : "the image is not sent");
      return false;
    }
  }
  return true;
}

}  // namespace

int SendFlashCmd(HANDLE link, int featureId, uint32_t transferSize, uint32_t address) {
  std::array<uint8_t, kPacketFrameSize> byaPacket{};
  LogPrintf("CMD - %d \r\n", featureId);
  const char* code;
  switch (featureId) {
    case 1:
      LogPrintf("COM_PRE_BL \r\n");
      code = "FF112244";
      break;
    case 2:
      LogPrintf("COM_BL \r\n");
      code = "FF112245";
      break;
    case 3:
      LogPrintf("COM_OS \r\n");
      code = "FF112246";
      break;
    case 7:
      LogPrintf("COM_AD \r\n");
      code = "FF112247";
      break;
    case 17:
      LogPrintf("COM_EXTROM \r\n");
      code = "FF112263";
      break;
    default:
      LogPrintf("default \r\n");
      return 0;
  }
  PutCommandCode(byaPacket.data(), code);
  PutLe32(byaPacket.data() + 8, transferSize);
  PutLe32(byaPacket.data() + 12, address);
  return USBWritePacket(link, byaPacket.data(), kPacketFrameSize);
}

int SendImageData(HANDLE link, const uint8_t* data, uint32_t transferSize) {
  uint32_t remaining = transferSize;
  const uint8_t* cursor = data;
  while (remaining >= kPacketFrameSize) {
    if (!SendDataPacket(link, cursor, kPacketFrameSize, false)) return 0;
    cursor += kPacketFrameSize;
    remaining -= kPacketFrameSize;
    const int32_t sent = CountSent(kPacketFrameSize);
    FlashState.nBytesSent.store(sent);
    FlashState.nProgress.store(CappedPercent(sent, kFullPacketCap));
  }
  // The tail packet goes out even when nothing remains; the frame is zero beyond the remaining bytes. An
  // empty image has no data of its own, so the tail then comes from an empty block.
  static const uint8_t kNothing[1] = {0};
  if (!SendDataPacket(link, cursor != nullptr ? cursor : kNothing, remaining, true)) return 0;
  const int32_t sent = CountSent(remaining);
  FlashState.nBytesSent.store(sent);
  FlashState.nProgress.store(CappedPercent(sent, kTailPacketCap));
  return 1;
}

int WaitForFlashComplete(HANDLE link) {
  std::array<uint8_t, kPacketFrameSize> byaBuffer{};
  DWORD dwPurge = 0;
  if (g_PurgeTx) dwPurge |= PURGE_TXABORT | PURGE_TXCLEAR;
  if (g_PurgeRx) dwPurge |= PURGE_RXABORT | PURGE_RXCLEAR;
  DWORD dwLastPacket = GetTickCount();
  for (;;) {
    LogPrintf("WaitForFlashComplete(): USBReadPacket");
    if (dwPurge != 0) {
      LogPrintf("WaitForFlashComplete(): PurgeComm TX=%d RX=%d", static_cast<int>(dwPurge & PURGE_TXCLEAR),
                static_cast<int>(dwPurge & PURGE_RXCLEAR));
      PurgeComm(link, dwPurge);
    }
    const int ok = USBReadPacket(link, byaBuffer.data(), kPacketFrameSize);
    if (g_DebugON) {
      if (FILE* dump = fopen(kFlashDoneDump, "wb")) {
        fwrite(byaBuffer.data(), 1, byaBuffer.size(), dump);
        fclose(dump);
      }
    }
    if (!ok) {
      LogPrintf("WaitForFlashComplete(): receive flash complete fail");
      if (IsDeviceGone()) {
        LogPrintf("WaitForFlashComplete(): the device is gone, no completion received");
        return 0;
      }
      if (GetTickCount() - dwLastPacket >= kCompletionQuietLimitMs) {
        LogPrintf("WaitForFlashComplete(): no packet for %u ms, no completion received",
                  static_cast<unsigned>(GetTickCount() - dwLastPacket));
        return 0;
      }
      continue;
    }
    dwLastPacket = GetTickCount();
    if (!HasCommandCode(byaBuffer.data(), kFlashDoneCode)) {
      LogPrintf("WaitForFlashComplete(): receive wrong packet");
      continue;
    }
    LogPrintf("WaitForFlashComplete(): receive flash ok");
    return 1;
  }
}
