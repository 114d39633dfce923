// 1520-byte frames and their 4-byte acknowledgements over the open link.
#ifndef DRAVIK_PACKET_LINK_H
#define DRAVIK_PACKET_LINK_H

#include <cstdint>

#include "state.h"

constexpr uint32_t kPacketFrameSize = 1520;
constexpr uint32_t kAckSize = 4;

// How long the exchanges go on retrying on a device that does not answer: packet retries end after a
// minute without one successful packet, a completion wait after fifteen minutes without any packet.
constexpr DWORD kLinkQuietLimitMs = 60u * 1000u;
constexpr DWORD kCompletionQuietLimitMs = 15u * 60u * 1000u;

int USBWritePacket(HANDLE link, const uint8_t* data, uint32_t length);
int USBReadPacket(HANDLE link, uint8_t* buffer, uint32_t length);
int USBReadPacketV2(HANDLE link, uint8_t* buffer, uint32_t length);
// USBReadPacket for the data frames of a read-back: on a serial link the frame is acknowledged only when
// nothing waits behind it. Otherwise it returns 0 with *behind set to the bytes waiting (0 for a read
// that failed), and the link is out of step with the device.
int USBReadPacketInStep(HANDLE link, uint8_t* buffer, DWORD* behind);
int USBWriteData(HANDLE link, const uint8_t* data, uint32_t length);
int USBReadData(HANDLE link, uint8_t* buffer, uint32_t length);
int USBWriteRaw(HANDLE link, const uint8_t* data, uint32_t length, int64_t budget);
int USBReadRaw(HANDLE link, uint8_t* buffer, uint32_t length, uint32_t* count, int64_t budget);

// Does the raw layer move the link's bytes through the WinUSB pipes (else as file reads and writes)?
bool LinkUsesWinUsb();

// What the packet operations have learned about the device, so that the exchanges' retries can end when
// the device is gone or has not answered for too long.
void ResetLinkHealth();                // now counts as the last successful transfer; forget "gone"
bool IsDeviceGone();                   // a transfer failed with an error that is not a time-out
DWORD MillisecondsSinceLastSuccess();  // on the platform clock, since the last packet that went through
// Null while a retry loop may go on; otherwise why it has to stop (the device is gone, or no packet has
// gone through for quietLimitMs).
const char* LinkRetryEndReason(DWORD quietLimitMs);

#endif  // DRAVIK_PACKET_LINK_H
