#include "Service/Quillon/streaming/KSDevice.h"

#include <xmmintrin.h>

#include "Service/Quillon/vdriver/EndpointControl.h"

namespace {

constexpr unsigned kFlushToZero = 0x8000;      // MXCSR FTZ
constexpr unsigned kDenormalsAreZero = 0x0040;  // MXCSR DAZ

const WAVEFORMATEXTENSIBLE* Extensible(const WAVEFORMATEX* format) {
    return format && format->wFormatTag == WAVE_FORMAT_EXTENSIBLE && format->cbSize >= 22
               ? reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format)
               : nullptr;
}

}  // namespace

CKSDevice::CKSDevice(CKsAudPin* pPin) : m_pPin(pPin) {
    const WAVEFORMATEX* format = pPin ? pPin->m_pWaveFormatEx : nullptr;
    if (!format) return;
    const WAVEFORMATEXTENSIBLE* extensible = Extensible(format);
    m_bFloatFormat = format->wFormatTag == WAVE_FORMAT_IEEE_FLOAT ||
                     (extensible && IsEqualGUID(extensible->SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));
    m_nChannels = format->nChannels;
    m_nValidBits = static_cast<std::int16_t>(format->wBitsPerSample);
    if (extensible) m_nValidBits = static_cast<std::int16_t>(extensible->Samples.wValidBitsPerSample);
}

CKSDevice::~CKSDevice() {
    // The derived destructors have ended the thread and released the packet ring.
    if (m_pEndpointVolume) {
        m_pEndpointVolume->Release();
        m_pEndpointVolume = nullptr;
    }
    if (m_pPin) {
        m_pPin->ClosePin();
        // The real-time buffer went with the instance; a later instance of the same pin must ask for one
        // of its own rather than be handed the freed one from the pin's cache.
        m_pPin->m_pRtBuffer = nullptr;
        m_pPin->m_cbRtBuffer = 0;
    }
    m_strModelPattern.clear();
    CloseLink(m_HidLink);
    m_strName.clear();
    m_BusRelations.clear();
    if (m_hStreamThread != INVALID_HANDLE_VALUE) {
        CloseHandle(m_hStreamThread);
        m_hStreamThread = INVALID_HANDLE_VALUE;
    }
}

std::uint32_t CKSDevice::BitsPerSample() const {
    return m_pPin && m_pPin->m_pWaveFormatEx ? m_pPin->m_pWaveFormatEx->wBitsPerSample : 0;
}

std::uint32_t CKSDevice::SamplesPerSecond() const {
    return m_pPin && m_pPin->m_pWaveFormatEx ? m_pPin->m_pWaveFormatEx->nSamplesPerSec : 0;
}

void CKSDevice::SetBufferDuration(std::uint32_t samples) {
    if (samples == m_nPacketSize) return;
    m_nPacketSize = samples;
    const LONGLONG perSecond = static_cast<LONGLONG>(m_nChannels) * SamplesPerSecond();
    if (!m_pPin || perSecond == 0) return;
    m_llPacketDuration = static_cast<LONGLONG>(samples) * kTicksPerSecond / perSecond;
    m_nPeriodMs = static_cast<std::uint32_t>(m_llPacketDuration / kTicksPerMs);
    if (m_nPeriodMs == 0) m_nPeriodMs = 1;
    m_pPin->SetBufferDuration(m_nPeriodMs);  // a driver without the property keeps its own
}

// Under the device lock (re-entered when the caller holds it already), so that the pin's state does not
// change while the stream thread queues a standard-mode packet.
HRESULT CKSDevice::StopStreaming() {
    CLockGuard guard(m_Lock);
    return m_pPin ? m_pPin->SetState(KSSTATE_STOP) : E_FAIL;
}

HRESULT CKSDevice::ReinstantiatePin() { return m_pPin ? m_pPin->Reinstantiate() : E_FAIL; }

bool CKSDevice::AttachEndpoint() {
    std::vector<const WCHAR*> candidates;
    candidates.reserve(m_BusRelations.size());
    for (const auto& relation : m_BusRelations) candidates.push_back(relation.data());
    if (m_pEndpointVolume) {
        m_pEndpointVolume->Release();
        m_pEndpointVolume = nullptr;
    }
    GUID container{};
    FindConsoleEndpoint(m_nDirection == 1 ? 1 : 0, candidates.data(), candidates.size(), &m_pEndpointVolume,
                        &container);
    if (container == GUID{}) return false;
    return OpenByContainerId(container, m_HidLink);
}

void CKSDevice::SetBusRelations(const WCHAR* multiString) {
    m_BusRelations.clear();
    for (const WCHAR* p = multiString; p && *p;) {
        const WCHAR* end = p;
        while (*end) ++end;
        m_BusRelations.emplace_back(p, end + 1);
        p = end + 1;
    }
    AttachEndpoint();
}

