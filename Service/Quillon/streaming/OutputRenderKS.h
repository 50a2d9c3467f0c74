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
    // Standard mode: the packets' regions. Real-time mode: the float block the callback fills before it is
    // converted into the pin's buffer (for every sample width: floats written into the hardware's buffer
    // would play as loud noise wherever the hardware reached them before the conversion).
    float* m_pSampleBlock = nullptr;
    ULONG m_nPackets = 0;
    // Written by the stream thread and by StartPin on the bridge thread.
    std::atomic<ULONG> m_nCurrentPacket{0};
    // Real-time mode: the number of the next packet to write. Packet n lies at (n mod 2) x the packet
    // extent; numbers count from 0 at each start, as the pin counts them.
    std::atomic<std::uint32_t> m_nPacketSequence{0};
    std::atomic<bool> m_bWritePacketReporting{true};
    // Real-time mode: whether the pin answers KSPROPERTY_RTAUDIO_PACKETCOUNT (until it says it does not).
    std::atomic<bool> m_bPacketCountSupported{true};
    // Real-time mode: write-packet reports the pin refused (late or too far ahead) since the device was made.
    std::atomic<std::uint32_t> m_nWritePacketsRefused{0};

private:
    bool RealTime() const { return m_pPin && m_pPin->m_bLoopedSupported; }
    bool AllocateRealTime(std::uint32_t samples);
    bool AllocateStandard();
    // Real-time mode: the number of the packet to fill now, from the pin's packet count (packet `count`
    // is transferring, so `count` + 1 is the one to fill), else from its position register (the region
    // the hardware is not playing), else the next in turn. False when that packet is written already.
    bool ChooseWritePacket(std::uint32_t* number);
    void ReportWritePacket(std::uint32_t number);
    std::uint32_t ProcessRealTimePacket(bool resubmit);
};
