// The packet link: every 1520-byte frame is answered by a 4-byte acknowledgement in the other direction.
// Three packet operations sit on two byte-transfer wrappers (which apply the multiple-of-64 rule), and
// those on two raw transfers that move the bytes either as file reads and writes on the link handle or
// through the WinUSB bulk pipes.
//
// The layer makes one attempt per call; retrying is the exchanges' business. So that their retries can end
// on a device that is gone or silent, the layer keeps two facts about the link: whether a transfer failed
// with an error that is not a time-out, and when a packet last went through.
#include "packet_link.h"

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "startup.h"

namespace {

std::atomic<DWORD> g_dwLastSuccessTick{0};
std::atomic<bool> g_bDeviceGone{false};

// A packet (or a piece of one) went through: the device is there.
void NoteSuccess() {
  g_dwLastSuccessTick.store(GetTickCount());
  g_bDeviceGone.store(false);
}

// A raw transfer call reported failure: unless it only timed out, the device is gone (unplugged, the
// handle closed or never opened, no WinUSB pipe).
void NoteTransferFailure() {
  const DWORD dwError = GetLastError();
  if (dwError != static_cast<DWORD>(ERROR_SEM_TIMEOUT)) g_bDeviceGone.store(true);
}

// Transfers of a length that is a multiple of 64 bytes (0 included) are issued one byte longer.
uint32_t WireLength(uint32_t length) { return length % 64 == 0 ? length + 1 : length; }

// Whole seconds since a tick count, for the raw transfers' budgets. The tick counter is on every host
// (the C runtime's 64-bit time is not in Windows 2000's msvcrt.dll), and the unsigned difference
// survives its wrap after 49.7 days.
int64_t SecondsSince(DWORD dwStartTick) { return static_cast<int64_t>((GetTickCount() - dwStartTick) / 1000); }

}  // namespace

void ResetLinkHealth() { NoteSuccess(); }

bool IsDeviceGone() { return g_bDeviceGone.load(); }

DWORD MillisecondsSinceLastSuccess() { return GetTickCount() - g_dwLastSuccessTick.load(); }

const char* LinkRetryEndReason(DWORD quietLimitMs) {
  if (IsDeviceGone()) return "the device is gone";
  if (MillisecondsSinceLastSuccess() >= quietLimitMs) return "the device has not answered for too long";
  return nullptr;
}

bool LinkUsesWinUsb() { return IsVistaOrLater() && FlashState.bLinkIsWinUsb; }

int USBWriteRaw(HANDLE link, const uint8_t* data, uint32_t length, int64_t budget) {
  // A budget of 0 is spent at the start: exactly one transfer, so the clock is not read for it (every
  // packet goes through here twice).
  const DWORD dwStartTick = budget > 0 ? GetTickCount() : 0;
  for (;;) {
    DWORD dwDone = 0;
    BOOL ok;
    if (LinkUsesWinUsb()) {
      ULONG ulDone = 0;
      ok = WinUsb_WritePipe(WinUsbLink.hInterface, WinUsbLink.bOutPipe, const_cast<PUCHAR>(data), length, &ulDone,
                            nullptr);
      dwDone = ulDone;
    } else {
      ok = WriteFile(link, data, length, &dwDone, nullptr);
    }
    if (!ok) NoteTransferFailure();
    if (dwDone > length) dwDone = length;
    data += dwDone;
    length -= dwDone;
    if (length == 0 || budget <= 0 || SecondsSince(dwStartTick) >= budget) break;
  }
  return length == 0 ? 1 : 0;
}

int USBReadRaw(HANDLE link, uint8_t* buffer, uint32_t length, uint32_t* count, int64_t budget) {
  *count = 0;
  const DWORD dwStartTick = budget > 0 ? GetTickCount() : 0;
  for (;;) {
    DWORD dwDone = 0;
    BOOL ok;
    if (LinkUsesWinUsb()) {
      ULONG ulDone = 0;
      ok = WinUsb_ReadPipe(WinUsbLink.hInterface, WinUsbLink.bInPipe, buffer, length, &ulDone, nullptr);
      dwDone = ulDone;
    } else {
      ok = ReadFile(link, buffer, length, &dwDone, nullptr);
    }
    if (!ok) NoteTransferFailure();
    if (dwDone > length) dwDone = length;
    if (dwDone > 0) {
      buffer += dwDone;
      length -= dwDone;
      *count += dwDone;
    }
    if (length == 0 || budget <= 0 || SecondsSince(dwStartTick) >= budget) break;
  }
  return length == 0 ? 1 : 0;
}