void CKSDevice::StartStreamThread() {
    m_bStop.store(false);
    if (m_StopEvent.Handle() != INVALID_HANDLE_VALUE) WaitForSingleObject(m_StopEvent.Handle(), 0);
    if (m_hStreamThread == INVALID_HANDLE_VALUE) {
        const uintptr_t thread = _beginthreadex(nullptr, 0, StreamThreadMain, this, 0, &m_nStreamThreadId);
        if (thread) m_hStreamThread = reinterpret_cast<HANDLE>(thread);
    }
    if (m_hStreamThread != INVALID_HANDLE_VALUE) SetThreadPriority(m_hStreamThread, THREAD_PRIORITY_TIME_CRITICAL);
}

HRESULT CKSDevice::Start() {
    m_llStreamPosition = 0;
    m_nPacketsPerSecond = m_nPeriodMs ? kMsPerSecond / m_nPeriodMs : 0;
    m_nRtResync = 0;
    m_nWarmUp.store(kWarmUpPackets);
    return StartPin();
}

void CKSDevice::SetBlockCallback(BlockCallback callback, void* context) {
    CLockGuard guard(m_CallbackLock);
    m_pfnBlockCallback.store(callback);
    m_pCallbackContext.store(context);
}

void CKSDevice::CallBlockCallback(float* block, std::uint32_t samples) {
    CLockGuard guard(m_CallbackLock);
    if (BlockCallback callback = m_pfnBlockCallback.load())
        callback(block, samples, m_nChannels, m_pCallbackContext.load());
}

void CKSDevice::StopStreamThread() {
    m_bStop.store(true);
    if (m_hStreamThread == INVALID_HANDLE_VALUE) return;  // never started: nothing to wait for
    if (m_StopEvent.Handle() != INVALID_HANDLE_VALUE) SetEvent(m_StopEvent.Handle());
    WaitForSingleObject(m_hStreamThread, INFINITE);
    CloseHandle(m_hStreamThread);
    m_hStreamThread = INVALID_HANDLE_VALUE;
}

unsigned WINAPI CKSDevice::StreamThreadMain(void* context) {
    static_cast<CKSDevice*>(context)->StreamThread();
    return 0;
}

void CKSDevice::DispatchPacket(ULONG index) {
    ProcessPacket(index, true);
    if (m_bStarting.load()) return;  // packets of a pin still being switched to run do not count
    // A Start on the bridge thread may reset the countdown meanwhile; its 32 then stand.
    std::uint32_t remaining = m_nWarmUp.load();
    if (remaining) m_nWarmUp.compare_exchange_strong(remaining, remaining - 1);
}

void CKSDevice::StreamThread() {
    // Denormal floats (decaying tails, quiet inputs) flush to zero here: each one costs the processor a
    // hundred cycles or more, which a real-time thread cannot spare.
    _mm_setcsr(_mm_getcsr() | kFlushToZero | kDenormalsAreZero);
    DWORD taskIndex = 0;
    HANDLE task = AvSetMmThreadCharacteristicsW(WSTR("Pro Audio"), &taskIndex);
    if (task) AvSetMmThreadPriority(task, AVRT_PRIORITY_HIGH);

    // A stop event that could not be created is never signalled; the stop flag, tested after every wait,
    // still ends the loop within one time-out.
    const bool eventMode = CountPacketEvents() != 0;
    const std::uint32_t period = m_nPeriodMs;
    DWORD timeout = eventMode ? 4 * period : period / 4;
    if (timeout == 0) timeout = 1;
    const DWORD count = eventMode ? 2 : 1;
    const DWORD stopIndex = count - 1;
    m_WaitHandles[stopIndex] = m_StopEvent.Handle();

    while (!m_bStop.load()) {
        ULONG index = 0;
        HANDLE packetEvent = CurrentPacketEvent(&index);
        if (eventMode && packetEvent) m_WaitHandles[0] = packetEvent;
        const DWORD result = WaitForMultipleObjects(count, m_WaitHandles, FALSE, timeout);
        if (eventMode && result == WAIT_OBJECT_0) {
            DispatchPacket(index);
        } else if (result == WAIT_OBJECT_0 + stopIndex) {
            break;
        } else if (result == WAIT_TIMEOUT) {
            if (!eventMode && IsPacketDone(index)) DispatchPacket(index);
        } else {
            GetLastError();  // abandoned or failed: the thread ends; the pin runs on until it is stopped
            break;
        }
    }
    if (task) AvRevertMmThreadCharacteristics(task);
}
