// CKSDevice: one streaming device wrapping one opened console pin, with its own real-time stream thread.
// The base sizes packets (samples, ticks, milliseconds), runs the thread that waits for packet
// completion and hands each packet to the derived class, and keeps what identifies the console the pin
// belongs to: the filter's bus relations, the model's device-path pattern, the Windows endpoint's volume
// and the HID link of the same physical console. CInputCaptureKS and COutputRenderKS implement the
// packet rings, the conversions and the submission.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "Service/Quillon/ks/KsAudPin.h"
#include "Service/Quillon/supervisor/ConsoleHidLink.h"
#include "Service/Quillon/supervisor/Event.h"
#include "Service/common/CountedLock.h"
#include "platform/win32.h"

// Per-packet hook: (interleaved float block, samples in the block, channels, context); result ignored.
using BlockCallback = int (*)(float* block, std::uint32_t samples, std::uint16_t channels, void* context);

inline constexpr std::uint32_t kWarmUpPackets = 32;

class CKSDevice {
public:
    explicit CKSDevice(CKsAudPin* pPin);
    virtual ~CKSDevice();
    CKSDevice(const CKSDevice&) = delete;
    CKSDevice& operator=(const CKSDevice&) = delete;

    // Virtual slots 1 to 13.
    virtual ULONG CountPacketEvents() = 0;
    virtual ULONG CollectWaitHandles(HANDLE* handles, ULONG capacity) = 0;
    virtual HANDLE CurrentPacketEvent(ULONG* index) = 0;
    virtual ULONG PacketCount() = 0;
    virtual HRESULT StartPin() = 0;
    virtual HRESULT StopStreaming();
    virtual HRESULT ReinstantiatePin();
    virtual void FreeBuffers() = 0;
    virtual bool AllocateBuffers(std::uint32_t samples) = 0;
    virtual bool AttachEndpoint();
    virtual bool IsPacketDone(ULONG index) = 0;
    virtual std::uint32_t ProcessPacket(ULONG index, bool resubmit) = 0;
    virtual void SubmitPacket(ULONG index) = 0;

    // Packet size in samples; with a pin also the packet duration, the period and the pin's own buffer
    // duration. The same size again changes nothing.
    void SetBufferDuration(std::uint32_t samples);
    // Starts the stream thread if there is none and (again) raises it to time-critical priority.
    void StartStreamThread();
    // Resets the counters and the warm-up, then starts the pin.
    HRESULT Start();
    // The filter's bus relations (terminated strings ended by an empty one), then AttachEndpoint.
    void SetBusRelations(const WCHAR* multiString);

    // Installs the block callback and its context, or removes them with null. Once it returns, the
    // previous pair is neither being called nor called again, so its context may be freed at once.
    void SetBlockCallback(BlockCallback callback, void* context);

    // Packets still to pass without reaching the callback after the last Start.
    std::uint32_t WarmUpRemaining() const { return m_nWarmUp.load(); }

    static constexpr LONGLONG kTicksPerSecond = 10'000'000;
    static constexpr LONGLONG kTicksPerMs = 10'000;
    static constexpr LONGLONG kMinPacketDuration = 20'000;  // 2 ms
    static constexpr std::uint32_t kMsPerSecond = 1000;

    HANDLE m_hStreamThread = INVALID_HANDLE_VALUE;
    unsigned m_nStreamThreadId = 0;
    CEvent m_StopEvent;
    CCountedLock m_Lock;
    std::atomic<bool> m_bStop{false};
    CKsAudPin* m_pPin;
    IAudioEndpointVolume* m_pEndpointVolume = nullptr;
    // Set directly only before the stream thread runs; afterwards through SetBlockCallback.
    std::atomic<BlockCallback> m_pfnBlockCallback{nullptr};
    std::atomic<void*> m_pCallbackContext{nullptr};
    std::string m_strName;
    std::vector<std::vector<WCHAR>> m_BusRelations;  // each entry terminated
    std::uint32_t m_nPeriodMs = 100;
    LONGLONG m_llPacketDuration = 1'000'000;
    LONGLONG m_llStreamPosition = 0;
    std::uint32_t m_nPacketSize = 0;  // samples
    std::uint16_t m_nChannels = 0;
    std::int32_t m_nDirection = 0;  // 1 capture, 0 render
    std::uint32_t m_nPacketsPerSecond = 0;
    std::atomic<std::uint32_t> m_nRtResync{0};
    std::atomic<std::uint32_t> m_nWarmUp{0};
    bool m_bFloatFormat = false;
    std::int16_t m_nValidBits = 0;
    ConsoleHidLink m_HidLink;
    std::string m_strModelPattern;

protected:
    // Bits and bytes per sample of the pin's format (0 without a pin).
    std::uint32_t BitsPerSample() const;
    std::uint32_t BytesPerSample() const { return BitsPerSample() / 8; }
    std::uint32_t SamplesPerSecond() const;
    // Hands a block to the installed callback, if any (stream thread).
    void CallBlockCallback(float* block, std::uint32_t samples);
    // Ends and waits for the stream thread; called first by the derived destructors.
    void StopStreamThread();
    // True while a capture pin is being switched to KSSTATE_RUN: packets completed then do not count
    // towards the warm-up.
    std::atomic<bool> m_bStarting{false};

private:
    static unsigned WINAPI StreamThreadMain(void* context);
    void StreamThread();
    void DispatchPacket(ULONG index);

    HANDLE m_WaitHandles[2] = {nullptr, nullptr};
    // Held around every callback call and every change of the callback, never with the device lock.
    CCountedLock m_CallbackLock;
};
