#include "Service/Quillon/streaming/StreamManager.h"

#include <algorithm>
#include <cstring>

#include "Service/Quillon/ks/KsDebug.h"
#include "Service/Quillon/streaming/InputCaptureKS.h"
#include "Service/Quillon/streaming/OutputRenderKS.h"
#include "Service/Quillon/vdriver/BoundedText.h"

const SpeakerConfiguration g_SpeakerConfigurations[kSpeakerConfigurationCount] = {
    {"SPEAKER_ALL", 0x80000000},
    {"KSAUDIO_SPEAKER_DIRECTOUT", 0x0},
    {"KSAUDIO_SPEAKER_MONO", 0x4},
    {"KSAUDIO_SPEAKER_STEREO", 0x3},
    {"KSAUDIO_SPEAKER_QUAD", 0x33},
    {"KSAUDIO_SPEAKER_SURROUND", 0x107},
    {"KSAUDIO_SPEAKER_5POINT1", 0x3F},
    {"KSAUDIO_SPEAKER_7POINT1", 0xFF},
    {"KSAUDIO_SPEAKER_5POINT1_SURROUND", 0x60F},
    {"KSAUDIO_SPEAKER_7POINT1_SURROUND", 0x63F},
};

namespace {

struct SampleLayout {
    WORD container;
    WORD valid;
};

constexpr SampleLayout kCaptureLayouts[] = {{32, 32}, {24, 24}, {32, 24}, {16, 16}};
constexpr SampleLayout kRenderLayouts[] = {{32, 32}, {32, 24}, {24, 24}, {16, 16}};
constexpr WORD kPlainPcmBits[] = {24, 32, 16};

WAVEFORMATEXTENSIBLE ExtensibleFormat(std::uint16_t channels, SampleLayout layout, DWORD mask) {
    WAVEFORMATEXTENSIBLE w{};
    w.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    w.Format.nChannels = channels;
    w.Format.nSamplesPerSec = 48000;
    w.Format.wBitsPerSample = layout.container;
    w.Format.nBlockAlign = static_cast<WORD>(channels * (layout.container / 8));
    w.Format.nAvgBytesPerSec = static_cast<DWORD>(w.Format.nBlockAlign) * 48000u;
    w.Format.cbSize = 22;
    w.Samples.wValidBitsPerSample = layout.valid;
    w.dwChannelMask = mask;
    w.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return w;
}

WAVEFORMATEXTENSIBLE PlainPcmFormat(std::uint16_t channels, WORD bits) {
    WAVEFORMATEXTENSIBLE w{};
    w.Format.wFormatTag = WAVE_FORMAT_PCM;
    w.Format.nChannels = channels;
    w.Format.nSamplesPerSec = 48000;
    w.Format.wBitsPerSample = bits;
    w.Format.nBlockAlign = static_cast<WORD>(channels * (bits / 8));
    w.Format.nAvgBytesPerSec = static_cast<DWORD>(w.Format.nBlockAlign) * 48000u;
    w.Format.cbSize = 0;
    return w;
}

template <class Open>
CKsAudPin* TryExtensible(std::uint16_t channels, SampleLayout layout, DWORD mask, Open open) {
    WAVEFORMATEXTENSIBLE w = ExtensibleFormat(channels, layout, mask);
    return open(reinterpret_cast<WAVEFORMATEX*>(&w));
}

template <class Open>
CKsAudPin* TryPlainPcm(std::uint16_t channels, Open open) {
    for (WORD bits : kPlainPcmBits) {
        WAVEFORMATEXTENSIBLE w = PlainPcmFormat(channels, bits);
        if (CKsAudPin* pin = open(reinterpret_cast<WAVEFORMATEX*>(&w))) return pin;
    }
    return nullptr;
}

std::uint16_t PinChannels(const CKsAudPin* pin) {
    return pin && pin->m_pWaveFormatEx ? pin->m_pWaveFormatEx->nChannels : 0;
}

}  // namespace

CStreamManager::CStreamManager() = default;

CStreamManager::~CStreamManager() {
    DestroyAll();
    delete m_pCaptureFilters;
    m_pCaptureFilters = nullptr;
    delete m_pRenderFilters;
    m_pRenderFilters = nullptr;
    CloseLink(m_SpareHidLink);
}

