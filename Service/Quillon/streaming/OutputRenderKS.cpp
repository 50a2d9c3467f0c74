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
        {
            CLockGuard guard(m_Lock);
            // A notification left set by the last run is not a packet of this one.
            if (m_pPin->m_hNotificationEvent) ResetEvent(m_pPin->m_hNotificationEvent);
            for (ULONG i = 0; i < m_nPackets; ++i)
                std::memset(m_pPackets[i].m_Header.Data, 0, m_pPackets[i].m_Header.FrameExtent);
            m_bWritePacketReporting = true;
            m_bPacketCountSupported = true;
            // Packets 0 and 1 (silence) are reported before the pin runs: the hardware may stop at the end
            // of the last packet reported, and a report for a packet already transferring comes too late.
            if (m_nPackets) {
                m_pPin->SetState(KSSTATE_PAUSE);
                ReportWritePacket(0);
                ReportWritePacket(1);
                m_nPacketSequence = 2;
            }
            m_nCurrentPacket = 0;
        }
        return m_pPin->SetState(KSSTATE_RUN);
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
    // Whole frames only: a partial frame would shift every later packet's channels.
    if (m_nChannels) samples -= samples % m_nChannels;
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
    // The driver's packets are its buffer's halves: each must be whole frames, or every packet after the
    // first would start inside a frame and play the channels rotated.
    const std::uint32_t frameBytes = bytes * m_nChannels;
    const bool whole = frameBytes && actual % (2 * frameBytes) == 0;
    const std::uint32_t packetSize = SUCCEEDED(hr) && buffer && whole ? actual / (bytes * 2) : 0;
    m_pPackets = packetSize ? new (std::nothrow) RenderPacket[2]() : nullptr;
    // The callback fills a float block of its own, converted into the region.
    if (m_pPackets) m_pSampleBlock = new (std::nothrow) float[packetSize]();
    if (!m_pPackets || !m_pSampleBlock) {
        delete[] m_pSampleBlock;
        m_pSampleBlock = nullptr;
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

void COutputRenderKS::ReportWritePacket(std::uint32_t number) {
    if (!m_bWritePacketReporting.load()) return;
    KSRTAUDIO_SETWRITEPACKET_INFO info{number, 0, 0};
    const HRESULT hr =
        m_pPin->SetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_SETWRITEPACKET, &info, sizeof info);
    if (hr == E_NOTIMPL) {
        m_bWritePacketReporting = false;
    } else if (FAILED(hr)) {
        // Late (the packet was already transferring) or too far ahead: the next choice asks the pin where
        // it is again.
        m_nWritePacketsRefused.fetch_add(1);
    }
}

bool COutputRenderKS::ChooseWritePacket(std::uint32_t* number) {
    const std::uint32_t next = m_nPacketSequence.load();
    if (m_bPacketCountSupported.load()) {
        ULONG count = 0;
        const HRESULT hr =
            m_pPin->GetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_PACKETCOUNT, &count, sizeof count);
        if (hr == E_NOTIMPL) m_bPacketCountSupported = false;
        if (SUCCEEDED(hr)) {
            const std::uint32_t wanted = count + 1;
            // Written already (a wake before the packet count moved): nothing to fill yet.
            if (static_cast<std::int32_t>(wanted - next) < 0) return false;
            *number = wanted;
            return true;
        }
    }
    const ULONG extent = m_pPackets[0].m_Header.FrameExtent;
    if (const volatile ULONG* reg = m_pPin->m_pPositionRegister; reg && extent) {
        // The hardware plays the region the register points into; the other one is free. When that is not
        // the next packet's region, the hardware is a packet further on and the one between is lost.
        const ULONG free = ((*reg / extent) & 1) ^ 1;
        *number = (next & 1) == free ? next : next + 1;
        return true;
    }
    *number = next;
    return true;
}

void COutputRenderKS::SubmitPacket(ULONG index) {
    if (RealTime()) {
        // ProcessPacket fills and reports the packet it chose; a submission on its own reports the next.
        (void)index;
        CLockGuard guard(m_Lock);
        const std::uint32_t number = m_nPacketSequence.load();
        ReportWritePacket(number);
        m_nPacketSequence = number + 1;
        m_nCurrentPacket.store((number + 1) & 1);
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

std::uint32_t COutputRenderKS::ProcessRealTimePacket(bool resubmit) {
    // The device lock orders the choice and the report with StartPin's on the bridge thread; it is not
    // held across the callback.
    std::uint32_t number = 0;
    {
        CLockGuard guard(m_Lock);
        if (!ChooseWritePacket(&number)) return 0;
    }
    RenderPacket& p = m_pPackets[number & 1];
    p.m_bSubmitted = false;
    const std::uint32_t samples = m_nPacketSize;
    float* block = m_pSampleBlock;
    std::memset(block, 0, samples * sizeof(float));
    if (m_nWarmUp.load() == 0) CallBlockCallback(block, samples);
    // Only whole converted samples reach the hardware's buffer: the block is never written there as floats.
    if (m_bFloatFormat && BitsPerSample() == 32)
        std::memcpy(p.m_Header.Data, block, samples * sizeof(float));
    else
        SampleConversion::RenderFromFloat(BitsPerSample(), static_cast<unsigned>(m_nValidBits), block,
                                          p.m_Header.Data, samples);
    CLockGuard guard(m_Lock);
    if (resubmit) ReportWritePacket(number);
    m_nPacketSequence = number + 1;
    m_nCurrentPacket.store((number + 1) & 1);
    return samples;
}

std::uint32_t COutputRenderKS::ProcessPacket(ULONG index, bool resubmit) {
    if (index >= m_nPackets) return 0;
    if (RealTime()) return ProcessRealTimePacket(resubmit);
    // Standard mode fills the packet whose completion woke the thread. The index the thread waited on
    // can lag the current one: it read it while a start was queueing the ring again. Filling the current
    // packet then would write into a request the driver still holds, and the ring would stall once the
    // thread reached the packet whose completion it had already taken.
    RenderPacket& p = m_pPackets[index];
    p.m_bSubmitted = false;
    const std::uint32_t bits = BitsPerSample();
    float* block = static_cast<float*>(p.m_Header.Data);
    const std::uint32_t samples = m_nPacketSize;
    // The block starts as silence: the region holds the integers this packet carried last, which read as
    // floats would reach the console as noise wherever the callback writes nothing (channels no stream
    // is routed to, or a closed transfer gate).
    std::memset(block, 0, samples * sizeof(float));
    if (m_nWarmUp.load() == 0) CallBlockCallback(block, samples);
    // A float pin takes the block as it is, as the capture side passes float input through.
    if (!(m_bFloatFormat && bits == 32))
        SampleConversion::RenderFromFloat(bits, static_cast<unsigned>(m_nValidBits), block, p.m_Header.Data, samples);
    if (resubmit) SubmitPacket(index);
    return samples;
}
