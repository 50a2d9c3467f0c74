#include "Service/Quillon/ks/KsAudPin.h"

#include <cstring>
#include <new>

#include "Service/Quillon/ks/KsAudFilter.h"

ULONG KsWaveFormatSize(const WAVEFORMATEX* pwfx) {
    return pwfx->wFormatTag == WAVE_FORMAT_PCM ? sizeof(WAVEFORMATEX) : sizeof(WAVEFORMATEX) + pwfx->cbSize;
}

namespace {

// {tag-0000-0010-8000-00AA00389B71}: the wave-format sub-type family.
GUID WaveSubType(ULONG tag) {
    GUID guid = KSDATAFORMAT_SUBTYPE_WAVEFORMATEX;
    guid.Data1 = tag;
    return guid;
}

bool InWaveFamily(const GUID& guid) {
    return std::memcmp(reinterpret_cast<const BYTE*>(&guid) + 2,
                       reinterpret_cast<const BYTE*>(&KSDATAFORMAT_SUBTYPE_WAVEFORMATEX) + 2, sizeof(GUID) - 2) == 0;
}

}  // namespace

bool KsNextDataRange(const BYTE* ranges, ULONG cbRanges, ULONG offset, const KSDATARANGE& range, ULONG* next) {
    auto align8 = [](ULONGLONG value) { return (value + 7) & ~ULONGLONG{7}; };
    ULONGLONG at = align8(ULONGLONG{offset} + range.FormatSize);
    if (range.Flags & KSDATARANGE_ATTRIBUTES) {
        if (at > cbRanges || cbRanges - at < sizeof(KSMULTIPLE_ITEM)) return false;
        KSMULTIPLE_ITEM attributes;
        std::memcpy(&attributes, ranges + at, sizeof attributes);
        if (attributes.Size < sizeof(KSMULTIPLE_ITEM) || attributes.Size > cbRanges - at) return false;
        at = align8(at + attributes.Size);
    }
    // The last range may end the answer without padding.
    if (at > align8(cbRanges)) return false;
    *next = static_cast<ULONG>(at < cbRanges ? at : cbRanges);
    return true;
}

CKsAudPin::CKsAudPin(CKsAudFilter* pFilter, ULONG pinId, HRESULT* phr)
    : CKsPin(pFilter, pinId, phr),
      m_pAudFilter(pFilter),
      m_pWaveFormatEx(nullptr),
      m_pksDataFormatWfx(nullptr),
      m_bLoopedSupported(FALSE),
      m_pRtBuffer(nullptr),
      m_cbRtBuffer(0),
      m_hNotificationEvent(nullptr) {
    KsTraceEnter("CKsAudPin::CKsAudPin()");
    HRESULT hr = phr ? *phr : S_OK;
    if (SUCCEEDED(hr)) {
        m_pksPinConnect = new (std::nothrow) BYTE[kKsConnectTemplateBytes];
        if (!m_pksPinConnect) {
            hr = E_OUTOFMEMORY;
        } else {
            std::memset(m_pksPinConnect, 0, kKsConnectTemplateBytes);
            m_cbPinConnect = kKsConnectTemplateBytes;
            KSPIN_CONNECT connect;
            std::memset(&connect, 0, sizeof connect);
            connect.Interface.Set = KSINTERFACESETID_Standard;
            connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
            connect.Medium.Set = KSMEDIUMSETID_Standard;
            connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
            connect.PinId = pinId;
            connect.PinToHandle = nullptr;
            connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
            connect.Priority.PrioritySubClass = 1;
            std::memcpy(m_pksPinConnect, &connect, sizeof connect);
            m_pksDataFormatWfx = reinterpret_cast<KSDATAFORMAT*>(m_pksPinConnect + kKsConnectFormatOffset);
            m_pksDataFormatWfx->FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);  // 82
            m_pksDataFormatWfx->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
            m_pksDataFormatWfx->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
            m_pksDataFormatWfx->Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
            hr = Init();
        }
    }
    if (phr) *phr = hr;
    KsTraceLeave("CKsAudPin::CKsAudPin", hr);
}

