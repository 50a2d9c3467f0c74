// quillon-sim's session: the options, and the scripted session on one simulated machine with its
// timeline, measurements, recording and report.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/sim/include/sim/console.h"
#include "platform/sim/include/sim/machine.h"

namespace quillon_sim {

struct Options {
    unsigned seconds = 16;
    std::string console = "alto";  // a model's option name, or "none"
    sim::PinMode pinMode = sim::PinMode::Standard;
    unsigned bits = 0;      // 0: the console's own depths
    unsigned latency = 0;   // the registry value the service starts with: 0 ultra-low, 1 low
    std::string recordDir;  // empty: no recording
    sim::ClockMode clock = sim::ClockMode::Virtual;
    std::uint64_t seed = 1;  // the virtual clock's choice among threads ready at one instant
    bool driver = true;
    bool tray = true;
    bool script = true;
    bool verbose = false;
};

// Parses the command line (without the program name); false for anything it does not know.
bool ParseOptions(int argc, const char* const* argv, Options& options);
void PrintUsage(std::FILE* out);

// Runs the session, printing its timeline and report to `out`; returns the process exit code (1 when a
// recording could not be written).
int RunSession(const Options& options, std::FILE* out);

}  // namespace quillon_sim
