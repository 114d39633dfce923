// Command codes, packet layouts and the one-packet senders.
#ifndef DRAVIK_COMMANDS_H
#define DRAVIK_COMMANDS_H

#include <cstdint>

#include "state.h"

// Writes an eight-character code at bytes 0-7 of a frame (no terminator).
void PutCommandCode(uint8_t* frame, const char* code);
// Does the frame begin with the code?
bool HasCommandCode(const uint8_t* frame, const char* code);
void PutLe32(uint8_t* at, uint32_t value);
uint32_t GetLe32(const uint8_t* at);

int SendRebootCmd(HANDLE link, int mode);
int SendSetFlagCmd(HANDLE link, int flag);
int SendReadAssetCmd(HANDLE link);
int ReadAssetData(HANDLE link, uint8_t* out);
int SendBareCmd_FF113300(HANDLE link);
int SendBareCmd_FF112233(HANDLE link);

#endif  // DRAVIK_COMMANDS_H