CKsAudPin::~CKsAudPin() {
    KsTraceEnter("CKsAudPin::~CKsAudPin()");
    while (!m_listDataRanges.IsEmpty()) delete m_listDataRanges.RemoveHead();
    delete[] reinterpret_cast<BYTE*>(m_pWaveFormatEx);
    m_pWaveFormatEx = nullptr;
    KsTraceLeave("CKsAudPin::~CKsAudPin()");
}

HRESULT CKsAudPin::Init() {
    KsTraceEnter("CKsAudPin::Init()");
    HRESULT hr = S_OK;
    m_bLoopedSupported = FALSE;
    bool standardInterface = false;
    // A pin offers looped streaming when it lists the looped interface anywhere in its list.
    for (ULONG i = 0; i < m_cInterfaces; ++i) {
        const KSPIN_INTERFACE& item = m_pInterfaces[i];
        if (item.Set == KSINTERFACESETID_Standard &&
            (item.Id == KSINTERFACE_STANDARD_STREAMING || item.Id == KSINTERFACE_STANDARD_LOOPED_STREAMING)) {
            standardInterface = true;
            if (item.Id == KSINTERFACE_STANDARD_LOOPED_STREAMING) m_bLoopedSupported = TRUE;
        }
    }
    if (!standardInterface) {
        KsDebugPrint(1, WSTR("No standard streaming interfaces on the pin"));
        hr = E_FAIL;
    }
    if (SUCCEEDED(hr)) {
        bool standardMedium = false;
        for (ULONG i = 0; i < m_cMediums && !standardMedium; ++i)
            standardMedium = m_pMediums[i].Set == KSMEDIUMSETID_Standard && m_pMediums[i].Id == KSMEDIUM_TYPE_ANYINSTANCE;
        if (!standardMedium) {
            KsDebugPrint(1, WSTR("No standard streaming mediums on the pin"));
            hr = E_FAIL;
        }
    }
    if (SUCCEEDED(hr)) {
        // The walk stays inside the driver's answer. Each range starts 8-byte aligned: the next one lies
        // FormatSize bytes on, rounded up to 8; a range flagged KSDATARANGE_ATTRIBUTES is followed
        // (aligned again) by its attribute list, a KSMULTIPLE_ITEM whose Size counts the whole list, which
        // is stepped over. A range shorter than a KSDATARANGE (FormatSize 0 included), one running past
        // the answer or an attribute list that does ends the walk.
        bool waveFamily = false;
        ULONG offset = 0;
        for (ULONG i = 0; i < m_cDataRanges; ++i) {
            if (offset > m_cbDataRanges || m_cbDataRanges - offset < sizeof(KSDATARANGE)) break;
            KSDATARANGE range;
            std::memcpy(&range, m_pDataRanges + offset, sizeof range);
            if (range.FormatSize < sizeof(KSDATARANGE) || range.FormatSize > m_cbDataRanges - offset) break;
            ULONG next = 0;
            if (!KsNextDataRange(m_pDataRanges, m_cbDataRanges, offset, range, &next)) next = m_cbDataRanges + 1;
            if (!waveFamily) waveFamily = InWaveFamily(range.SubFormat) || range.SubFormat == GUID_NULL;
            if (waveFamily && range.MajorFormat == KSDATAFORMAT_TYPE_AUDIO) {
                auto* copy = new (std::nothrow) KSDATARANGE_AUDIO;
                if (copy) {
                    std::memset(copy, 0, sizeof *copy);
                    const ULONG bytes = range.FormatSize < sizeof *copy ? range.FormatSize : sizeof *copy;
                    std::memcpy(copy, m_pDataRanges + offset, bytes);
                    if (!m_listDataRanges.AddTail(copy)) delete copy;
                }
            }
            offset = next;
        }
        if (!waveFamily) {
            KsDebugPrint(1, WSTR("No audio dataranges on the pin"));
            hr = E_FAIL;
        }
    }
    KsTraceLeave("CKsAudPin::Init", hr);
    return hr;
}

