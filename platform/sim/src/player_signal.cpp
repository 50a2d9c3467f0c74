// The driver applications' identifying playback signal.
#include "platform/sim/include/sim/player_signal.h"

#include <cmath>
#include <cstring>

namespace sim {

namespace {

constexpr unsigned kFirstRenderStream = 11;
constexpr unsigned kRenderStreams = 5;

std::optional<PlayerSampleId> FromValue(std::int64_t v) {
    if (v < static_cast<std::int64_t>(kPlayerPhases)) return std::nullopt;
    const auto id = static_cast<unsigned>(v / kPlayerPhases);  // 1 .. 10
    if (id > 2 * kRenderStreams) return std::nullopt;
    return PlayerSampleId{kFirstRenderStream + (id - 1) / 2, (id - 1) % 2,
                          static_cast<std::uint32_t>(v % kPlayerPhases)};
}

}  // namespace

float PlayerSample(unsigned stream, unsigned channel, std::uint64_t frame) {
    const std::uint64_t v = (2 * (stream - kFirstRenderStream) + channel + 1) * std::uint64_t{kPlayerPhases} +
                            frame % kPlayerPhases;
    return (static_cast<float>(v) + 0.5f) / 32768.0f;
}

void FillPlayerSignal(unsigned stream, std::uint64_t first, std::uint32_t channels, float* samples,
                      std::uint32_t frames) {
    // Hours of machine time go through here: the channel's offset once, then a phase per frame.
    const float left = static_cast<float>((2 * (stream - kFirstRenderStream) + 1) * std::uint64_t{kPlayerPhases});
    const float right = left + static_cast<float>(kPlayerPhases);
    if (channels > 2) std::memset(samples, 0, std::size_t{frames} * channels * sizeof(float));
    for (std::uint32_t f = 0; f < frames && channels > 0; ++f) {
        float* frame = samples + std::size_t{f} * channels;
        const auto phase = static_cast<float>((first + f) % kPlayerPhases);
        frame[0] = (left + phase + 0.5f) / 32768.0f;
        if (channels > 1) frame[1] = (right + phase + 0.5f) / 32768.0f;
    }
}

std::optional<PlayerSampleId> RecoverPlayerWord(std::int32_t word) {
    return FromValue(word >> 16);
}

std::optional<PlayerSampleId> RecoverPlayerSample(float value) {
    if (!std::isfinite(value)) return std::nullopt;
    return FromValue(static_cast<std::int64_t>(std::floor(static_cast<double>(value) * 32768.0)));
}

}  // namespace sim