int USBWriteData(HANDLE link, const uint8_t* data, uint32_t length) {
  if (data == nullptr) return 0;
  return USBWriteRaw(link, data, WireLength(length), 0) ? static_cast<int>(length) : 0;
}

int USBReadData(HANDLE link, uint8_t* buffer, uint32_t length) {
  if (buffer == nullptr) return 0;
  uint32_t count = 0;
  USBReadRaw(link, buffer, WireLength(length), &count, 0);
  return static_cast<int>(count);
}

int USBWritePacket(HANDLE link, const uint8_t* data, uint32_t length) {
  std::array<uint8_t, kPacketFrameSize> byaPacket;
  std::array<uint8_t, kAckSize> byaAck{};
  if (data == nullptr || length > kPacketFrameSize) return 0;
  // A whole packet goes out from the caller's bytes as they are; a shorter one is padded with zeros.
  const uint8_t* frame = data;
  if (length < kPacketFrameSize) {
    memcpy(byaPacket.data(), data, length);
    memset(byaPacket.data() + length, 0, kPacketFrameSize - length);
    frame = byaPacket.data();
  }
  if (g_DebugON) LogPrintf("USBWritePacket(): Begin");
  if (USBWriteData(link, frame, kPacketFrameSize) != static_cast<int>(kPacketFrameSize)) return 0;
  const int n = USBReadData(link, byaAck.data(), kAckSize);
  if (g_DebugON) LogPrintf("USBWritePacket(): USBReadData %d", n);
  if (n != static_cast<int>(kAckSize)) return 0;
  NoteSuccess();
  return 1;
}

namespace {

// EV_RXCHAR reports a byte that arrives after SetCommMask or after the previous event: bytes already
// queued (a frame that landed before the mask was set, the rest of a frame whose first piece has been
// read) never end the wait, and the wait has no time-out. So the wait is made only on an empty receive
// queue; with bytes there it is skipped, and its line is logged as if it had ended at once on EV_RXCHAR.
void WaitForReceivedCharacter(HANDLE link) {
  DWORD dwEvent = 0;
  DWORD dwErrors = 0;
  COMSTAT stat{};
  if (ClearCommError(link, &dwErrors, &stat) && stat.cbInQue > 0) {
    dwEvent = EV_RXCHAR;
  } else {
    WaitCommEvent(link, &dwEvent, nullptr);
  }
  LogPrintf("USBReadPacket(): WaitCommEvent Evt=0x%x", static_cast<unsigned>(dwEvent));
}

// Reads one frame in pieces of g_splitReadAckSize bytes. Every piece is bounded to the room left in the
// frame, the extra byte of a multiple-of-64 request included, so the frame never overruns the buffer and
// no byte of what follows it is taken. A first piece that brings nothing ends the read like a whole read
// that timed out; once part of the frame is in, a piece that brings nothing counts as a failed transfer,
// and the read gives up when the device is gone or has been silent for too long.
uint32_t ReadFrameInPieces(HANDLE link, uint8_t* buffer) {
  const uint32_t dwPieceSize = static_cast<uint32_t>(g_splitReadAckSize);
  uint32_t dwTotal = 0;
  uint32_t dwRemaining = kPacketFrameSize;
  uint32_t dwPiece = dwPieceSize;
  while (dwRemaining != 0) {
    if (g_WaitRx) WaitForReceivedCharacter(link);
    uint32_t dwAsk = dwPiece < dwRemaining ? dwPiece : dwRemaining;
    if (dwAsk % 64 == 0 && dwAsk + 1 > dwRemaining) dwAsk = dwRemaining - 1;
    const int got = USBReadData(link, buffer + dwTotal, dwAsk);
    LogPrintf("USBReadPacket(): USBReadData %d", got);
    if (got <= 0) {
      if (dwTotal == 0 || LinkRetryEndReason(kLinkQuietLimitMs) != nullptr) return dwTotal;
      continue;
    }
    NoteSuccess();
    dwTotal += static_cast<uint32_t>(got);
    dwRemaining -= static_cast<uint32_t>(got);
    dwPiece = dwRemaining < dwPieceSize ? dwRemaining : dwPieceSize;
  }
  return dwTotal;
}

// Reads one whole frame as the link settings say (waiting for a character, in pieces); true when all of
// its bytes arrived.
bool ReadWholeFrame(HANDLE link, uint8_t* buffer) {
  if (g_DebugON) LogPrintf("USBReadPacket(): Begin");
  if (g_WaitRx) {
    SetCommMask(link, EV_RXCHAR);
    LogPrintf("USBReadPacket(): SetCommMask");
  }
  uint32_t dwTotal;
  if (g_splitReadAck) {
    dwTotal = ReadFrameInPieces(link, buffer);
  } else {
    if (g_WaitRx) WaitForReceivedCharacter(link);
    dwTotal = static_cast<uint32_t>(USBReadData(link, buffer, kPacketFrameSize));
    if (g_DebugON) LogPrintf("USBReadPacket(): USBReadData %d", static_cast<int>(dwTotal));
  }
  return dwTotal == kPacketFrameSize;
}

// Acknowledges a frame that was read whole.
int AcknowledgeFrame(HANDLE link) {
  std::array<uint8_t, kAckSize> byaAck{};
  const int n = USBWriteData(link, byaAck.data(), kAckSize);
  if (g_DebugON) LogPrintf("USBReadPacket(): USBWriteData %d", n);
  if (n != static_cast<int>(kAckSize)) return 0;
  NoteSuccess();
  return 1;
}

}  // namespace