const KSDATARANGE_AUDIO* CKsAudPin::MatchRange(const WAVEFORMATEX* pwfx, bool testChannels) const {
    if (!pwfx) return nullptr;
    GUID subType;
    ULONG bits;
    if (pwfx->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        const auto* ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(pwfx);
        std::memcpy(&subType, &ext->SubFormat, sizeof subType);
        bits = ext->Samples.wValidBitsPerSample;
    } else {
        subType = WaveSubType(pwfx->wFormatTag);
        bits = pwfx->wBitsPerSample;
    }
    for (auto* node = m_listDataRanges.GetHead(); node; node = node->pNext) {
        const KSDATARANGE_AUDIO& range = *node->pItem;
        if (range.DataRange.MajorFormat != GUID_NULL && range.DataRange.MajorFormat != KSDATAFORMAT_TYPE_AUDIO) continue;
        if (range.DataRange.SubFormat != GUID_NULL && range.DataRange.SubFormat != subType) continue;
        if (range.DataRange.Specifier != GUID_NULL && range.DataRange.Specifier != KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)
            continue;
        if (testChannels) {
            if (pwfx->nChannels != 0 ? range.MaximumChannels < pwfx->nChannels : range.MaximumChannels == 0xFFFFFFFF)
                continue;
        }
        if (bits < range.MinimumBitsPerSample || bits > range.MaximumBitsPerSample) continue;
        if (pwfx->nSamplesPerSec < range.MinimumSampleFrequency || pwfx->nSamplesPerSec > range.MaximumSampleFrequency)
            continue;
        return &range;
    }
    return nullptr;
}

BOOL CKsAudPin::IsFormatSupported(const WAVEFORMATEX* pwfx) {
    KsTraceEnter("CKsAudPin::IsFormatSupported()");
    const BOOL supported = MatchRange(pwfx, true) ? TRUE : FALSE;
    KsTraceLeave("CKsAudPin::IsFormatSupported()");
    return supported;
}

WORD CKsAudPin::GetChannelsForFormat(const WAVEFORMATEX* pwfx) {
    KsTraceEnter("CKsAudPin::GetChannelsForFormat()");
    const KSDATARANGE_AUDIO* range = MatchRange(pwfx, false);
    const WORD channels = range ? static_cast<WORD>(range->MaximumChannels & 0xFFFF) : 0;
    KsTraceLeave("CKsAudPin::GetChannelsForFormat()");
    return channels;
}

