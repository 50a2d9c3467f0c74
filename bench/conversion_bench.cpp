// The pin conversions on one packet, against a memcpy of the same packet measured in the same run.
//
// Convert/<capture|render>/<bits>/<frames>x<channels>: one packet converted. Capture converts in place,
// as the stream threads do (its input, integers, never turns into slow operands when converted again).
// Render writes into a second block, since converting its own output again would feed the kernel
// denormal floats; the kernel is the same. Each iteration times a batch of conversions and a batch of memcpy calls of the packet's
// bytes (the bigger of its input and output: the float side), interleaved so that both see the same
// machine; the counter ratio_to_memcpy is the conversion's time divided by the memcpy's.
//
// The kernels are the best the processor allows; QUILLON_KERNELS=sse2 or avx2 in the environment holds
// the conversions and the render routing to that set, so that each is measured (bench/kernels.sh runs
// them all). The context line "kernels" says which ran.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Service/Quillon/streaming/SampleConversion.h"
#include "bench/KernelChoice.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBatch = 64;  // conversions per timed batch: long enough for the clock's resolution

// (floats or the pin's integers, scratch block for render output, samples)
using Kernel = std::function<void(float* block, float* scratch, std::size_t samples)>;

void RunConversion(benchmark::State& state, const Kernel& kernel, std::size_t samples) {
    std::vector<float> block(samples), source(samples), copy(samples), scratch(samples);
    for (std::size_t i = 0; i < samples; ++i) source[i] = static_cast<float>(i % 97) / 97.0f - 0.5f;
    const std::size_t bytes = samples * sizeof(float);
    std::memcpy(copy.data(), source.data(), bytes);  // every page touched before the first timing
    std::memcpy(scratch.data(), source.data(), bytes);
    double kernelSeconds = 0, memcpySeconds = 0;
    for (auto _ : state) {
        std::memcpy(block.data(), source.data(), bytes);
        const auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            kernel(block.data(), scratch.data(), samples);
            benchmark::ClobberMemory();
        }
        const auto t1 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            std::memcpy(copy.data(), block.data(), bytes);
            benchmark::ClobberMemory();
        }
        const auto t2 = Clock::now();
        const double k = std::chrono::duration<double>(t1 - t0).count();
        kernelSeconds += k;
        memcpySeconds += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(k / kBatch);
        benchmark::DoNotOptimize(copy.data());
    }
    state.counters["ratio_to_memcpy"] = memcpySeconds > 0 ? kernelSeconds / memcpySeconds : 0;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}

void Register(const std::string& direction, const std::string& bits, int frames, int channels, Kernel kernel) {
    const std::string name =
        "Convert/" + direction + "/" + bits + "/" + std::to_string(frames) + "x" + std::to_string(channels);
    const std::size_t samples = static_cast<std::size_t>(frames) * static_cast<std::size_t>(channels);
    benchmark::RegisterBenchmark(name.c_str(), [kernel, samples](benchmark::State& state) {
        RunConversion(state, kernel, samples);
    })->UseManualTime();
}

const bool kRegistered = [] {
    using namespace SampleConversion;
    HoldKernelsAsTheEnvironmentSays();
    benchmark::AddCustomContext("kernels", KernelSetName(ActiveKernelSet()));
    for (int frames : {96, 192}) {
        for (int channels : {16, 15, 20}) {
            Register("capture", "16", frames, channels, [](float* b, float*, std::size_t n) { CaptureToFloat16(b, n); });
            Register("capture", "24", frames, channels, [](float* b, float*, std::size_t n) { CaptureToFloat24(b, n); });
            Register("capture", "32", frames, channels, [](float* b, float*, std::size_t n) { CaptureToFloat32(b, n); });
        }
        Register("render", "16", frames, 10, [](float* b, float* out, std::size_t n) { RenderFromFloat16(b, out, n); });
        Register("render", "24", frames, 10, [](float* b, float* out, std::size_t n) { RenderFromFloat24(b, out, n); });
        Register("render", "24in32", frames, 10,
                 [](float* b, float* out, std::size_t n) { RenderFromFloat32(b, out, n, true); });
        Register("render", "32", frames, 10,
                 [](float* b, float* out, std::size_t n) { RenderFromFloat32(b, out, n, false); });
    }
    return true;
}();

}  // namespace
