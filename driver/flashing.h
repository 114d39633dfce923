// The image flashing exchange: flash command, data packets, completion wait.
#ifndef DRAVIK_FLASHING_H
#define DRAVIK_FLASHING_H

#include <cstdint>

#include "state.h"

int SendFlashCmd(HANDLE link, int featureId, uint32_t transferSize, uint32_t address);
int SendImageData(HANDLE link, const uint8_t* data, uint32_t transferSize);
int WaitForFlashComplete(HANDLE link);

#endif  // DRAVIK_FLASHING_H
