// The service's diagnostics view in quillon-sim: the block read as QuillonDiag reads it, after each step
// while the service runs, the last record kept for the report (the service is stopped by the session's
// end, and its block goes with it).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "Service/common/DiagnosticsBlock.h"
#include "platform/sim/include/sim/machine.h"

namespace quillon_sim {

struct DiagnosticsSeen {
    bool seen = false;
    DiagnosticsRecord record{};
    std::uint64_t tickMs = 0;  // GetTickCount64 when it was read
    double seconds = 0;        // session time when it was read
};

// Reads the block when the service runs and its record can be read; keeps the last record.
void PollDiagnostics(sim::Machine& machine, DiagnosticsSeen& seen);

// The table QuillonDiag --once prints, indented, with when it was read; or why there is none.
void PrintDiagnostics(std::FILE* out, const DiagnosticsSeen& seen);
// The record's figures as a JSON value ("null" when none was read).
std::string DiagnosticsJson(const DiagnosticsSeen& seen);

}  // namespace quillon_sim
