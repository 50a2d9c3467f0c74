#include "Service/Quillon/streaming/InputCaptureKS.h"

#include <cstring>
#include <new>

#include "Service/Quillon/streaming/PacketRing.h"
#include "Service/Quillon/streaming/SampleConversion.h"

namespace {

std::uint32_t ReadWord(const BYTE* slot) {
    std::uint32_t value;
    std::memcpy(&value, slot, sizeof value);
    return value;
}

void WriteWord(BYTE* slot, std::uint32_t value) { std::memcpy(slot, &value, sizeof value); }

}  // namespace

CInputCaptureKS::CInputCaptureKS(CKsAudPin* pPin) : CKSDevice(pPin) { m_nDirection = 1; }

CInputCaptureKS::~CInputCaptureKS() {
    StopStreamThread();
    if (m_pPin) {
        m_pPin->SetState(KSSTATE_STOP);
        // Closing the pin makes the driver let go of every read still queued on the packets' memory
        // before that memory is freed.
        if (!RealTime()) m_pPin->ClosePin();
    }
    FreeBuffers();
}

ULONG CInputCaptureKS::CountPacketEvents() { return PacketRing::CountEvents(m_pPackets, m_nPackets); }

ULONG CInputCaptureKS::CollectWaitHandles(HANDLE* handles, ULONG capacity) {
    return PacketRing::CollectEvents(m_pPackets, m_nPackets, handles, capacity);
}

HANDLE CInputCaptureKS::CurrentPacketEvent(ULONG* index) {
    const ULONG current = m_nCurrentPacket.load();
    *index = current;
    return current < m_nPackets ? m_pPackets[current].m_Overlapped.hEvent : nullptr;
}

HRESULT CInputCaptureKS::StartPin() {
    if (!m_pPin) return E_FAIL;
    if (RealTime()) {
        if (m_pPin->m_hNotificationEvent) ResetEvent(m_pPin->m_hNotificationEvent);
        m_bReadPacketSupported = true;
    } else {
        // Completions the last stop left signalled (its cancelled reads) are not packets of this start.
        for (ULONG i = 0; i < m_nPackets; ++i)
            if (m_pPackets[i].m_Overlapped.hEvent) ResetEvent(m_pPackets[i].m_Overlapped.hEvent);
        m_pPin->SetState(KSSTATE_PAUSE);
        for (ULONG i = 0; i < m_nPackets; ++i) SubmitPacket(i);
    }
    m_nCurrentPacket = 0;
    m_bStarting.store(true);
    const HRESULT hr = m_pPin->SetState(KSSTATE_RUN);
    m_bStarting.store(false);
    return hr;
}

bool CInputCaptureKS::ResizeSampleBlock(std::uint32_t floats, bool zero) {
    if (floats > m_nSampleBlockSize) {
        delete[] m_pSampleBlock;
        m_pSampleBlock = new (std::nothrow) float[floats];
        m_nSampleBlockSize = m_pSampleBlock ? floats : 0;
        if (!m_pSampleBlock) return false;
    }
    if (zero && m_pSampleBlock) std::memset(m_pSampleBlock, 0, floats * sizeof(float));
    return true;
}

bool CInputCaptureKS::AllocateBuffers(std::uint32_t samples) {
    FreeBuffers();
    // Packets are converted in place in blocks of floats: a sample wider than a float has no room there.
    if (BytesPerSample() > sizeof(float)) return false;
    // Whole frames only: a partial frame would shift every later packet's channels.
    if (m_nChannels) samples -= samples % m_nChannels;
    SetBufferDuration(samples);
    return RealTime() ? AllocateRealTime(samples) : AllocateStandard(samples);
}