HRESULT CKsAudPin::SetFormat(WAVEFORMATEX* pwfx) {
    KsTraceEnter("CKsAudPin::SetFormat()");
    if (!pwfx || !m_pksDataFormatWfx) {
        KsDebugPrint(1, WSTR("pwfx or m_pksDataFormatWfx are NULL"));
        KsTraceLeave("CKsAudPin::SetFormat", E_FAIL);
        return E_FAIL;
    }
    const ULONG waveSize = KsWaveFormatSize(pwfx);
    const ULONG needed = kKsConnectWaveOffset + waveSize;
    if (needed != m_cbPinConnect) {
        BYTE* block = new (std::nothrow) BYTE[needed];
        if (!block) {
            KsTraceLeave("CKsAudPin::SetFormat", E_OUTOFMEMORY);
            return E_OUTOFMEMORY;
        }
        std::memset(block, 0, needed);
        std::memcpy(block, m_pksPinConnect, needed < m_cbPinConnect ? needed : m_cbPinConnect);
        delete[] m_pksPinConnect;
        m_pksPinConnect = block;
        m_pksDataFormatWfx = reinterpret_cast<KSDATAFORMAT*>(block + kKsConnectFormatOffset);
        m_cbPinConnect = needed;
        m_pksDataFormatWfx->FormatSize = sizeof(KSDATAFORMAT) + waveSize;
    }
    BYTE* wave = m_pksPinConnect + kKsConnectWaveOffset;
    std::memcpy(wave, pwfx, waveSize);
    WAVEFORMATEX copy;
    std::memcpy(&copy, wave, sizeof copy);
    if (copy.nChannels == 0) {
        const WORD channels = GetChannelsForFormat(pwfx);
        copy.nChannels = channels;
        copy.nBlockAlign = static_cast<WORD>(channels * copy.wBitsPerSample / 8);
        copy.nAvgBytesPerSec = static_cast<DWORD>(copy.nBlockAlign) * copy.nSamplesPerSec;
        std::memcpy(wave, &copy, sizeof copy);
        if (pwfx->wFormatTag == WAVE_FORMAT_EXTENSIBLE && pwfx->cbSize >= 22) {
            const DWORD mask = channels >= 32 ? 0xFFFFFFFFu : ((1u << channels) - 1);
            reinterpret_cast<WAVEFORMATEXTENSIBLE*>(pwfx)->dwChannelMask = mask;
        }
    }
    m_pksDataFormatWfx->SampleSize = static_cast<ULONG>(copy.nChannels) * copy.wBitsPerSample / 8;
    auto* saved = reinterpret_cast<WAVEFORMATEX*>(new (std::nothrow) BYTE[waveSize]);
    HRESULT hr = S_OK;
    if (saved) {
        std::memcpy(saved, wave, waveSize);
        delete[] reinterpret_cast<BYTE*>(m_pWaveFormatEx);
        m_pWaveFormatEx = saved;
    } else {
        hr = E_OUTOFMEMORY;
    }
    KsTraceLeave("CKsAudPin::SetFormat", hr);
    return hr;
}

HRESULT CKsAudPin::Reinstantiate() {
    if (m_hNotificationEvent) FreeBuffersWithNotification();
    ClosePin();
    return Instantiate(m_bLooped, m_bExclusive);
}

void CKsAudPin::ClosePin() {
    CKsPin::ClosePin();
    // The driver freed the buffer with the instance: a later instance asks for one of its own.
    m_pRtBuffer = nullptr;
    m_cbRtBuffer = 0;
    m_pPositionRegister = nullptr;
}

HRESULT CKsAudPin::AllocateBuffer(ULONG requestedSize, void** buffer, ULONG* size) {
    KsTraceEnter("CKsAudPin::AllocateBuffer()");
    if (buffer) *buffer = nullptr;
    HRESULT hr = S_OK;
    if (m_pRtBuffer) {
        if (buffer) *buffer = m_pRtBuffer;
        if (size) *size = m_cbRtBuffer;
    } else {
        struct {
            PVOID BaseAddress;
            ULONG RequestedBufferSize;
            ULONG Padding;
        } instance = {nullptr, requestedSize, 0};
        static_assert(sizeof instance == sizeof(KSRTAUDIO_BUFFER_PROPERTY) - sizeof(KSPROPERTY));
        KSRTAUDIO_BUFFER answer;
        hr = GetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER, &answer, sizeof answer, &instance,
                               sizeof instance);
        if (SUCCEEDED(hr)) {
            m_pRtBuffer = answer.BufferAddress;
            m_cbRtBuffer = answer.ActualBufferSize;
            if (buffer) *buffer = m_pRtBuffer;
            if (size) *size = m_cbRtBuffer;
        }
    }
    KsTraceLeave("CKsAudPin::AllocateBuffer", hr);
    return hr;
}