void CStreamManager::CreateFilterLists() {
    if (!m_pCaptureFilters) m_pCaptureFilters = new (std::nothrow) CKsEnumFilters();
    if (!m_pRenderFilters) m_pRenderFilters = new (std::nothrow) CKsEnumFilters();
}

CKsAudPin* CStreamManager::OpenCapturePin(CKsAudCapFilter* filter, std::uint16_t channels) {
    if (!filter) return nullptr;
    auto open = [filter](const WAVEFORMATEX* format) { return filter->CreateCapturePin(format); };
    DWORD masks[2 + kSpeakerConfigurationCount] = {};
    std::size_t count = 0;
    if (channels == 1) {
        masks[count++] = 0x4;
    } else if (channels == 2) {
        masks[count++] = 0x0;
        masks[count++] = 0x3;
    } else {
        masks[count++] = 0x0;
        masks[count++] = channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1u;
        for (const SpeakerConfiguration& speakers : g_SpeakerConfigurations) masks[count++] = speakers.m_dwChannelMask;
    }
    for (std::size_t m = 0; m < count; ++m)
        for (SampleLayout layout : kCaptureLayouts)
            if (CKsAudPin* pin = TryExtensible(channels, layout, masks[m], open)) return pin;
    return TryPlainPcm(channels, open);
}

CKsAudPin* CStreamManager::OpenRenderPin(CKsAudRenFilter* filter, std::uint16_t channels) {
    if (!filter) return nullptr;
    auto open = [filter](const WAVEFORMATEX* format) { return filter->CreateRenderPin(format); };
    const DWORD mask = channels == 1 ? 0x4 : channels == 2 ? 0x3 : 0x0;
    for (SampleLayout layout : kRenderLayouts)
        if (CKsAudPin* pin = TryExtensible(channels, layout, mask, open)) return pin;
    return TryPlainPcm(channels, open);
}

void CStreamManager::MakeSearchKey(const char* pattern, char* key, std::size_t keySize) {
    if (!key || keySize == 0) return;
    std::size_t n = 0;
    const std::size_t limit = std::min(keySize - 1, kSearchKeyChars);
    for (; pattern && pattern[n] && n < limit; ++n) {
        char c = pattern[n];
        if (c == '\\') c = '#';
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        key[n] = c;
    }
    key[n] = 0;
}

std::vector<CKSDevice*> CStreamManager::CreateCaptureDevices(const char* pattern, std::uint16_t channels,
                                                             std::uint32_t frames) {
    return CreateDevices(true, pattern, channels, frames);
}

std::vector<CKSDevice*> CStreamManager::CreateRenderDevices(const char* pattern, std::uint16_t channels,
                                                            std::uint32_t frames) {
    return CreateDevices(false, pattern, channels, frames);
}

