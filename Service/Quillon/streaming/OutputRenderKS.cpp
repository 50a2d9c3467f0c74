#include "Service/Quillon/streaming/OutputRenderKS.h"

#include <cstring>
#include <new>

#include "Service/Quillon/streaming/PacketRing.h"
#include "Service/Quillon/streaming/SampleConversion.h"

COutputRenderKS::COutputRenderKS(CKsAudPin* pPin) : CKSDevice(pPin) { m_nDirection = 0; }

COutputRenderKS::~COutputRenderKS() {
    StopStreamThread();
    if (m_pPin) {
        m_pPin->SetState(KSSTATE_STOP);
        // Closing the pin makes the driver let go of every write still queued on the packets' memory
        // before that memory is freed.
        if (!RealTime()) m_pPin->ClosePin();
    }
    FreeBuffers();
}

ULONG COutputRenderKS::StandardPacketCount(std::uint32_t periodMs) {
    if (periodMs >= 10) return 2;
    if (periodMs >= 6) return 3;
    return 4;
}

ULONG COutputRenderKS::CountPacketEvents() { return PacketRing::CountEvents(m_pPackets, m_nPackets); }

ULONG COutputRenderKS::CollectWaitHandles(HANDLE* handles, ULONG capacity) {
    return PacketRing::CollectEvents(m_pPackets, m_nPackets, handles, capacity);
}

HANDLE COutputRenderKS::CurrentPacketEvent(ULONG* index) {
    const ULONG current = m_nCurrentPacket.load();
    *index = current;
    return current < m_nPackets ? m_pPackets[current].m_Overlapped.hEvent : nullptr;
}

HRESULT COutputRenderKS::StartPin() {
    if (!m_pPin) return E_FAIL;
    m_nPacketSequence = 0;
    if (RealTime()) {
        for (ULONG i = 0; i < m_nPackets; ++i) std::memset(m_pPackets[i].m_Header.Data, 0, m_pPackets[i].m_Header.FrameExtent);
        const HRESULT hr = m_pPin->SetState(KSSTATE_RUN);
        Sleep(4);
        m_bWritePacketReporting = true;
        SubmitPacket(0);
        SubmitPacket(0);
        return hr;
    }
    // Silence primes the pin at every start, not only the first: the regions still hold the integers of
    // the last packets written.
    if (m_pSampleBlock) std::memset(m_pSampleBlock, 0, static_cast<std::size_t>(m_nPackets) * m_nPacketSize * sizeof(float));
    // Completions the last stop left signalled (its cancelled writes) are not packets of this start.
    for (ULONG i = 0; i < m_nPackets; ++i)
        if (m_pPackets[i].m_Overlapped.hEvent) ResetEvent(m_pPackets[i].m_Overlapped.hEvent);
    m_pPin->SetState(KSSTATE_PAUSE);
    for (ULONG i = 0; i < m_nPackets; ++i) SubmitPacket(i);
    m_nCurrentPacket = 0;
    return m_pPin->SetState(KSSTATE_RUN);
}

bool COutputRenderKS::AllocateBuffers(std::uint32_t samples) {
    FreeBuffers();
    // Packets are converted in place in blocks of floats: a sample wider than a float has no room there.
    if (BytesPerSample() > sizeof(float)) return false;
    SetBufferDuration(samples);
    return RealTime() ? AllocateRealTime(samples) : AllocateStandard();
}

bool COutputRenderKS::AllocateRealTime(std::uint32_t samples) {
    (void)samples;
    while (m_nPacketSize && m_llPacketDuration < m_llMinRtPacketDuration) SetBufferDuration(2 * m_nPacketSize);
    const std::uint32_t bytes = BytesPerSample();
    void* buffer = nullptr;
    ULONG actual = 0;
    const HRESULT hr = bytes ? m_pPin->AllocateBuffersWithNotification(bytes * m_nPacketSize * 2, &buffer, &actual)
                             : E_FAIL;
    const std::uint32_t packetSize = SUCCEEDED(hr) && buffer ? actual / (bytes * 2) : 0;
    m_pPackets = packetSize ? new (std::nothrow) RenderPacket[2]() : nullptr;
    // Narrower samples: the callback fills a float block of its own, converted into the region.
    if (m_pPackets && bytes < sizeof(float)) m_pSampleBlock = new (std::nothrow) float[packetSize]();
    if (!m_pPackets || (bytes < sizeof(float) && !m_pSampleBlock)) {
        delete[] m_pPackets;
        m_pPackets = nullptr;
        SetBufferDuration(0);
        m_nPackets = 0;
        return false;
    }
    SetBufferDuration(packetSize);
    m_nPackets = 2;
    const ULONG extent = bytes * packetSize;
    for (ULONG i = 0; i < 2; ++i) {
        RenderPacket& p = m_pPackets[i];
        p.m_Overlapped.hEvent = m_pPin->m_hNotificationEvent;
        p.m_Header.Size = sizeof(KSSTREAM_HEADER);
        p.m_Header.FrameExtent = extent;
        p.m_Header.DataUsed = extent;
        p.m_Header.Data = static_cast<BYTE*>(buffer) + i * extent;
    }
    return true;
}

