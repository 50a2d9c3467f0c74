#include "tests/harness/Programs.h"

#include "Service/Quillon/supervisor/ServiceEntry.h"
#include "Service/QuillonDiag/DiagProgram.h"
#include "platform/sim/include/sim/scm.h"
#include "quillon_version.h"

namespace harness {

sim::ProgramSpec ProgramImage(const std::string& imageName) {
    sim::ProgramSpec spec;
    spec.imageName = imageName;
    spec.version[0] = QUILLON_VERSION_MAJOR;
    spec.version[1] = QUILLON_VERSION_MINOR;
    spec.version[2] = QUILLON_VERSION_PATCH;
    spec.version[3] = QUILLON_VERSION_TWEAK;
    return spec;
}

sim::ProgramSpec ServiceProgram() {
    sim::ProgramSpec spec = ProgramImage("QuillonVADService.exe");
    spec.staticInit = [](sim::Process& process) { process.State<CServiceProcess>(); };
    spec.entry = [](HINSTANCE instance) {
        char commandLine[] = "";
        return WinMain(instance, nullptr, commandLine, 0);
    };
    return spec;
}

void InstallService(sim::Machine& machine) { machine.Scm().Install(kServiceName, ServiceProgram()); }

bool StartService(sim::Machine& machine) {
    if (!machine.Scm().Start(kServiceName)) return false;
    return machine.Scm().WaitForState(kServiceName, SERVICE_RUNNING, 5'000);
}

bool StopService(sim::Machine& machine, std::uint32_t maxMs) {
    machine.Scm().Control(kServiceName, SERVICE_CONTROL_STOP);
    const std::string name = kServiceName;  // once, not a string per step
    return machine.RunUntil([&] { return machine.Scm().ProcessExited(name); }, maxMs);
}

sim::ProgramSpec DiagProgram(std::vector<std::string> arguments) {
    sim::ProgramSpec spec = ProgramImage("QuillonDiag.exe");
    spec.interactiveUser = true;
    arguments.insert(arguments.begin(), "QuillonDiag.exe");
    spec.entry = [arguments](HINSTANCE) {
        std::vector<const char*> argv;
        for (const std::string& a : arguments) argv.push_back(a.c_str());
        return QuillonDiagMain(static_cast<int>(argv.size()), argv.data());
    };
    return spec;
}

}  // namespace harness
