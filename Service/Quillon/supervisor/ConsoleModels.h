// The six console models the service knows, in the order the supervisor tries them, and the render
// channel offset of each virtual render stream.
#pragma once

#include <cstdint>

class CUSBDevice {
public:
    virtual ~CUSBDevice() = default;
    // "usb#vid_7a3e&pid_" and the product id: found as a substring of the lower-cased filter path.
    virtual const char* DevicePathPattern() const = 0;
    virtual std::uint16_t CaptureChannels() const = 0;  // 0: bridged without a capture stream
    virtual std::uint16_t RenderChannels() const = 0;
    virtual const char* DisplayName() const = 0;
    virtual bool UsesStream(std::int32_t index) const = 0;
};

inline constexpr int kConsoleModelCount = 6;
extern const CUSBDevice* const g_ConsoleModels[kConsoleModelCount];

// First channel of each render stream's stereo pair in the console's render frame; -1 for the rest.
extern std::int16_t g_RenderChannelOffsets[16];

// The model instances, for tests and diagnostics.
const CUSBDevice& QuillonAlto();
const CUSBDevice& QuillonAltoAlt();
const CUSBDevice& QuillonAlto2026();
const CUSBDevice& QuillonBasso();
const CUSBDevice& QuillonBassoAlt();
const CUSBDevice& QuillonBasso2026();
