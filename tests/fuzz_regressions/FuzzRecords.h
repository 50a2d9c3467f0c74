// Inputs of the fuzzers' record form (tests/fuzz/FuzzAnswers.h) built in a regression test, for the
// fuzzed KS device of tests/fuzz/FuzzKsDevice.h.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "tests/fuzz/FuzzKsDevice.h"

namespace fuzzregress {

// Driver answers in the fuzzers' record form (tests/fuzz/FuzzAnswers.h).
class Records {
public:
    Records& Add(std::uint8_t key, std::vector<std::uint8_t> bytes, std::uint8_t mode = 0) {
        data_.insert(data_.end(), {key, mode, static_cast<std::uint8_t>(bytes.size()),
                                   static_cast<std::uint8_t>(bytes.size() >> 8)});
        data_.insert(data_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    template <class T>
    static std::vector<std::uint8_t> Of(const T& value) {
        std::vector<std::uint8_t> bytes(sizeof value);
        std::memcpy(bytes.data(), &value, sizeof value);
        return bytes;
    }
    static std::vector<std::uint8_t> Words(std::initializer_list<std::uint32_t> words) {
        std::vector<std::uint8_t> bytes;
        for (const std::uint32_t w : words) {
            const auto b = Of(w);
            bytes.insert(bytes.end(), b.begin(), b.end());
        }
        return bytes;
    }
    template <class T>
    static std::vector<std::uint8_t> Multiple(const T& item) {
        std::vector<std::uint8_t> bytes = Words({static_cast<std::uint32_t>(8 + sizeof item), 1});
        const auto b = Of(item);
        bytes.insert(bytes.end(), b.begin(), b.end());
        return bytes;
    }

    // A data-range list of one audio range: 2 to 16 channels of `minBits` to `maxBits`.
    static std::vector<std::uint8_t> Ranges(ULONG minBits, ULONG maxBits) {
        KSDATARANGE_AUDIO range{};
        range.DataRange.FormatSize = sizeof range;
        range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        range.MaximumChannels = 16;
        range.MinimumBitsPerSample = minBits;
        range.MaximumBitsPerSample = maxBits;
        range.MinimumSampleFrequency = 44100;
        range.MaximumSampleFrequency = 48000;
        return Multiple(range);
    }

    // One standard-streaming pin of flow `dataFlow` taking 2 to 16 channels of `minBits` to `maxBits`.
    Records& Pin(ULONG dataFlow, ULONG minBits = 16, ULONG maxBits = 32) {
        KSIDENTIFIER standard{};
        standard.Set = KSINTERFACESETID_Standard;
        KSIDENTIFIER medium{};
        medium.Set = KSMEDIUMSETID_Standard;
        return Add(fuzz::kPinKey + KSPROPERTY_PIN_CTYPES, Words({1}))
            .Add(fuzz::kPinKey + KSPROPERTY_PIN_COMMUNICATION, Words({KSPIN_COMMUNICATION_SINK}))
            .Add(fuzz::kPinKey + KSPROPERTY_PIN_DATAFLOW, Words({dataFlow}))
            .Add(fuzz::kPinKey + KSPROPERTY_PIN_CINSTANCES, Words({1, 0}))
            .Add(fuzz::kPinKey + KSPROPERTY_PIN_GLOBALCINSTANCES, Words({1, 0}))
            .Add(fuzz::kPinKey + KSPROPERTY_PIN_CATEGORY, Of(KSNODETYPE_DAC))
            .Add(fuzz::kPinKey + KSPROPERTY_PIN_INTERFACES, Multiple(standard))
            .Add(fuzz::kPinKey + KSPROPERTY_PIN_MEDIUMS, Multiple(medium))
            .Add(fuzz::kPinKey + KSPROPERTY_PIN_DATARANGES, Ranges(minBits, maxBits))
            .Add(fuzz::kStateKey, {});
    }

    // A completion after 2 ms that writes back FrameExtent (and DataUsed) or Size.
    Records& Packet(std::uint32_t times, std::uint8_t mask = 0, std::uint32_t dataUsed = 0, std::uint32_t extent = 0,
                    std::uint32_t size = 0) {
        std::vector<std::uint8_t> bytes = {2, mask};
        const auto fields = Words({dataUsed, extent, size});
        bytes.insert(bytes.end(), fields.begin(), fields.end());
        for (std::uint32_t i = 0; i < times; ++i) Add(fuzz::kPacketKey, bytes);
        return *this;
    }

    const std::vector<std::uint8_t>& Data() const { return data_; }

private:
    std::vector<std::uint8_t> data_;
};

}  // namespace fuzzregress
