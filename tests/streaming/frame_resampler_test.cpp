// The drift-correcting resampler: the quality of a sine through it at the steps a drift of up to
// 1000 ppm asks for, the position it keeps over a long run of irregular pushes and pulls, and the edges
// of its queue (short pulls, overfull pushes, steps and channel counts it refuses).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "Service/Quillon/streaming/FrameResampler.h"
#include "tests/streaming/KernelSets.h"

namespace {

constexpr double kRate = 48000.0;
constexpr std::uint32_t kPeriod = 96;

// Channel c carries a -6 dBFS sine of its own frequency, 997 Hz on channel 0; a channel delivered in
// another's place fails its fit.
double ChannelFrequency(std::uint32_t c) { return 997.0 + 229.0 * c; }

struct Resampled {
    std::vector<float> out;       // output frames, interleaved
    std::vector<double> position;  // each output frame's read position, summed from the steps asked for
};

// Pushes console-sized blocks of the channels' sines and pulls `length` frames at a time at step(pull
// number) until `frames` output frames are out.
Resampled Resample(std::uint16_t channels, std::uint32_t frames, const std::function<double(std::uint32_t)>& step,
                   std::uint32_t length = kPeriod) {
    CFrameResampler resampler(16 * kPeriod);
    resampler.Reset(channels);
    Resampled run;
    run.out.resize(static_cast<std::size_t>(frames + kPeriod) * channels);
    std::vector<float> block;
    std::uint64_t pushed = 0;
    double position = 0;
    std::uint32_t pulls = 0, written = 0;
    while (written < frames) {
        const std::uint32_t pushing = pulls % 3 == 0 ? 2 * kPeriod : kPeriod;  // irregular pushes
        block.resize(static_cast<std::size_t>(pushing) * channels);
        for (std::uint32_t n = 0; n < pushing; ++n)
            for (std::uint32_t c = 0; c < channels; ++c)
                block[static_cast<std::size_t>(n) * channels + c] = static_cast<float>(
                    0.5 * std::sin(2 * std::numbers::pi * ChannelFrequency(c) * static_cast<double>(pushed + n) / kRate));
        pushed += resampler.Push(block.data(), pushing);
        while (resampler.Buffered() > CFrameResampler::Lookahead() + length * 1.01 && written < frames) {
            const double s = step(pulls++ * length / kPeriod);
            const std::uint32_t got = resampler.Pull(run.out.data() + static_cast<std::size_t>(written) * channels,
                                                     std::min(length, frames - written), s);
            for (std::uint32_t n = 0; n < got; ++n, position += s) run.position.push_back(position);
            written += got;
        }
    }
    run.out.resize(static_cast<std::size_t>(written) * channels);
    return run;
}

// THD+N of one channel: the fundamental fitted by least squares on sin and cos at the channel's
// frequency at each output frame's exact position, removed; residual RMS over fundamental RMS, in dB.
double ThdN(const Resampled& run, std::uint16_t channels, std::uint32_t c, std::size_t from, std::size_t count) {
    const double w = 2 * std::numbers::pi * ChannelFrequency(c) / kRate;
    double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
    for (std::size_t n = from; n < from + count; ++n) {
        const double s = std::sin(w * run.position[n]), k = std::cos(w * run.position[n]);
        const double y = run.out[n * channels + c];
        ss += s * s, cc += k * k, sc += s * k, ys += y * s, yc += y * k;
    }
    const double det = ss * cc - sc * sc;
    const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
    double residual = 0, fundamental = 0;
    for (std::size_t n = from; n < from + count; ++n) {
        const double fit = a * std::sin(w * run.position[n]) + b * std::cos(w * run.position[n]);
        const double e = run.out[n * channels + c] - fit;
        residual += e * e, fundamental += fit * fit;
    }
    return 10 * std::log10(residual / fundamental);
}

struct StepCase {
    const char* name;
    std::function<double(std::uint32_t)> step;
};

// Each step of the drift range, constant, and one swept slowly (a period of about five seconds) over
// the whole range; every channel count a path uses, and the edges of the kernels' channel groups.
TEST(FrameResampler, SineQualityAcrossStepsAndChannelCounts) {
    const double constant[] = {1 + 50e-6, 1 - 50e-6, 1 + 200e-6, 1 - 200e-6, 1 + 1000e-6, 1 - 1000e-6};
    std::vector<StepCase> cases;
    for (double s : constant) cases.push_back({"constant", [s](std::uint32_t) { return s; }});
    cases.push_back({"swept", [](std::uint32_t pull) { return 1 + 1000e-6 * std::sin(pull * 2.4e-3); }});
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // What the sanitizers look for shows in a tenth of a second; the figure is the plain build's.
    constexpr std::uint32_t kSkip = 256, kMeasured = 4800;
#else
    constexpr std::uint32_t kSkip = 256, kMeasured = 48000;  // one second after the filter's start-up
#endif
    for (const StepCase& sc : cases) {
        for (std::uint16_t channels : {1, 2, 10, 15, 16, 20, 32}) {
            SCOPED_TRACE(testing::Message() << sc.name << " step " << sc.step(0) << ", " << channels << " channels");
            std::vector<Resampled> runs;
            WithEachKernelSet([&] { runs.push_back(Resample(channels, kSkip + kMeasured, sc.step)); });
            const Resampled& run = runs.front();
            ASSERT_GE(run.position.size(), kSkip + kMeasured);
            for (std::uint32_t c = 0; c < channels; ++c) {
                const double thdn = ThdN(run, channels, c, kSkip, kMeasured);
                EXPECT_LE(thdn, -100.0) << "channel " << c << " at " << ChannelFrequency(c) << " Hz";
            }
            // Both kernel sets do the same operations in the same order on every channel.
            for (const Resampled& other : runs) {
                ASSERT_EQ(other.out.size(), run.out.size());
                EXPECT_EQ(std::memcmp(other.out.data(), run.out.data(), run.out.size() * sizeof(float)), 0);
            }
            // Pulls of 7 frames (the kernels take frames in pairs: here many go alone) give the same
            // frames, but for the rounding of positions summed in other pieces.
            if (sc.step(0) == sc.step(1)) {
                const Resampled odd = Resample(channels, kSkip + kMeasured, sc.step, 7);
                ASSERT_EQ(odd.out.size(), run.out.size());
                float worst = 0;
                for (std::size_t i = 0; i < odd.out.size(); ++i) worst = std::max(worst, std::fabs(odd.out[i] - run.out[i]));
                EXPECT_LT(worst, 1e-6f);
            }
        }
    }
}

// A long run of irregular pushes (the queue often full; some of silence, some followed by frames left out)
// and pulls of irregular lengths and steps: the read position stays the sum of the steps of the frames
// given, Buffered() what was pushed (less what was left out) less that,
// a pull runs short only when no further frame could be given, a push only when the queue is full.
TEST(FrameResampler, FrameAccountingOverALongIrregularRun) {
    WithEachKernelSet([] {
        constexpr std::uint32_t kCapacity = 4 * kPeriod;
        constexpr std::uint16_t kChannels = 3;
        CFrameResampler resampler(kCapacity);
        resampler.Reset(kChannels);
        std::mt19937 random(20);
        std::vector<float> in(512 * kChannels, 0.25f), out(512 * kChannels);
        std::uint64_t pushed = 0, given = 0;
        double consumed = 0, compensation = 0;  // compensated sum of the steps of the frames given
        while (given < 2'000'000) {
            const std::uint32_t length = std::uniform_int_distribution<std::uint32_t>(0, 300)(random);
            const double before = resampler.Buffered();
            // One push in eight is of silence; one in eight is followed by frames left out.
            const std::uint32_t kind = std::uniform_int_distribution<std::uint32_t>(0, 7)(random);
            const std::uint32_t fitted = kind == 0 ? resampler.PushSilence(length) : resampler.Push(in.data(), length);
            pushed += fitted;
            if (fitted < length) {
                ASSERT_GT(resampler.Buffered(), kCapacity - 1.0);  // full
            }
            ASSERT_NEAR(resampler.Buffered(), before + fitted, 1e-9);
            if (kind == 1) {
                const std::uint32_t count = std::uniform_int_distribution<std::uint32_t>(0, 200)(random);
                const double queued = resampler.Buffered();
                const std::uint32_t dropped = resampler.Discard(count);
                ASSERT_LE(dropped, count);
                if (dropped < count) {  // never into what the next output frame needs
                    ASSERT_LE(resampler.Buffered(), CFrameResampler::Lookahead() + 1.0);
                }
                ASSERT_NEAR(resampler.Buffered(), queued - dropped, 1e-9);
                pushed -= dropped;
            }
            for (int pulls = std::uniform_int_distribution<int>(0, 3)(random); pulls > 0; --pulls) {
                const std::uint32_t count = std::uniform_int_distribution<std::uint32_t>(1, 250)(random);
                const double step = 1 + std::uniform_real_distribution<double>(-1e-3, 1e-3)(random);
                const double available = resampler.Buffered();
                const std::uint32_t got = resampler.Pull(out.data(), count, step);
                if (got < count) {
                    EXPECT_LE(resampler.Buffered(), CFrameResampler::Lookahead());
                }
                if (available - (count - 1) * step > CFrameResampler::Lookahead() + 1e-6) {
                    EXPECT_EQ(got, count);
                }
                for (std::uint32_t n = 0; n < got; ++n) {  // Kahan: the test's own sum must not drift
                    const double y = step - compensation, t = consumed + y;
                    compensation = (t - consumed) - y;
                    consumed = t;
                }
                given += got;
                ASSERT_NEAR(resampler.Buffered(), static_cast<double>(pushed) - consumed, 1e-6);
            }
        }
        EXPECT_NEAR(static_cast<double>(pushed) - resampler.Buffered(), consumed, 1e-6);
    });
}

// The queue's and the caller's edges: nothing is written past the frames a pull reports, an overfull
// push takes what fits, and what the resampler cannot do it refuses without moving.
TEST(FrameResampler, ShortPullsOverfullPushesAndRefusals) {
    constexpr float kGuard = 12345.0f;
    for (std::uint16_t channels : {1, 10, 15, 32}) {
        SCOPED_TRACE(testing::Message() << channels << " channels");
        CFrameResampler resampler(2 * kPeriod);
        resampler.Reset(channels);
        std::vector<float> in(4 * kPeriod * channels, 0.5f);
        std::vector<float> out((kPeriod + 8) * channels, kGuard);

        EXPECT_EQ(resampler.Pull(out.data(), kPeriod, 1.0), 0u);  // empty
        EXPECT_EQ(resampler.Push(in.data(), 3 * kPeriod), 2 * kPeriod);  // overfull: what fits
        EXPECT_EQ(resampler.Push(in.data(), 1), 0u);
        EXPECT_EQ(resampler.Buffered(), 2.0 * kPeriod);

        for (double bad : {0.0, -1.0, 0.49, 2.01, std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::infinity()})
            EXPECT_EQ(resampler.Pull(out.data(), kPeriod, bad), 0u) << bad;
        EXPECT_EQ(resampler.Pull(nullptr, kPeriod, 1.0), 0u);
        EXPECT_EQ(resampler.Buffered(), 2.0 * kPeriod);
        EXPECT_EQ(out[0], kGuard);

        // 192 frames queued, the fastest step: frames up to the last one the queue can feed.
        const std::uint32_t got = resampler.Pull(out.data(), kPeriod + 8, 2.0);
        EXPECT_EQ(got, (2 * kPeriod - CFrameResampler::Lookahead() - 1) / 2 + 1);
        EXPECT_LE(resampler.Buffered(), CFrameResampler::Lookahead());
        for (std::size_t i = 0; i < out.size(); ++i)
            ASSERT_EQ(out[i] == kGuard, i >= got * channels) << "sample " << i;
        EXPECT_EQ(resampler.Pull(out.data(), 1, 1.0), 0u);  // nothing more until a push

        // The queue refills after the read position has moved (its storage is compacted along the way).
        for (int round = 0; round < 20; ++round) {
            const std::uint32_t fitted = resampler.Push(in.data(), 4 * kPeriod);
            EXPECT_GT(fitted, 0u);
            EXPECT_GT(resampler.Pull(out.data(), kPeriod, 1.5), 0u);
        }
        EXPECT_NEAR(out[0], 0.5f, 1e-5f);  // a constant comes through as itself
    }

    CFrameResampler unset(kPeriod);  // never reset, or reset to a count it cannot hold: takes nothing
    float frame[40] = {};
    EXPECT_EQ(unset.Push(frame, 1), 0u);
    for (std::uint16_t bad : {0, 33}) {
        unset.Reset(bad);
        EXPECT_EQ(unset.Push(frame, 1), 0u);
        EXPECT_EQ(unset.Pull(frame, 1, 1.0), 0u);
    }
    CFrameResampler tiny(0);  // a capacity below the filter's length is raised to it
    tiny.Reset(1);
    std::vector<float> many(CFrameResampler::kTaps + 10, 0.25f);
    EXPECT_EQ(tiny.Push(many.data(), static_cast<std::uint32_t>(many.size())), CFrameResampler::kTaps);
    EXPECT_EQ(tiny.Pull(many.data(), 1, 1.0), 1u);
}

}  // namespace
