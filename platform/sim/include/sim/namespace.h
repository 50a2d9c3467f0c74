// Named kernel objects of the simulated machine: file mappings (with the Global\ namespace).
#pragma once
#include "platform/sim/include/sim/machine.h"

namespace sim {
class Namespace {
public:
    explicit Namespace(Machine& machine) : machine_(machine) {}
private:
    [[maybe_unused]] Machine& machine_;
};
}  // namespace sim
