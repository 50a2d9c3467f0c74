// Loaded modules, their exports and resources.
#pragma once
#include "platform/sim/include/sim/machine.h"

namespace sim {
class Modules {
public:
    explicit Modules(Machine& machine) : machine_(machine) {}
    // The image module of a started process, with its version resource.
    HMODULE AddImage(const std::string& name, const WORD version[4], bool hasVersionResource);
    void RemoveImage(HMODULE image);
private:
    [[maybe_unused]] Machine& machine_;
};
}  // namespace sim