bool COutputRenderKS::AllocateStandard() {
    while (m_nPacketSize && m_llPacketDuration < kMinPacketDuration) SetBufferDuration(2 * m_nPacketSize);
    const std::uint32_t size = m_nPacketSize;
    const ULONG count = StandardPacketCount(m_nPeriodMs);
    m_pPackets = size ? new (std::nothrow) RenderPacket[count]() : nullptr;
    m_pSampleBlock = m_pPackets ? new (std::nothrow) float[static_cast<std::size_t>(count) * size]() : nullptr;
    if (!m_pPackets || !m_pSampleBlock) {
        delete[] m_pPackets;
        m_pPackets = nullptr;
        m_nPackets = 0;
        return false;
    }
    m_nPackets = count;
    for (ULONG i = 0; i < count; ++i) {
        RenderPacket& p = m_pPackets[i];
        p.m_Overlapped.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        p.m_Header.Size = sizeof(KSSTREAM_HEADER);
        p.m_Header.PresentationTime.Numerator = 1;
        p.m_Header.PresentationTime.Denominator = 1;
        p.m_Header.FrameExtent = p.m_Header.DataUsed = BytesPerSample() * size;
        p.m_Header.OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
        p.m_Header.Data = m_pSampleBlock + static_cast<std::size_t>(i) * size;
    }
    m_nCurrentPacket = 0;
    return true;
}

void COutputRenderKS::FreeBuffers() {
    // Real-time mode: the notification event goes even when no ring was built around it.
    if (RealTime()) {
        if (m_pPin) m_pPin->FreeBuffersWithNotification();
    } else if (m_pPackets) {
        PacketRing::CloseEvents(m_pPackets, m_nPackets);
    }
    delete[] m_pSampleBlock;
    m_pSampleBlock = nullptr;
    delete[] m_pPackets;
    m_pPackets = nullptr;
    m_nPackets = 0;
    m_nCurrentPacket = 0;
}

bool COutputRenderKS::IsPacketDone(ULONG index) {
    if (index >= m_nPackets || !m_pPin) return false;
    KSAUDIO_POSITION position{};
    if (FAILED(m_pPin->GetPosition(&position))) return false;
    const ULONG extent = m_pPackets[index].m_Header.FrameExtent;
    if (extent == 0) return false;
    return static_cast<ULONG>(position.PlayOffset / extent) != index;
}

void COutputRenderKS::SubmitPacket(ULONG index) {
    if (RealTime()) {
        (void)index;  // the packet sequence designates the packet
        // StartPin reports its two packets on the bridge thread while the running pin may already wake
        // the stream thread: the lock keeps the numbers reaching the pin in order.
        CLockGuard guard(m_Lock);
        const std::uint32_t sequence = ++m_nPacketSequence;
        if (m_bWritePacketReporting.load()) {
            KSRTAUDIO_SETWRITEPACKET_INFO info{sequence, 0, 0};
            const HRESULT hr =
                m_pPin->SetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_SETWRITEPACKET, &info, sizeof info);
            if (hr == E_NOTIMPL) {
                m_bWritePacketReporting = false;
            } else if (++m_nRtResync > m_nPacketsPerSecond || FAILED(hr)) {
                ULONG count = 0;
                if (SUCCEEDED(m_pPin->GetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_PACKETCOUNT, &count,
                                                        sizeof count))) {
                    if (count != m_nPacketSequence.load()) m_nPacketSequence.store(count);
                    m_nRtResync = 0;
                }
            }
        }
        m_nCurrentPacket.store(m_nPacketSequence.load() & 1);
        return;
    }
    if (!m_pPackets || index >= m_nPackets) return;
    CLockGuard guard(m_Lock);
    RenderPacket& p = m_pPackets[index];
    // The driver writes the header back at completion: the size and byte counts of the next write are the
    // packet's own again, whatever it left there.
    p.m_Header.Size = sizeof(KSSTREAM_HEADER);
    p.m_Header.FrameExtent = p.m_Header.DataUsed = BytesPerSample() * m_nPacketSize;
    p.m_Header.PresentationTime.Time = m_llStreamPosition;
    m_llStreamPosition += m_llPacketDuration;
    p.m_bSubmitted = SUCCEEDED(m_pPin->WriteData(&p.m_Header, &p.m_Overlapped));
    // The packet after the one just queued is the next to come back from the driver.
    m_nCurrentPacket.store(index + 1 == m_nPackets ? 0 : index + 1);
}

std::uint32_t COutputRenderKS::ProcessPacket(ULONG index, bool resubmit) {
    if (index >= m_nPackets) return 0;
    const bool realTime = RealTime();
    // Standard mode fills the packet whose completion woke the thread. The index the thread waited on
    // can lag the current one: it read it while a start was queueing the ring again. Filling the current
    // packet then would write into a request the driver still holds, and the ring would stall once the
    // thread reached the packet whose completion it had already taken.
    const ULONG current = realTime ? m_nCurrentPacket.load() : index;
    RenderPacket& p = m_pPackets[current];
    p.m_bSubmitted = false;
    const std::uint32_t bits = BitsPerSample();
    // The float block: the region itself, except in real-time mode with narrower samples.
    float* block = realTime && m_pSampleBlock ? m_pSampleBlock : static_cast<float*>(p.m_Header.Data);
    const std::uint32_t samples = m_nPacketSize;
    // The block starts as silence in both modes: in standard mode the region holds the integers this
    // packet carried last, which read as floats would reach the console as noise wherever the callback
    // writes nothing (channels no stream is routed to, or a closed transfer gate).
    std::memset(block, 0, samples * sizeof(float));
    if (m_nWarmUp.load() == 0) CallBlockCallback(block, samples);
    // A float pin takes the block as it is, as the capture side passes float input through.
    if (m_bFloatFormat && bits == 32) {
        if (block != p.m_Header.Data) std::memcpy(p.m_Header.Data, block, samples * sizeof(float));
    } else {
        SampleConversion::RenderFromFloat(bits, static_cast<unsigned>(m_nValidBits), block, p.m_Header.Data, samples);
    }
    if (resubmit) SubmitPacket(current);
    return samples;
}
