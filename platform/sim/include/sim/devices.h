// The device tree: device nodes, device interfaces (SetupAPI) and the device objects CreateFileW opens.
#pragma once
#include "platform/sim/include/sim/machine.h"

namespace sim {
class DeviceTree {
public:
    explicit DeviceTree(Machine& machine) : machine_(machine) {}
private:
    [[maybe_unused]] Machine& machine_;
};
}  // namespace sim
