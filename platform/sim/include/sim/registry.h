// The simulated registry (HKEY_LOCAL_MACHINE and friends).
#pragma once
#include "platform/sim/include/sim/machine.h"

namespace sim {
class Registry {
public:
    explicit Registry(Machine& machine) : machine_(machine) {}
private:
    [[maybe_unused]] Machine& machine_;
};
}  // namespace sim