bool CInputCaptureKS::AllocateRealTime(std::uint32_t samples) {
    const std::uint32_t bytes = BytesPerSample();
    m_pPackets = new (std::nothrow) CapturePacket[2]();
    if (!m_pPackets || bytes == 0 || !ResizeSampleBlock(samples, true)) {
        SetBufferDuration(0);
        m_nPackets = 0;
        return false;
    }
    m_nPackets = 2;
    void* buffer = nullptr;
    ULONG actual = 0;
    HRESULT hr = m_pPin->AllocateBuffersWithNotification(bytes * samples * 2, &buffer, &actual);
    // An event the driver refused to register is never signalled: without one the thread polls.
    const HANDLE notification = SUCCEEDED(hr) ? m_pPin->m_hNotificationEvent : nullptr;
    if (FAILED(hr)) hr = m_pPin->AllocateBuffer(bytes * samples * 2, &buffer, &actual);
    // The driver's packets are its buffer's halves: each must be whole frames, or every packet after the
    // first would start inside a frame and deliver the channels rotated.
    const std::uint32_t frameBytes = bytes * m_nChannels;
    const bool whole = frameBytes && actual % (2 * frameBytes) == 0;
    const std::uint32_t packetSize = SUCCEEDED(hr) && buffer && whole ? actual / (bytes * 2) : 0;
    // A region must hold at least two 32-bit words: the sentinel slot and the one before it.
    if (packetSize == 0 || packetSize * bytes < 2 * sizeof(std::uint32_t) || !ResizeSampleBlock(packetSize, true)) {
        SetBufferDuration(0);
        m_nPackets = 0;
        return false;
    }
    SetBufferDuration(packetSize);
    const ULONG extent = bytes * packetSize;
    for (ULONG i = 0; i < 2; ++i) {
        CapturePacket& p = m_pPackets[i];
        p.m_Overlapped.hEvent = notification;
        p.m_Header.Size = sizeof(KSSTREAM_HEADER);
        p.m_Header.PresentationTime.Numerator = 1;
        p.m_Header.PresentationTime.Denominator = 1;
        p.m_Header.FrameExtent = extent;
        p.m_Header.Data = static_cast<BYTE*>(buffer) + i * extent;
        // The last whole word inside the region: with 4-byte samples the packet's last sample, with
        // narrower ones the end of the packet's own bytes, never past them.
        BYTE* region = static_cast<BYTE*>(p.m_Header.Data);
        const ULONG lastWord = (extent / sizeof(std::uint32_t) - 1) * sizeof(std::uint32_t);
        p.m_pSentinelSlot = region + lastWord;
        p.m_pPreviousSampleSlot = region + lastWord - sizeof(std::uint32_t);
        WriteWord(p.m_pSentinelSlot, m_nSentinel);
    }
    return true;
}

bool CInputCaptureKS::AllocateStandard(std::uint32_t samples) {
    while (m_nPacketSize && m_llPacketDuration < kMinPacketDuration) SetBufferDuration(2 * m_nPacketSize);
    const std::uint32_t size = m_nPacketSize;
    m_pPackets = new (std::nothrow) CapturePacket[4]();
    if (!m_pPackets || size == 0 || !ResizeSampleBlock(4 * size, true)) {
        delete[] m_pPackets;
        m_pPackets = nullptr;
        m_nPackets = 0;
        return false;
    }
    (void)samples;
    m_nPackets = 4;
    for (ULONG i = 0; i < 4; ++i) {
        CapturePacket& p = m_pPackets[i];
        p.m_Overlapped.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        p.m_Header.Size = sizeof(KSSTREAM_HEADER);
        p.m_Header.PresentationTime.Numerator = 1;
        p.m_Header.PresentationTime.Denominator = 1;
        p.m_Header.FrameExtent = BytesPerSample() * size;
        p.m_Header.DataUsed = 0;
        p.m_Header.Data = m_pSampleBlock + i * size;
    }
    return true;
}

void CInputCaptureKS::FreeBuffers() {
    // Real-time mode: the notification event goes even when no ring was built around it.
    if (RealTime()) {
        if (m_pPin) m_pPin->FreeBuffersWithNotification();
    } else if (m_pPackets) {
        PacketRing::CloseEvents(m_pPackets, m_nPackets);
    }
    delete[] m_pSampleBlock;
    m_pSampleBlock = nullptr;
    m_nSampleBlockSize = 0;
    delete[] m_pPackets;
    m_pPackets = nullptr;
    m_nPackets = 0;
    m_nCurrentPacket = 0;
}

bool CInputCaptureKS::IsPacketDone(ULONG index) {
    if (index >= m_nPackets || !m_pPin) return false;
    KSAUDIO_POSITION position{};
    if (FAILED(m_pPin->GetPosition(&position))) return false;
    const ULONG extent = m_pPackets[index].m_Header.FrameExtent;
    if (extent == 0) return false;
    return static_cast<ULONG>(position.PlayOffset / extent) != index;
}

void CInputCaptureKS::SubmitPacket(ULONG index) {
    if (RealTime()) {
        if (index >= m_nPackets) return;
        WriteWord(m_pPackets[index].m_pSentinelSlot, m_nSentinel);
        m_pPackets[index].m_bConverted = false;
        return;
    }
    if (index >= m_nPackets) return;
    CLockGuard guard(m_Lock);
    CapturePacket& p = m_pPackets[index];
    // The driver writes the header back at completion: what it said of the last read (a size or extent
    // of its own) must not shape the next one.
    p.m_Header.Size = sizeof(KSSTREAM_HEADER);
    p.m_Header.FrameExtent = BytesPerSample() * m_nPacketSize;
    p.m_Header.DataUsed = 0;
    p.m_bConverted = false;
    p.m_bSubmitted = SUCCEEDED(m_pPin->ReadData(&p.m_Header, &p.m_Overlapped));
    m_llStreamPosition += m_llPacketDuration;
}

