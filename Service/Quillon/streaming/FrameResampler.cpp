#include "Service/Quillon/streaming/FrameResampler.h"

// Placeholder kernel: linear interpolation between neighbouring frames.
#include <algorithm>
#include <cstring>
#include <vector>

namespace {
struct State {
    std::vector<float> queue;
    std::uint32_t capacity = 0, channels = 1, frames = 0;
    double position = 0;
};
State& Of(const CFrameResampler* r) {
    static std::vector<std::pair<const CFrameResampler*, State>> states;
    for (auto& s : states)
        if (s.first == r) return s.second;
    states.emplace_back(r, State{});
    return states.back().second;
}
}  // namespace

CFrameResampler::CFrameResampler(std::uint32_t capacityFrames) { Of(this).capacity = capacityFrames; }
void CFrameResampler::Reset(std::uint16_t channels) {
    State& s = Of(this);
    s.channels = std::max<std::uint16_t>(1, channels);
    s.queue.assign(static_cast<std::size_t>(s.capacity) * s.channels, 0.0f);
    s.frames = 0;
    s.position = 0;
}
std::uint32_t CFrameResampler::Push(const float* frames, std::uint32_t count) {
    State& s = Of(this);
    const auto whole = static_cast<std::uint32_t>(s.position);
    if (whole) {
        std::memmove(s.queue.data(), s.queue.data() + static_cast<std::size_t>(whole) * s.channels,
                     static_cast<std::size_t>(s.frames - whole) * s.channels * sizeof(float));
        s.frames -= whole;
        s.position -= whole;
    }
    const std::uint32_t n = std::min(count, s.capacity - s.frames);
    std::memcpy(s.queue.data() + static_cast<std::size_t>(s.frames) * s.channels, frames,
                static_cast<std::size_t>(n) * s.channels * sizeof(float));
    s.frames += n;
    return n;
}
std::uint32_t CFrameResampler::Pull(float* out, std::uint32_t count, double step) {
    State& s = Of(this);
    std::uint32_t k = 0;
    for (; k < count && s.position + 1 < s.frames; ++k, s.position += step) {
        const auto i = static_cast<std::size_t>(s.position);
        const float f = static_cast<float>(s.position - static_cast<double>(i));
        for (std::uint32_t c = 0; c < s.channels; ++c)
            out[k * s.channels + c] =
                s.queue[i * s.channels + c] * (1 - f) + s.queue[(i + 1) * s.channels + c] * f;
    }
    return k;
}
double CFrameResampler::Buffered() const {
    const State& s = Of(this);
    return s.frames - s.position;
}
std::uint32_t CFrameResampler::Lookahead() { return 1; }
double CFrameResampler::Delay() { return 0.5; }
