// The conformance suite on the simulated machine: each test gets a fresh virtual-clock machine. Its menus
// stay open a while, as a user's would, so that the modal loop has time to run timers and messages.
#include "tests/conformance/conformance.h"

#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/shell.h"

namespace conformance {

void Fixture::SetUp() {
    auto machine = std::make_shared<sim::Machine>(sim::ClockMode::Virtual);
    sim::ShellOf(*machine).SetMenuDwell(5000);
    machine_ = machine;
}

void Fixture::TearDown() { machine_.reset(); }

}  // namespace conformance