int CInputCaptureKS::ChooseRealTimePacket(ULONG a, bool* moreData) {
    *moreData = false;
    if (m_bReadPacketSupported.load()) {
        // Asking again tells the pin that the packets it gave before have been read.
        KSRTAUDIO_GETREADPACKET_INFO info{};
        const HRESULT hr =
            m_pPin->GetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_GETREADPACKET, &info, sizeof info);
        if (SUCCEEDED(hr)) {
            *moreData = info.MoreData != FALSE;
            return static_cast<int>(info.PacketNumber & 1);
        }
        if (hr == kKsNotReady) return -1;  // nothing new since the last packet read
        if (hr == E_NOTIMPL) m_bReadPacketSupported = false;
        // Any other failure: the words decide this once.
    }
    const ULONG n = a + 1 == m_nPackets ? 0 : a + 1;
    const bool freshA = ReadWord(m_pPackets[a].m_pSentinelSlot) != m_nSentinel;
    const bool freshN = ReadWord(m_pPackets[n].m_pSentinelSlot) != m_nSentinel;
    // Both rewritten since they were read: packet a came first and the hardware is writing over it again
    // now (a notification was missed); n is the newest whole packet.
    if (freshN) return static_cast<int>(n);
    if (freshA) return static_cast<int>(a);
    // Neither word moved (a driver may leave a packet's last word alone): the whole packet is the one
    // the hardware is not writing, which the position register tells when there is one.
    const ULONG extent = m_pPackets[0].m_Header.FrameExtent;
    if (const volatile ULONG* reg = m_pPin->m_pPositionRegister; reg && extent)
        return static_cast<int>(((*reg / extent) & 1) ^ 1);
    return static_cast<int>(a);
}

std::uint32_t CInputCaptureKS::ProcessPacket(ULONG a, bool resubmit) {
    if (a >= m_nPackets) return 0;
    if (!RealTime()) return DeliverPacket(a, resubmit);
    std::uint32_t samples = 0;
    // MoreData: a second packet waits (the buffer holds two at most).
    for (int round = 0; round < 2; ++round) {
        bool moreData = false;
        const int chosen = ChooseRealTimePacket(m_nCurrentPacket.load(), &moreData);
        if (chosen < 0) break;
        CapturePacket& p = m_pPackets[chosen];
        if (ReadWord(p.m_pSentinelSlot) == m_nSentinel) {
            // Not overwritten since it was armed: never deliver the sentinel as a sample.
            WriteWord(p.m_pSentinelSlot, BitsPerSample() == 32 ? ReadWord(p.m_pPreviousSampleSlot) : 0);
        }
        samples = DeliverPacket(static_cast<ULONG>(chosen), resubmit);
        if (!moreData) break;
    }
    return samples;
}

std::uint32_t CInputCaptureKS::DeliverPacket(ULONG a, bool resubmit) {
    const bool realTime = RealTime();
    m_nCurrentPacket.store(a + 1 == m_nPackets ? 0 : a + 1);
    CapturePacket& p = m_pPackets[a];
    p.m_bSubmitted = false;

    float* block;
    std::uint32_t samples;
    const std::uint32_t bytes = BytesPerSample();
    if (realTime) {
        std::memcpy(m_pSampleBlock, p.m_Header.Data, p.m_Header.FrameExtent);
        block = m_pSampleBlock;
        samples = m_nPacketSize;
        p.m_bConverted = false;  // the block was refilled from the pin's buffer
    } else {
        block = static_cast<float*>(p.m_Header.Data);
        // The driver's count, bounded by what the packet can hold: its own extent, not the one the driver
        // wrote back into the header.
        const ULONG extent = bytes * m_nPacketSize;
        const ULONG used = p.m_Header.DataUsed < extent ? p.m_Header.DataUsed : extent;
        samples = bytes ? used / bytes : 0;
    }
    if (!p.m_bConverted) {
        if (!m_bFloatFormat) SampleConversion::CaptureToFloat(BitsPerSample(), block, samples);
        p.m_bConverted = true;
    }
    if (samples && m_nWarmUp.load() == 0) CallBlockCallback(block, samples);
    if (resubmit) SubmitPacket(a);
    return samples;
}
