// The bridge thread and the two block routings that carry console audio to and from the virtual driver's
// streams, with the callbacks the console's devices are given.
#pragma once

#include <cstdint>

#include "platform/win32.h"

struct ConsoleBridge;
struct StreamBinding;

// Thread procedure; the argument is the supervisor. Starts the devices, opens the transfer gate once
// both directions have delivered a block, and stops the devices when its bridge or loop stop flag is set.
unsigned WINAPI BridgeThreadProc(void* supervisor);

// The gate opens when every direction the bridge has delivered a block (pure: the bridge thread's rule).
bool GateMayOpen(bool hasCapture, std::uint64_t captureProgress, std::uint64_t renderProgress);

// One console capture block into the virtual capture streams; one console render block from the virtual
// playback streams. Both count progress; while the gate is closed they only count.
int RouteCaptureBlock(ConsoleBridge* bridge, const float* block, std::uint32_t samples, std::uint16_t channels);
int RouteRenderBlock(StreamBinding* binding, float* block, std::uint32_t samples, std::uint16_t channels);

// Block callbacks installed in the console's devices (context: the bridge, or its render half).
int CaptureBlockCallback(float* block, std::uint32_t samples, std::uint16_t channels, void* context);
int RenderBlockCallback(float* block, std::uint32_t samples, std::uint16_t channels, void* context);
