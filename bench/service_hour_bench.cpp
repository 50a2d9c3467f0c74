// Wall time of one hour of service time on the virtual clock: without the driver, with the driver, and
// with a console streaming through the service.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "platform/sim/include/sim/console.h"
#include "platform/sim/include/sim/console_hid.h"
#include "platform/sim/include/sim/console_ks.h"
#include "platform/sim/include/sim/console_ks_pin.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/player_signal.h"
#include "platform/sim/include/sim/scm.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"
#include "tests/harness/Programs.h"

namespace {

constexpr std::int64_t kHourMs = 3'600'000;

void RunServiceHour(benchmark::State& state, bool withDriver) {
    for (auto _ : state) {
        sim::Machine machine;
        sim::VirtualAudioDriver driver(machine);
        if (withDriver) driver.Install();
        harness::InstallService(machine);
        if (!harness::StartService(machine)) state.SkipWithError("service did not start");
        machine.RunFor(kHourMs);
        if (!harness::StopService(machine)) state.SkipWithError("service did not stop");
        state.counters["driver_periods"] = static_cast<double>(driver.Periods());
    }
}

void BM_ServiceHourWithoutDriver(benchmark::State& state) { RunServiceHour(state, false); }
void BM_ServiceHourWithDriver(benchmark::State& state) { RunServiceHour(state, true); }

// The argument's milliseconds of service time with an Alto streaming: the driver installed, the console
// plugged with every channel button on, applications playing the identifying signal into the five render
// streams and recording from the eleven capture streams. Counters: the driver's periods, the answers it
// missed from a second after both console pins streamed (missed_answers: none, on the exact virtual
// clock) and before (missed_before_bridge: the driver ticks from its installation and nobody answers
// until the bridge's gate opens), the frames the console's pins moved, the frames the recorders received, and the machine's
// thread switches.
void BM_ServiceStreaming(benchmark::State& state) {
    const auto ms = static_cast<std::uint32_t>(state.range(0));
    for (auto _ : state) {
        std::atomic<std::uint64_t> recorded{0};  // recorders run on the machine's clock, under its lock
        sim::Machine machine;
        sim::VirtualAudioDriver driver(machine);
        driver.Install();
        harness::InstallService(machine);
        sim::Console console(machine);
        console.Hid().SetChannelMask(0xFFFF);
        console.Plug();
        for (unsigned r = 0; r < sim::VirtualAudioDriver::kRenderStreams; ++r)
            driver.SetPlayer(r, [r](std::uint64_t first, std::uint32_t channels, float* out, std::uint32_t frames) {
                sim::FillPlayerSignal(11 + r, first, channels, out, frames);
            });
        for (unsigned c = 0; c < sim::VirtualAudioDriver::kCaptureStreams; ++c)
            driver.SetRecorder(c, [&recorded](std::uint64_t, std::uint32_t, const float*, std::uint32_t frames) {
                recorded.fetch_add(frames, std::memory_order_relaxed);
            });
        if (!harness::StartService(machine)) state.SkipWithError("service did not start");
        const std::uint64_t start = machine.NowMs();
        const auto missed = [&driver] { return driver.MissedCaptureAnswers() + driver.MissedRenderAnswers(); };
        const auto streaming = [&console] {
            const auto capture = console.Ks().CapturePin();
            const auto render = console.Ks().RenderPin();
            return capture && render && capture->FramesTransferred() > 0 && render->FramesTransferred() > 0;
        };
        machine.RunUntil(streaming, ms);
        machine.RunFor(std::min<std::uint32_t>(ms, 1'000));  // the bridge's gate opens within its first second
        const std::uint64_t missedBefore = missed();
        machine.RunFor(ms - static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, machine.NowMs() - start)));
        const auto capture = console.Ks().CapturePin();
        const auto render = console.Ks().RenderPin();
        if (!capture || !render) state.SkipWithError("the console was not bridged");
        state.counters["driver_periods"] = static_cast<double>(driver.Periods());
        state.counters["missed_answers"] = static_cast<double>(missed() - missedBefore);
        state.counters["missed_before_bridge"] = static_cast<double>(missedBefore);
        state.counters["switches"] = static_cast<double>(machine.Switches());
        state.counters["capture_pin_frames"] = capture ? static_cast<double>(capture->FramesTransferred()) : 0;
        state.counters["render_pin_frames"] = render ? static_cast<double>(render->FramesTransferred()) : 0;
        state.counters["recorded_frames"] = static_cast<double>(recorded.load());
        if (!harness::StopService(machine)) state.SkipWithError("service did not stop");
        for (unsigned r = 0; r < sim::VirtualAudioDriver::kRenderStreams; ++r) driver.SetPlayer(r, {});
        for (unsigned c = 0; c < sim::VirtualAudioDriver::kCaptureStreams; ++c) driver.SetRecorder(c, {});
    }
}

BENCHMARK(BM_ServiceHourWithoutDriver)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ServiceHourWithDriver)->Unit(benchmark::kMillisecond)->Iterations(1);
// A minute for quick measurements; the hour.
BENCHMARK(BM_ServiceStreaming)->Arg(60'000)->Arg(kHourMs)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