HRESULT CKsAudPin::AllocateBuffersWithNotification(ULONG requestedSize, void** buffer, ULONG* size) {
    KsTraceEnter("CKsAudPin::AllocateBuffersWithNotification()");
    if (buffer) *buffer = nullptr;
    if (size) *size = 0;
    HRESULT hr = S_OK;
    if (m_pRtBuffer) {
        if (buffer) *buffer = m_pRtBuffer;
        if (size) *size = m_cbRtBuffer;
    } else {
        const ULONG step = m_pWaveFormatEx && m_pWaveFormatEx->nChannels ? m_pWaveFormatEx->nChannels : 32;
        ULONGLONG request = requestedSize;
        for (;;) {
            struct {
                PVOID BaseAddress;
                ULONG RequestedBufferSize;
                ULONG NotificationCount;
            } instance = {nullptr, static_cast<ULONG>(request), 2};
            static_assert(sizeof instance == sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION) - sizeof(KSPROPERTY));
            KSRTAUDIO_BUFFER answer;
            hr = GetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION, &answer,
                                   sizeof answer, &instance, sizeof instance);
            if (SUCCEEDED(hr)) {
                m_pRtBuffer = answer.BufferAddress;
                m_cbRtBuffer = answer.ActualBufferSize;
                if (buffer) *buffer = m_pRtBuffer;
                if (size) *size = m_cbRtBuffer;
                break;
            }
            // Only a size the driver refuses is worth another try: a driver without the property (or
            // its set) refuses every size alike, and would be asked up to 32 K times.
            request += step;
            if (hr == E_NOTIMPL || request >= 0x10000) {
                KsDebugPrint(1, WSTR("Failed to allocate audio buffers - %#08x"), hr);
                KsTraceLeave("CKsAudPin::AllocateBuffersWithNotification", hr);
                return hr;
            }
        }
    }
    // A second call registers a fresh event; the earlier one is unregistered and closed first, not leaked.
    if (m_hNotificationEvent) FreeBuffersWithNotification();
    m_hNotificationEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE event = m_hNotificationEvent;
    hr = SetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT, nullptr, 0, &event,
                           sizeof event);
    if (FAILED(hr)) {
        KsDebugPrint(1, WSTR("Failed to allocate audio buffers - %#08x"), hr);
    } else {
        PVOID base = nullptr;
        KSRTAUDIO_HWREGISTER reg;
        m_pPositionRegister = nullptr;
        if (SUCCEEDED(GetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_POSITIONREGISTER, &reg, sizeof reg,
                                        &base, sizeof base)) &&
            reg.Register && reg.Width == 32 && (reinterpret_cast<ULONG_PTR>(reg.Register) & 3) == 0)
            m_pPositionRegister = static_cast<const volatile ULONG*>(reg.Register);
    }
    KsTraceLeave("CKsAudPin::AllocateBuffersWithNotification", hr);
    return hr;
}

void CKsAudPin::FreeBuffersWithNotification() {
    KsTraceEnter("CKsAudPin::FreeBuffersWithNotification()");
    HRESULT hr = S_OK;
    if (m_hNotificationEvent) {
        HANDLE event = m_hNotificationEvent;
        hr = SetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT, nullptr, 0, &event,
                               sizeof event);
        CloseHandle(m_hNotificationEvent);
        m_hNotificationEvent = nullptr;
    }
    KsTraceLeave("CKsAudPin::FreeBuffersWithNotification", hr);
}

HRESULT CKsAudPin::GetPosition(KSAUDIO_POSITION* position) {
    KsTraceEnter("CKsAudPin::GetPosition()");
    const HRESULT hr =
        GetPropertySimple(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, position, position ? sizeof *position : 0);
    if (FAILED(hr)) KsDebugPrint(1, WSTR("Failed to retrieve audio stream position - %#08x"), hr);
    KsTraceLeave("CKsAudPin::GetPosition", hr);
    return hr;
}

HRESULT CKsAudPin::SetBufferDuration(ULONG value) {
    KsTraceEnter("CKsAudPin::SetBufferDuration()");
    // The ULONG is the property's value, not instance data after the KSPROPERTY.
    const HRESULT hr =
        SetPropertySimple(KSPROPSETID_AudioBufferDuration, KSPROPERTY_AUDIOBUFFERDURATION_MS, &value, sizeof value);
    if (FAILED(hr)) KsDebugPrint(1, WSTR("Failed to Set Audio buffer duration - %#08x"), hr);
    KsTraceLeave("CKsAudPin::SetBufferDuration", hr);
    return hr;
}
