// Wave-format arithmetic of the simulated KS filters: reading a connection request, matching it against
// a pin's data ranges and layouts.
#include <cstring>

#include "platform/sim/include/sim/console_ks_descriptions.h"

namespace sim {

namespace {

constexpr std::size_t kConnectSize = sizeof(KSPIN_CONNECT);
constexpr std::size_t kDataFormatSize = 64;  // KSDATAFORMAT on the wire
constexpr std::size_t kWaveFormatSize = sizeof(WAVEFORMATEX);
constexpr std::size_t kExtensibleSize = sizeof(WAVEFORMATEXTENSIBLE);

// The wave-format sub-type of a plain tag: {tag-0000-0010-8000-00AA00389B71}.
GUID SubtypeOfTag(WORD tag) {
    GUID g = KSDATAFORMAT_SUBTYPE_WAVEFORMATEX;
    g.Data1 = tag;
    return g;
}

}  // namespace

DWORD ParseConnectRequest(const void* connect, KsConnectRequest* request) {
    if (!connect || !request) return ERROR_INVALID_PARAMETER;
    const auto* bytes = static_cast<const BYTE*>(connect);
    KSPIN_CONNECT pin;
    std::memcpy(&pin, bytes, kConnectSize);
    request->pinId = pin.PinId;
    request->interfaceId = pin.Interface.Id;
    request->standardInterface = pin.Interface.Set == KSINTERFACESETID_Standard;
    request->standardMedium = pin.Medium.Set == KSMEDIUMSETID_Standard && pin.Medium.Id == KSMEDIUM_TYPE_ANYINSTANCE;

    KSDATAFORMAT format;
    std::memcpy(&format, bytes + kConnectSize, kDataFormatSize);
    if (format.FormatSize < kDataFormatSize) return ERROR_INVALID_PARAMETER;
    if (format.MajorFormat != KSDATAFORMAT_TYPE_AUDIO || format.Specifier != KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)
        return ERROR_NO_MATCH;
    if (format.FormatSize < kDataFormatSize + kWaveFormatSize) return ERROR_INVALID_PARAMETER;
    const BYTE* wave = bytes + kConnectSize + kDataFormatSize;
    WAVEFORMATEX wfx;
    std::memcpy(&wfx, wave, kWaveFormatSize);
    KsWaveFormat& f = request->format;
    f = {};
    f.tag = wfx.wFormatTag;
    f.channels = wfx.nChannels;
    f.rate = wfx.nSamplesPerSec;
    f.containerBits = wfx.wBitsPerSample;
    f.validBits = wfx.wBitsPerSample;
    f.blockAlign = wfx.nBlockAlign;
    f.avgBytesPerSecond = wfx.nAvgBytesPerSec;
    if (wfx.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        // The extension must be there, inside both the wave format's and the data format's sizes.
        if (wfx.cbSize < kExtensibleSize - kWaveFormatSize ||
            format.FormatSize < kDataFormatSize + kWaveFormatSize + wfx.cbSize)
            return ERROR_INVALID_PARAMETER;
        WAVEFORMATEXTENSIBLE ext;
        std::memcpy(&ext, wave, kExtensibleSize);
        f.validBits = ext.Samples.wValidBitsPerSample;
        f.channelMask = ext.dwChannelMask;
        f.subFormat = ext.SubFormat;
    } else {
        f.subFormat = SubtypeOfTag(wfx.wFormatTag);
    }
    return ERROR_SUCCESS;
}

bool RangeCovers(const KsDataRangeSpec& r, const KsWaveFormat& f) {
    if (r.majorFormat != KSDATAFORMAT_TYPE_AUDIO && r.majorFormat != GUID_NULL) return false;
    if (r.subFormat != GUID_NULL && r.subFormat != f.subFormat) return false;
    if (r.specifier != GUID_NULL && r.specifier != KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) return false;
    if (f.channels == 0 || f.channels > r.maximumChannels) return false;
    if (f.validBits < r.minimumBits || f.validBits > r.maximumBits) return false;
    return f.rate >= r.minimumRate && f.rate <= r.maximumRate;
}

DWORD PinAcceptsFormat(const KsPinSpec& pin, const KsWaveFormat& f) {
    const bool floating = f.subFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    if (f.subFormat != KSDATAFORMAT_SUBTYPE_PCM && !floating) return ERROR_NO_MATCH;
    if (floating && (f.containerBits != 32 || f.validBits != 32)) return ERROR_NO_MATCH;
    if (f.containerBits == 0 || f.containerBits % 8 != 0 || f.validBits == 0 || f.validBits > f.containerBits)
        return ERROR_INVALID_PARAMETER;
    if (f.blockAlign != f.channels * (f.containerBits / 8) || f.avgBytesPerSecond != f.blockAlign * f.rate)
        return ERROR_INVALID_PARAMETER;
    bool covered = false;
    for (auto& r : pin.ranges)
        if (RangeCovers(r, f)) covered = true;
    if (!covered && pin.rangesBindCreation) return ERROR_NO_MATCH;
    if (!pin.sampleFormats.empty()) {
        bool layout = false;
        for (auto& s : pin.sampleFormats)
            if (s.containerBits == f.containerBits && s.validBits == f.validBits) layout = true;
        if (!layout) return ERROR_NO_MATCH;
    } else if (f.containerBits != (f.validBits + 7) / 8 * 8) {
        return ERROR_NO_MATCH;
    }
    if (pin.channelMask && f.tag == WAVE_FORMAT_EXTENSIBLE && f.channelMask != *pin.channelMask) return ERROR_NO_MATCH;
    return ERROR_SUCCESS;
}

}  // namespace sim