std::vector<CKSDevice*> CStreamManager::CreateDevices(bool capture, const char* pattern, std::uint16_t channels,
                                                      std::uint32_t frames) {
    std::vector<CKSDevice*> result;
    CKsEnumFilters* list = capture ? m_pCaptureFilters : m_pRenderFilters;
    if (!list) return result;

    char key[kSearchKeyChars + 1];
    MakeSearchKey(pattern, key, sizeof key);
    const EKsFilterType wanted = capture ? EKsFilterType::eCapture : EKsFilterType::eRender;

    std::vector<CKsFilter*> kept;
    for (auto* node = list->m_listFilters.GetHead(); node; node = node->pNext) {
        CKsFilter* filter = node->pItem;
        if (!filter || filter->GetType() != wanted) continue;
        char path[kPathChars + 1];
        if (!NarrowBounded(filter->m_szFilterName, kKsFilterNameUnits, path, sizeof path)) continue;
        if (ContainsIgnoreCaseA(path, key)) kept.push_back(filter);
    }

    for (CKsFilter* filter : kept) {
        if (!result.empty()) break;
        CKsAudPin* pin = capture ? OpenCapturePin(static_cast<CKsAudCapFilter*>(filter), channels)
                                 : OpenRenderPin(static_cast<CKsAudRenFilter*>(filter), channels);
        if (!pin) {
            KsDebugPrint(3, capture ? WSTR("\nFailed to create KSCapturePin (%s)") : WSTR("\nFailed to create KSRenderPin (%s)"),
                         static_cast<const char*>(key));
            continue;
        }
        const std::uint32_t pinChannels = PinChannels(pin);

        char name[kDisplayNameBytes];
        name[0] = 0;
        const std::size_t units = BoundedLength(pin->m_szPinName, kKsPinNameUnits);
        int written = units ? WideCharToMultiByte(CP_UTF8, 0, pin->m_szPinName, static_cast<int>(units), name,
                                                  static_cast<int>(sizeof name - 1), nullptr, nullptr)
                            : 0;
        if (written > 0) {
            name[written] = 0;
        } else {
            const std::size_t n = strnlen(filter->m_szFriendlyName, kKsFriendlyNameBytes);
            const std::size_t copy = std::min(n, sizeof name - 1);
            std::memcpy(name, filter->m_szFriendlyName, copy);
            name[copy] = 0;
        }

        CKSDevice* device = nullptr;
        if (capture) {
            auto* input = new (std::nothrow) CInputCaptureKS(pin);
            if (input) {
                input->m_nSentinel = kCaptureSentinelValue;
                input->m_nDirection = 1;
            }
            device = input;
        } else {
            auto* output = new (std::nothrow) COutputRenderKS(pin);
            if (output) {
                output->m_llMinRtPacketDuration = kRenderMinRtPacketDuration;
                output->m_bWritePacketReporting.store(true);
                output->m_nDirection = 0;
            }
            device = output;
        }
        if (!device) {
            pin->ClosePin();
            continue;
        }
        if (device->m_pPin) {
            device->AllocateBuffers(pinChannels * frames);
            device->StartStreamThread();
        }
        device->m_strName = name;
        device->SetBusRelations(filter->m_mszBusRelations);
        device->m_strModelPattern = pattern ? pattern : "";

        result.push_back(device);
        CLockGuard guard(m_Lock);
        m_Devices.push_back(device);
    }
    return result;
}

bool CStreamManager::StartAll() {
    std::vector<CKSDevice*> starting;
    {
        CLockGuard guard(m_Lock);
        for (int direction : {0, 1})
            for (CKSDevice* device : m_Devices)
                if (device->m_nDirection == direction &&
                    std::find(m_Running.begin(), m_Running.end(), device) == m_Running.end())
                    starting.push_back(device);
    }
    bool ok = true;
    CLockGuard guard(m_Lock);
    for (CKSDevice* device : starting) {
        m_Running.push_back(device);
        if (FAILED(device->Start())) ok = false;
    }
    return ok;
}

bool CStreamManager::StopAll() {
    CLockGuard guard(m_Lock);
    for (CKSDevice* device : m_Running) {
        CLockGuard deviceGuard(device->m_Lock);
        device->StopStreaming();
    }
    m_Running.clear();
    return true;
}

bool CStreamManager::RemoveDevice(CKSDevice* device) {
    if (!device) return false;
    {
        CLockGuard deviceGuard(device->m_Lock);
        device->StopStreaming();
    }
    bool found = false;
    {
        CLockGuard guard(m_Lock);
        auto it = std::find(m_Running.begin(), m_Running.end(), device);
        if (it != m_Running.end()) m_Running.erase(it);
    }
    {
        CLockGuard guard(m_Lock);
        auto it = std::find(m_Devices.begin(), m_Devices.end(), device);
        if (it != m_Devices.end()) {
            m_Devices.erase(it);
            found = true;
        }
    }
    // Only a device of this manager is destroyed: anything else is not ours to free.
    if (found) delete device;
    return found;
}

bool CStreamManager::DestroyAll() {
    CLockGuard guard(m_Lock);
    StopAll();
    for (CKSDevice* device : m_Devices) delete device;
    m_Devices.clear();
    return true;
}

bool CStreamManager::RefreshFilterLists() {
    std::size_t captures = 0;
    std::size_t renders = 0;
    {
        CLockGuard guard(m_Lock);
        for (CKSDevice* device : m_Devices) (device->m_nDirection == 1 ? captures : renders) += 1;
    }
    if (captures == 0 && m_pCaptureFilters) m_pCaptureFilters->EnumCaptureFilters();
    if (renders == 0 && m_pRenderFilters) m_pRenderFilters->EnumRenderFilters();
    return captures == 0 || renders == 0;
}

std::vector<CKSDevice*> CStreamManager::Devices() {
    CLockGuard guard(m_Lock);
    return m_Devices;
}

std::vector<CKSDevice*> CStreamManager::RunningDevices() {
    CLockGuard guard(m_Lock);
    return m_Running;
}
