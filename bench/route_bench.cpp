// The two routings on one console packet, against a memcpy of the packet's bytes in the same run.
//
// Route/capture/<model>/<frames>: one capture block split into the model's streams; Route/render/<frames>:
// the five playback pairs merged into a 10-channel block. Each iteration times a batch of routings and a
// batch of memcpy calls of the console packet's float bytes; ratio_to_memcpy is the routing's time over
// the memcpy's.
//
// The block and the copy share one allocation, the copy 2 KB past the block's end: two separate vectors
// of a whole number of pages would sit 16 bytes apart modulo 4 KB, where this processor's `rep movsb`
// memcpy runs some thirty times slower than usual and the ratio would mean nothing.
//
// The minimum time counts only the routing's own (manual) time, while each iteration spends a batch of
// routings and a batch of memcpy calls: with the default of 0.5 s a benchmark runs for about forty
// seconds. --benchmark_min_time=0.02 gives steady figures in about two.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Service/Quillon/streaming/BlockRouting.h"
#include "Service/Quillon/supervisor/ConsoleModels.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBatch = 64;
constexpr std::size_t kCopyGapFloats = 512;

struct Slots {
    std::vector<float> buffers[kVirtualStreamCount];
    std::uint32_t status[kVirtualStreamCount][2] = {};
    RouteSlot views[kVirtualStreamCount];
    explicit Slots(std::uint32_t frames) {
        for (int i = 0; i < kVirtualStreamCount; ++i) {
            const std::uint32_t w = StreamChannelCount(i);
            buffers[i].assign(2 * frames * w, 0.25f);
            views[i].m_pBuffer = buffers[i].data();
            views[i].m_nLength = 2 * frames * w;
            views[i].m_nChannels = w;
            views[i].m_pPosition = &status[i][1];
        }
    }
};

void Run(benchmark::State& state, std::uint32_t frames, std::uint16_t channels,
         const std::function<void(float*, std::uint32_t, const RouteSlot*)>& route) {
    const std::uint32_t samples = frames * channels;
    std::vector<float> storage(2 * samples + kCopyGapFloats, 0.5f);
    float* const block = storage.data();
    float* const copy = block + samples + kCopyGapFloats;
    Slots slots(frames);
    const std::size_t bytes = samples * sizeof(float);
    double routeSeconds = 0, memcpySeconds = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            route(block, samples, slots.views);
            benchmark::ClobberMemory();
        }
        const auto t1 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            std::memcpy(copy, block, bytes);
            benchmark::ClobberMemory();
        }
        const auto t2 = Clock::now();
        const double r = std::chrono::duration<double>(t1 - t0).count();
        routeSeconds += r;
        memcpySeconds += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(r / kBatch);
        benchmark::DoNotOptimize(copy);
    }
    state.counters["ratio_to_memcpy"] = memcpySeconds > 0 ? routeSeconds / memcpySeconds : 0;
}

const bool kRegistered = [] {
    struct Model {
        const char* name;
        const CUSBDevice& model;
    };
    const Model models[] = {{"Alto", QuillonAlto()},         {"Alto_2026", QuillonAlto2026()},
                            {"Basso", QuillonBasso()},       {"Basso_2026", QuillonBasso2026()}};
    for (std::uint32_t frames : {96u, 192u}) {
        for (const Model& m : models) {
            const CUSBDevice* model = &m.model;
            const std::uint16_t channels = model->CaptureChannels();
            const std::string name = std::string("Route/capture/") + m.name + "/" + std::to_string(frames);
            // One route for every block, as a stream thread keeps it.
            benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
                auto route = std::make_shared<CCaptureRoute>();
                Run(state, frames, channels, [=](float* block, std::uint32_t samples, const RouteSlot* slots) {
                    route->Route(block, samples, channels, model, slots);
                });
            })->UseManualTime();
        }
        const std::string name = "Route/render/" + std::to_string(frames);
        benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
            Run(state, frames, 10, [](float* block, std::uint32_t samples, const RouteSlot* slots) {
                RouteRenderFrames(block, samples, 10, slots);
            });
        })->UseManualTime();
    }
    return true;
}();

}  // namespace
