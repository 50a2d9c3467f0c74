// CInputCaptureKS: reads the console's multichannel capture pin. A ring of packets stays queued on the
// pin (standard mode: four reads, one completion event each) or the pin's cyclic buffer is read in
// place (real-time mode: two packets, one notification event, fresh packets told by a sentinel word);
// every completed packet is converted to float and handed to the block callback.
#pragma once

#include "Service/Quillon/streaming/KSDevice.h"

inline constexpr std::uint32_t kCaptureSentinel = 0x5A5A5A5A;

struct CapturePacket {
    KSSTREAM_HEADER m_Header;
    OVERLAPPED m_Overlapped;
    BYTE* m_pSentinelSlot;        // real-time mode: the last whole 32-bit word of the packet's region
    BYTE* m_pPreviousSampleSlot;  // real-time mode: the word before it (null when the region is one word)
    bool m_bSubmitted;
    bool m_bConverted;
};

class CInputCaptureKS : public CKSDevice {
public:
    explicit CInputCaptureKS(CKsAudPin* pPin);
    ~CInputCaptureKS() override;

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

    std::uint32_t m_nSentinel = kCaptureSentinel;
    CapturePacket* m_pPackets = nullptr;
    float* m_pSampleBlock = nullptr;
    std::uint32_t m_nSampleBlockSize = 0;  // floats
    ULONG m_nPackets = 0;
    // Written by the stream thread and by StartPin on the bridge thread while the pin starts.
    std::atomic<ULONG> m_nCurrentPacket{0};
    // Real-time mode: whether the pin answers KSPROPERTY_RTAUDIO_GETREADPACKET (until it says it does not).
    std::atomic<bool> m_bReadPacketSupported{true};

private:
    bool RealTime() const { return m_pPin && m_pPin->m_bLoopedSupported; }
    bool AllocateRealTime(std::uint32_t samples);
    bool AllocateStandard(std::uint32_t samples);
    bool ResizeSampleBlock(std::uint32_t floats, bool zero);
    // Real-time mode: the region of the next whole packet not yet delivered, or -1 when nothing is new.
    // The pin's GETREADPACKET decides when it answers (MoreData: another waits); otherwise the sentinel
    // words, with the position register when neither word shows fresh data.
    int ChooseRealTimePacket(ULONG expected, bool* moreData);
    std::uint32_t DeliverPacket(ULONG a, bool resubmit);
};
