// Running a harness body as a simulated process of a fresh machine (process-wide state such as the pin
// creation function lives in the process), on the virtual clock.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "platform/sim/include/sim/machine.h"

namespace fuzz {

inline void RunInProcess(sim::Machine& machine, const std::function<void()>& body,
                         std::uint32_t maxMs = 3'600'000) {
    sim::ProgramSpec spec;
    spec.imageName = "fuzz.exe";
    bool ran = false;
    spec.entry = [&](HINSTANCE) {
        body();
        ran = true;
        return 0;
    };
    // A body that does not end within its virtual time is a hang the fuzzer must report.
    if (!machine.WaitProcess(machine.StartProcess(spec), maxMs) || !ran) {
        std::fprintf(stderr, "fuzz: the harness body did not finish within %u ms of virtual time\n", maxMs);
        std::abort();
    }
}

}  // namespace fuzz
