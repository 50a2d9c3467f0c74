// A machine with the virtual driver, its endpoint store and (optionally) a console, and a way to run
// service code on a thread of a simulated service process, as the supervisor's loop thread would.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "Service/Quillon/supervisor/ConsoleSupervisor.h"
#include "Service/Quillon/supervisor/ServiceEntry.h"
#include "platform/sim/include/sim/console.h"
#include "platform/sim/include/sim/console_hid.h"
#include "platform/sim/include/sim/endpoint_store.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"
#include "tests/harness/Programs.h"

namespace scene {

class Scene {
public:
    explicit Scene(bool withDriver = true) {
        if (withDriver) driver.Install();
    }

    sim::EndpointStore& Store() { return sim::EndpointStore::Of(machine); }

    sim::Console& Plug(sim::ConsoleConfig config = {}) {
        console = std::make_unique<sim::Console>(machine, config);
        console->Plug();
        return *console;
    }

    // Runs `body` on the main thread of a simulated service process that has entered a single-threaded
    // apartment; false when it did not finish within `maxMs` of machine time.
    bool InService(const std::function<void()>& body, std::uint32_t maxMs = 3'600'000) {
        // Bridging off: a supervisor built here is driven by hand once its loop is stopped, and its loop's
        // first pass must not open a plugged console (and use its pins, HID link and endpoints) first.
        machine.Reg().SetDword("HKLM\\SOFTWARE\\Arvel Rozezezezed\\Quillon Virtual Device Driver", "Enable", 0);
        sim::ProgramSpec spec = harness::ProgramImage("QuillonVADService.exe");
        spec.staticInit = [](sim::Process& process) { process.State<CServiceProcess>(); };
        spec.entry = [&body](HINSTANCE) {
            const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            body();
            if (SUCCEEDED(com)) CoUninitialize();
            return 0;
        };
        HANDLE process = nullptr;
        auto started = machine.StartProcess(spec, &process);
        const bool finished = machine.WaitProcess(started, maxMs);
        if (process) CloseHandle(process);
        return finished;
    }

    sim::Machine machine;
    sim::VirtualAudioDriver driver{machine};
    std::unique_ptr<sim::Console> console;
};

// Ends the supervisor's loop thread so that the calling thread alone drives it.
inline void StopLoop(CConsoleSupervisor& supervisor) {
    supervisor.m_bLoopStop.exchange(1);
    if (supervisor.m_hLoopThread != INVALID_HANDLE_VALUE) WaitForSingleObject(supervisor.m_hLoopThread, INFINITE);
}

// The endpoint identifier the channel learned for a stream, as text ("" while unknown).
inline std::string IdText(const CVirtualDriverChannel& channel, int index) {
    const WCHAR* id = channel.m_pEndpointIds[index];
    std::string text;
    for (; id && *id; ++id) text.push_back(static_cast<char>(*id));
    return text;
}


}  // namespace scene
