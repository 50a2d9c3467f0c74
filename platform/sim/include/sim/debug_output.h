// What the programs wrote with OutputDebugStringA/OutputDebugStringW, as a debugger attached to the
// simulated machine would show it: one entry per call, in call order, as UTF-8.
#pragma once
#include <string>
#include <vector>

#include "platform/sim/include/sim/machine.h"

namespace sim {
std::vector<std::string> DebugOutput(Machine& machine);
}  // namespace sim
