// Wall time of one hour of service time on the virtual clock, with and without the virtual driver.
#include <benchmark/benchmark.h>

#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/scm.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"
#include "tests/harness/Programs.h"

namespace {

void RunServiceHour(benchmark::State& state, bool withDriver) {
    for (auto _ : state) {
        sim::Machine machine;
        sim::VirtualAudioDriver driver(machine);
        if (withDriver) driver.Install();
        harness::InstallService(machine);
        if (!harness::StartService(machine)) state.SkipWithError("service did not start");
        machine.RunFor(3'600'000);
        if (!harness::StopService(machine)) state.SkipWithError("service did not stop");
        state.counters["driver_periods"] = static_cast<double>(driver.Periods());
    }
}

void BM_ServiceHourWithoutDriver(benchmark::State& state) { RunServiceHour(state, false); }
void BM_ServiceHourWithDriver(benchmark::State& state) { RunServiceHour(state, true); }

BENCHMARK(BM_ServiceHourWithoutDriver)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ServiceHourWithDriver)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
