// CKSDevice: one streaming device wrapping one console pin, with its real-time thread. The supervisor
// sees its packet size, channel count, HID link and block callback.
#pragma once

#include <cstdint>
#include <string>

#include "Service/Quillon/supervisor/ConsoleHidLink.h"

// Per-packet hook: (interleaved float block, samples in the block, channels, context); result ignored.
using BlockCallback = int (*)(float* block, std::uint32_t samples, std::uint16_t channels, void* context);

class CKSDevice {
public:
    virtual ~CKSDevice() = default;

    std::uint32_t m_nPacketSize = 0;  // samples
    std::uint16_t m_nChannels = 0;
    std::int32_t m_nDirection = 0;    // 1 capture, 0 render
    BlockCallback m_pfnBlockCallback = nullptr;
    void* m_pCallbackContext = nullptr;
    ConsoleHidLink m_HidLink;
    std::string m_strModelPattern;
};

class CInputCaptureKS : public CKSDevice {};
class COutputRenderKS : public CKSDevice {};
