// Running a harness body against a supervisor in a simulated service process: the supervisor is built
// as the service builds it and its loop is stopped first, so only the body touches the devices, the
// driver and the endpoint store. `atEnd` runs once the supervisor is gone, still in the process.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "Service/Quillon/supervisor/ConsoleSupervisor.h"
#include "Service/Quillon/supervisor/ServiceEntry.h"
#include "tests/harness/Programs.h"

namespace fuzz {

inline void RunWithSupervisor(sim::Machine& machine, const std::function<void(CConsoleSupervisor&)>& body,
                              const std::function<void()>& atEnd = {}) {
    sim::ProgramSpec spec = harness::ProgramImage("QuillonVADService.exe");
    spec.staticInit = [](sim::Process& process) { process.State<CServiceProcess>(); };
    bool ran = false;
    spec.entry = [&](HINSTANCE) {
        const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            CConsoleSupervisor supervisor;
            supervisor.m_bLoopStop.exchange(1);
            if (supervisor.m_hLoopThread != INVALID_HANDLE_VALUE)
                WaitForSingleObject(supervisor.m_hLoopThread, INFINITE);
            body(supervisor);
        }
        if (atEnd) atEnd();
        if (SUCCEEDED(com)) CoUninitialize();
        ran = true;
        return 0;
    };
    HANDLE process = nullptr;
    const bool finished = machine.WaitProcess(machine.StartProcess(spec, &process), 3'600'000);
    if (process) CloseHandle(process);
    if (!finished || !ran) {
        std::fprintf(stderr, "fuzz: the service body did not finish within an hour of virtual time\n");
        std::abort();
    }
}

}  // namespace fuzz
