// COutputRenderKS: writes the console's multichannel render pin. For every packet the stream thread
// asks the block callback for one block of floats, converts it with clipping to the pin's integers and
// queues it: standard mode writes 2 to 4 packets with their own completion events; real-time mode fills
// the packets of the pin's cyclic buffer and reports each packet number to the pin.
#pragma once

#include "Service/Quillon/streaming/KSDevice.h"

struct RenderPacket {
    KSSTREAM_HEADER m_Header;
    OVERLAPPED m_Overlapped;
    bool m_bSubmitted;
};

class COutputRenderKS : public CKSDevice {
public:
    explicit COutputRenderKS(CKsAudPin* pPin);
    ~COutputRenderKS() override;

    ULONG CountPacketEvents() override;
    ULONG CollectWaitHandles(HANDLE* handles, ULONG capacity) override;
    HANDLE CurrentPacketEvent(ULONG* index) override;
    ULONG PacketCount() override { return m_nPackets; }
    HRESULT StartPin() override;
    void FreeBuffers() override;
    bool AllocateBuffers(std::uint32_t samples) override;
    bool IsPacketDone(ULONG index) override;
    std::uint32_t ProcessPacket(ULONG index, bool resubmit) override;
    void SubmitPacket(ULONG index) override;

    // Packets for a period in milliseconds: >= 10 two, 6 to 9 three, below 6 four.
    static ULONG StandardPacketCount(std::uint32_t periodMs);

    LONGLONG m_llMinRtPacketDuration = 2 * kTicksPerMs;
    RenderPacket* m_pPackets = nullptr;
    // Standard mode: the packets' regions. Real-time mode with samples narrower than 4 bytes: the float
    // block the callback fills before it is converted into the pin's buffer.
    float* m_pSampleBlock = nullptr;
    ULONG m_nPackets = 0;
    // Written by the stream thread and by StartPin on the bridge thread: in real-time mode the pin
    // already runs (and the thread already renders) while StartPin waits its 4 ms.
    std::atomic<ULONG> m_nCurrentPacket{0};
    std::atomic<std::uint32_t> m_nPacketSequence{0};
    std::atomic<bool> m_bWritePacketReporting{true};

private:
    bool RealTime() const { return m_pPin && m_pPin->m_bLoopedSupported; }
    bool AllocateRealTime(std::uint32_t samples);
    bool AllocateStandard();
};
