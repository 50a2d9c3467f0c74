// quillon-sim's command line: the options, one table entry each (its name, its value, what it allows and
// its help), the usage and the legend that --help prints.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "platform/sim/include/sim/console.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"

namespace quillon_sim {

struct Options {
    unsigned seconds = 16;
    std::string console = "alto";  // a model's option name, or "none"
    sim::PinMode pinMode = sim::PinMode::Standard;
    unsigned bits = 0;      // 0: the console's own depths
    unsigned latency = 0;   // the registry value the service starts with: 0 ultra-low, 1 low
    std::string recordDir;  // empty: no recording
    std::string plotFile;   // empty: no picture
    sim::ClockMode clock = sim::ClockMode::Virtual;
    std::uint64_t seed = 1;  // the virtual clock's choice among threads ready at one instant
    std::int64_t consolePpb = 0;  // the console's crystal against the machine clock
    std::int64_t driverPpb = 0;   // the virtual driver's
    sim::DriverClock driverClock = sim::DriverClock::Free;
    bool apps = true;    // players and recorders on the driver's endpoints
    bool jitter = false;  // the programs' threads wake late, as on a busy PC
    bool sine = false;    // the 997 Hz sine test signal instead of the identifying signals
    bool driftCorrection = true;  // the service's "DriftCorrection" setting
    bool driver = true;
    bool tray = true;
    bool script = true;
    bool verbose = false;
    bool help = false;
};

// Parses the command line (without the program name). Returns "" when every argument was understood,
// else the one-line error naming the argument and what is allowed ("--bits 20: expected 16, 24 or 32").
std::string ParseOptions(int argc, const char* const* argv, Options& options);
void PrintUsage(std::FILE* out);  // the options, the scripted session and the legend

// "free", "idle" or "paced".
const char* DriverClockName(sim::DriverClock clock);

// The console model an option names ("alto-alt"), or null.
const sim::ConsoleModelInfo* ModelOf(const std::string& option);

}  // namespace quillon_sim