int USBReadPacket(HANDLE link, uint8_t* buffer, uint32_t length) {
  if (buffer == nullptr || length != kPacketFrameSize) return 0;
  if (!ReadWholeFrame(link, buffer)) return 0;
  return AcknowledgeFrame(link);
}

int USBReadPacketInStep(HANDLE link, uint8_t* buffer, DWORD* behind) {
  *behind = 0;
  if (buffer == nullptr) return 0;
  if (!ReadWholeFrame(link, buffer)) return 0;
  // The device sends its next frame only once this one is acknowledged: bytes already waiting are the
  // rest of a frame that this read took only the start of.
  DWORD dwErrors = 0;
  COMSTAT stat{};
  if (!LinkUsesWinUsb() && ClearCommError(link, &dwErrors, &stat) && stat.cbInQue > 0) {
    *behind = stat.cbInQue;
    return 0;
  }
  return AcknowledgeFrame(link);
}

int USBReadPacketV2(HANDLE link, uint8_t* buffer, uint32_t length) {
  if (buffer == nullptr) return 0;
  if (g_DebugON) LogPrintf("USBReadPacketV2(): Begin");
  // A length that is a multiple of 64 is read one byte longer: that byte lands in a buffer of its own
  // size, never behind the caller's.
  std::unique_ptr<uint8_t[]> spare;
  uint8_t* target = buffer;
  if (WireLength(length) != length) {
    spare.reset(new (std::nothrow) uint8_t[static_cast<size_t>(length) + 1]);
    if (!spare) return 0;
    target = spare.get();
  }
  const int got = USBReadData(link, target, length);
  if (g_DebugON) LogPrintf("USBReadPacketV2(): USBReadData %d", got);
  if (spare) memcpy(buffer, spare.get(), got < static_cast<int>(length) ? static_cast<size_t>(got) : length);
  if (got != static_cast<int>(length)) return 0;
  std::array<uint8_t, kAckSize> byaAck{};
  const int n = USBWriteData(link, byaAck.data(), kAckSize);
  if (g_DebugON) LogPrintf("USBReadPacketV2(): USBWriteData %d", n);
  if (n != static_cast<int>(kAckSize)) return 0;
  NoteSuccess();
  return 1;
}
