// The bridge thread and the two block callbacks that carry console audio to and from the virtual
// driver's streams.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// Thread procedure; the argument is the supervisor. Runs until its bridge or loop stop flag is set.
unsigned WINAPI BridgeThreadProc(void* supervisor);

// Block callbacks installed in the console's devices (context: the bridge's capture half or render half).
int CaptureBlockCallback(float* block, std::uint32_t samples, std::uint16_t channels, void* context);
int RenderBlockCallback(float* block, std::uint32_t samples, std::uint16_t channels, void* context);
