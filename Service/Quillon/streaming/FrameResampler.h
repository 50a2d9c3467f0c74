// An adaptive resampler for interleaved frames of up to kMaxChannels channels, with its own input queue:
// a producer pushes frames at one clock's rate, a consumer pulls frames at another's, and the step (input
// frames per output frame, near 1) may change on every pull. Every channel of a frame shares the step,
// so the filter's coefficients are worked out once per output frame and applied to all channels.
//
// The queue is allocated once, at construction; Push, Pull and the queries allocate nothing and never
// read or write outside the queue or the caller's spans. Real-time safe. Not synchronised: one thread
// pushes and pulls (or the caller holds a lock around both).
#pragma once

#include <cstddef>
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
    // kMaxChannels); the read position is 0. Another count (and a resampler never reset) takes and
    // gives nothing: Push and Pull return 0.
    void Reset(std::uint16_t channels);

    // Appends `count` frames; returns how many fitted (the rest are dropped, the caller counts them).
    std::uint32_t Push(const float* frames, std::uint32_t count);
    // Appends `count` frames of silence; returns how many fitted.
    std::uint32_t PushSilence(std::uint32_t count);
    // Leaves out up to `count` whole frames at the read position, never those the filter needs for the
    // next output frame (Lookahead()); returns how many it left out.
    std::uint32_t Discard(std::uint32_t count);

    // Writes up to `count` output frames into `out`, each `step` input frames after the one before;
    // returns how many it wrote: fewer only when the queue runs short (it never reads past what was
    // pushed; the caller fills the rest).
    std::uint32_t Pull(float* out, std::uint32_t count, double step);

    // Input frames queued beyond the read position (fractional), the quantity a control loop steers.
    double Buffered() const;
    // Input frames the filter needs beyond the read position before it can give an output frame: an
    // output frame can be given exactly when Buffered() > Lookahead().
    static std::uint32_t Lookahead();
    // The filter's delay, in input frames (what the resampler adds to a path's latency). The filter is
    // symmetric about the read position, so the output frame there is the input signal at that
    // position; what it costs is the frames it must see beyond it, Lookahead().
    static double Delay();

    // The steps Pull accepts; a step outside [kMinStep, kMaxStep], or not a number, gives no frames.
    static constexpr double kMinStep = 0.5;
    static constexpr double kMaxStep = 2.0;
    // The filter: kTaps input frames around the read position, its coefficients interpolated linearly
    // between kPhases phases a frame apart.
    static constexpr std::uint32_t kTaps = 32;
    static constexpr std::uint32_t kPhases = 256;
    // The most input frames a queue holds (the constructor's capacity is clamped to [kTaps, this]).
    static constexpr std::uint32_t kMaxCapacity = 65536;

private:
    std::uint32_t Append(const float* frames, std::uint32_t count);  // frames, or silence for nullptr
    float* Frame(std::uint32_t index) { return m_pData + static_cast<std::size_t>(index) * m_nStride; }

    std::unique_ptr<float[]> m_pStorage;  // allocated once; m_pData is its 64-byte aligned start
    float* m_pData = nullptr;
    const float* m_pTable = nullptr;     // the filter's phases, shared by every resampler
    std::uint32_t m_nCapacity = 0;       // input frames queued at most
    std::uint32_t m_nStorageFrames = 0;  // frames of storage: history, then twice the capacity
    std::uint16_t m_nChannels = 0;
    std::uint16_t m_nStride = 0;  // floats per stored frame: the channels rounded up to 4, the rest zeros
    std::uint32_t m_nRead = 0;    // storage frame at the read position's whole part
    std::uint32_t m_nEnd = 0;     // storage frame after the last one pushed
    double m_fraction = 0;        // the read position's fraction, [0, 1)
};
