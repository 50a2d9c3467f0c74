// The drift-correcting resamplers of one console block, against a memcpy of the block's audio.
//
// Resample/<model>/<frames>: one iteration is what a console block costs the resamplers of every path:
// the capture direction pushes the model's capture packet (frames x its capture channels) and pulls one
// driver period, the render direction pushes a driver period of the 10 render channels and pulls one
// console block; both at steps off 1 (the capture step 1 + 1e-4, the render step its inverse). Each
// iteration times a batch of those and a batch of memcpy calls of the capture and render packets' bytes
// together (one copy); ratio_to_memcpy is the resamplers' time over the memcpy's. Between batches, out
// of the timing, each queue is topped up to three periods, so that no pull runs short.
//
// QUILLON_KERNELS=sse2 holds the resampler to its SSE2 form, as for the conversions (bench/kernels.sh);
// the resampler has no AVX-512 form, so avx2 and the best kernels run the same code.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Service/Quillon/streaming/FrameResampler.h"
#include "Service/Quillon/streaming/SampleConversion.h"
#include "Service/Quillon/supervisor/ConsoleModels.h"
#include "bench/KernelChoice.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBatch = 64;
constexpr std::size_t kCopyGapFloats = 512;  // see route_bench.cpp: no 4 KB aliasing between the copies
constexpr std::uint16_t kRenderChannels = 10;
constexpr double kCaptureStep = 1.0001;

struct Direction {
    CFrameResampler resampler;
    std::vector<float> in, out;
    std::uint32_t frames;
    std::uint16_t channels;
    double step;

    Direction(std::uint32_t f, std::uint16_t c, double s)
        : resampler(8 * f), in(static_cast<std::size_t>(f) * c), out(in.size()), frames(f), channels(c), step(s) {
        for (std::size_t i = 0; i < in.size(); ++i) in[i] = 0.5f * static_cast<float>(std::sin(0.013 * static_cast<double>(i)));
        resampler.Reset(c);
        TopUp();
    }
    void TopUp() {
        while (resampler.Buffered() < 3.0 * frames) resampler.Push(in.data(), 1);
    }
    void Block() {
        resampler.Push(in.data(), frames);
        resampler.Pull(out.data(), frames, step);
    }
};

void Run(benchmark::State& state, std::uint32_t frames, std::uint16_t captureChannels) {
    Direction capture(frames, captureChannels, kCaptureStep);
    Direction render(frames, kRenderChannels, 1.0 / kCaptureStep);
    const std::size_t samples = static_cast<std::size_t>(frames) * (captureChannels + kRenderChannels);
    std::vector<float> storage(2 * samples + kCopyGapFloats, 0.5f);
    float* const block = storage.data();
    float* const copy = block + samples + kCopyGapFloats;
    const std::size_t bytes = samples * sizeof(float);
    double resampleSeconds = 0, memcpySeconds = 0;
    for (auto _ : state) {
        capture.TopUp();
        render.TopUp();
        const auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            capture.Block();
            render.Block();
            benchmark::ClobberMemory();
        }
        const auto t1 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            std::memcpy(copy, block, bytes);
            benchmark::ClobberMemory();
        }
        const auto t2 = Clock::now();
        const double r = std::chrono::duration<double>(t1 - t0).count();
        resampleSeconds += r;
        memcpySeconds += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(r / kBatch);
        benchmark::DoNotOptimize(copy);
        benchmark::DoNotOptimize(capture.out.data());
        benchmark::DoNotOptimize(render.out.data());
    }
    state.counters["ratio_to_memcpy"] = memcpySeconds > 0 ? resampleSeconds / memcpySeconds : 0;
}

const bool kRegistered = [] {
    HoldKernelsAsTheEnvironmentSays();
    struct Model {
        const char* name;
        const CUSBDevice& model;
    };
    const Model models[] = {{"Alto", QuillonAlto()}, {"Basso", QuillonBasso()}};
    for (std::uint32_t frames : {96u, 192u}) {
        for (const Model& m : models) {
            const std::uint16_t channels = m.model.CaptureChannels();
            const std::string name = std::string("Resample/") + m.name + "/" + std::to_string(frames);
            benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
                Run(state, frames, channels);
            })->UseManualTime();
        }
    }
    return true;
}();

}  // namespace
