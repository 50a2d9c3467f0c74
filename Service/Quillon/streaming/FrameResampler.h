// An adaptive resampler for interleaved frames of up to kMaxChannels channels, with its own input queue:
// a producer pushes frames at one clock's rate, a consumer pulls frames at another's, and the step (input
// frames per output frame, near 1) may change on every pull. Every channel of a frame shares the step,
// so the filter's coefficients are worked out once per output frame and applied to all channels.
//
// The queue is allocated once, at construction; Push, Pull and the queries allocate nothing and never
// read or write outside the queue or the caller's spans. Real-time safe.
#pragma once

#include <cstdint>
#include <memory>

class CFrameResampler {
public:
    static constexpr std::uint32_t kMaxChannels = 32;

    // `capacityFrames`: how many input frames the queue holds at most (at least a few driver periods).
    explicit CFrameResampler(std::uint32_t capacityFrames);
    CFrameResampler(const CFrameResampler&) = delete;
    CFrameResampler& operator=(const CFrameResampler&) = delete;

    // Empties the queue and the filter's history (zeros) for frames of `channels` channels (1 to
    // kMaxChannels); the read position is 0.
    void Reset(std::uint16_t channels);

    // Appends `frames` frames; returns how many fitted (the rest are dropped, the caller counts them).
    std::uint32_t Push(const float* frames, std::uint32_t count);

    // Writes up to `count` output frames into `out`, each `step` input frames after the one before;
    // returns how many it wrote: fewer only when the queue runs short (it never reads past what was
    // pushed; the caller fills the rest).
    std::uint32_t Pull(float* out, std::uint32_t count, double step);

    // Input frames queued beyond the read position (fractional), the quantity a control loop steers.
    double Buffered() const;
    // Input frames the filter needs beyond the read position before it can give an output frame.
    static std::uint32_t Lookahead();
    // The filter's delay, in input frames (what the resampler adds to a path's latency).
    static double Delay();
};
