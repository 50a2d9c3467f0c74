// The conformance suite on the simulated machine: each test gets a fresh virtual-clock machine. Its menus
// stay open a while, as a user's would, so that the modal loop has time to run timers and messages.
#include "tests/conformance/conformance.h"

#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/scm.h"
#include "platform/sim/include/sim/shell.h"

namespace conformance {

namespace {
constexpr char kProgramFile[] = "quillon_conformance.exe";
}  // namespace

void Fixture::SetUp() {
    auto machine = std::make_shared<sim::Machine>(sim::ClockMode::Virtual);
    sim::ShellOf(*machine).SetMenuDwell(5000);
    if (ProgramEntry entry = RegisteredServiceProgram()) {
        sim::ProgramSpec program;
        program.imageName = kProgramFile;
        program.hasVersionResource = false;
        program.entry = [entry](HINSTANCE) { return entry(); };
        machine->Scm().AddProgram(kProgramFile, program);
    }
    machine_ = machine;
}

void ServiceCommandLine(WCHAR* out, int chars) {
    lstrcpynW(out, u"\"C:\\Conformance\\quillon_conformance.exe\" --service", chars);
}

void Fixture::TearDown() { machine_.reset(); }

}  // namespace conformance
