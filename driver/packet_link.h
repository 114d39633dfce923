// 1520-byte frames and their 4-byte acknowledgements over the open link.
#ifndef DRAVIK_PACKET_LINK_H
#define DRAVIK_PACKET_LINK_H

#include <cstdint>

#include "state.h"

constexpr uint32_t kPacketFrameSize = 1520;
constexpr uint32_t kAckSize = 4;

int USBWritePacket(HANDLE link, const uint8_t* data, uint32_t length);
int USBReadPacket(HANDLE link, uint8_t* buffer, uint32_t length);
int USBReadPacketV2(HANDLE link, uint8_t* buffer, uint32_t length);
int USBWriteData(HANDLE link, const uint8_t* data, uint32_t length);
int USBReadData(HANDLE link, uint8_t* buffer, uint32_t length);
int USBWriteRaw(HANDLE link, const uint8_t* data, uint32_t length, int64_t budget);
int USBReadRaw(HANDLE link, uint8_t* buffer, uint32_t length, uint32_t* count, int64_t budget);

// What the raw transfers have learned about the device, so that the exchanges' endless retries can end
// when the device is gone or has not answered for too long.
void ResetLinkHealth();               // now counts as the last successful transfer; forget "gone"
bool IsDeviceGone();                  // a transfer failed with an error that is not a time-out
DWORD MillisecondsSinceLastSuccess(); // on the platform clock, since the last transfer that moved bytes

#endif  // DRAVIK_PACKET_LINK_H
