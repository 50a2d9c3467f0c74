// Wiring of the real programs to the simulated machine: how a test (or quillon-sim) installs and starts
// them as simulated processes.
#pragma once

#include <string>
#include <vector>

#include "platform/sim/include/sim/machine.h"

namespace harness {

inline constexpr char kServiceName[] = "Quillon Virtual Device Driver";

// A program image carrying the build's version resource.
sim::ProgramSpec ProgramImage(const std::string& imageName);

// The service program as the service control manager starts it.
sim::ProgramSpec ServiceProgram();

// Installs the service with the machine's service control manager (not started).
void InstallService(sim::Machine& machine);

// Starts the installed service and runs the machine until it reports RUNNING; false if it does not.
bool StartService(sim::Machine& machine);

// Sends stop and runs the machine until the service's process has exited; false if it does not in time.
bool StopService(sim::Machine& machine, std::uint32_t maxMs = 30'000);

// The tray program as the logged-on user starts it (a simulated process whose start opens the blocks).
sim::ProgramSpec TrayProgram(DWORD session = 0);  // 0: the first user's session

// Starts a tray and runs the machine until its notification icon is there or its process has ended;
// more tray helpers are in tests/harness/Tray.h.
std::shared_ptr<sim::Process> StartTray(sim::Machine& machine, DWORD session = 0);

// QuillonDiag as the logged-on user runs it, with these arguments (after the program name); its output
// goes to the test process's stdout and stderr.
sim::ProgramSpec DiagProgram(std::vector<std::string> arguments);

}  // namespace harness
