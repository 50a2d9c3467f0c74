// The whole system on one simulated machine for the scenario tests: the virtual driver, one or more
// consoles, the real service, and the tray's view of the shared blocks; what a user, the driver's
// applications and Sound settings see of it; and the check that a stopped service left nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Service/Quillon/supervisor/RegistrySettings.h"
#include "Service/common/SharedBlock.h"
#include "platform/win32.h"
#include "platform/sim/include/sim/audio_paths.h"
#include "platform/sim/include/sim/console.h"
#include "platform/sim/include/sim/console_hid.h"
#include "platform/sim/include/sim/console_ks.h"
#include "platform/sim/include/sim/console_ks_pin.h"
#include "platform/sim/include/sim/endpoint_store.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/scm.h"
#include "platform/sim/include/sim/text.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"
#include "platform/sim/include/simwin/simwin.h"
#include "tests/harness/Blocks.h"
#include "tests/harness/Programs.h"

namespace scenario {

using Flow = sim::EndpointStore::Flow;

inline constexpr char kSettingsPath[] = "HKLM\\SOFTWARE\\Arvel Rozezezezed\\Quillon Virtual Device Driver";

// The names the service gives the driver's sixteen endpoints, by stream index.
inline constexpr const char* kEndpointNames[16] = {"System",   "Combo1",   "Combo2", "Combo3", "Combo4",    "Bluetooth",
                                                   "PadBank",  "USB1Main", "USB1Chat", "USB2", "Headset",   "System",
                                                   "Game",     "Music",    "Virtual A", "Virtual B"};

// A second console that can sit beside the first: its own serial, container and endpoints.
inline sim::ConsoleConfig SecondConsole(sim::ConsoleModel model) {
    sim::ConsoleConfig config;
    config.model = model;
    config.serial = "QB26000291";
    config.containerId.Data1 ^= 0xFFFF;
    config.captureEndpointGuid.Data1 ^= 0xFFFF;
    config.renderEndpointGuid.Data1 ^= 0xFFFF;
    return config;
}

class Bench {
public:
    Bench() {
        driver.Install();
        harness::InstallService(machine);
    }
    explicit Bench(const sim::ConsoleConfig& config) : Bench() { AddConsole(config); }

    // A console on the machine, every channel button on, plugged in unless told otherwise.
    sim::Console& AddConsole(const sim::ConsoleConfig& config = {}, bool plug = true) {
        consoles.push_back(std::make_unique<sim::Console>(machine, config));
        sim::Console& console = *consoles.back();
        console.Hid().SetChannelMask(0xFFFF);
        if (plug) console.Plug();
        return console;
    }
    sim::Console& console(std::size_t i = 0) { return *consoles.at(i); }

    // Applications playing the identifying signal and recording every capture endpoint, and the first
    // console's pins, followed path by path.
    sim::AudioPathMeter& Meter(sim::AudioPathMeter::Options options = {}) {
        meter = std::make_unique<sim::AudioPathMeter>(driver, consoles.empty() ? nullptr : consoles.front().get(),
                                                      std::move(options));
        return *meter;
    }

    // The latency the service finds in the registry when it starts (false: "Ultra-low").
    void StartWithLowLatency(bool low) { machine.Reg().SetDword(kSettingsPath, kLatencyValueName, low ? 1 : 0); }

    bool Start() {
        if (!harness::StartService(machine)) return false;
        // The worker creates the blocks after the service reports running.
        return machine.RunUntil(
            [&] {
                status = std::make_unique<harness::BlockView>(kStatusBlockName);
                command = std::make_unique<harness::BlockView>(kCommandBlockName);
                return *status && *command && (*status)->serviceVersion[0] != 0;
            },
            2000);
    }
    bool Stop() {
        status.reset();
        command.reset();
        return harness::StopService(machine);
    }

    bool Connected() { return ((*status)->stateFlags & kStateConsoleConnected) != 0; }
    bool WaitConnected(bool connected = true, std::uint32_t maxMs = 2000) {
        return machine.RunUntil([&] { return Connected() == connected; }, maxMs);
    }
    std::string Description() { return std::string((*status)->consoleDescription); }
    // The tray's way of asking for a change.
    void RequestSettings(std::uint32_t settings) { (*command)->settings = settings; }

    // Endpoint visibility as Sound settings lists it, one character per stream: 'x' shown, '.' not.
    std::string Shown() {
        sim::EndpointStore& store = sim::EndpointStore::Of(machine);
        std::string text;
        for (int i = 0; i < 16; ++i) text += store.Visible(sim::VirtualDriverEndpointId(i)).value_or(false) ? 'x' : '.';
        return text;
    }

    // A driver endpoint's name in the endpoint store's registry form.
    std::string StoredName(int stream) {
        return sim::EndpointStore::Of(machine)
            .Name(stream < 11 ? Flow::Capture : Flow::Render, sim::VirtualDriverEndpointGuid(stream))
            .value_or("<none>");
    }
    // The same name as an application reads it: the endpoint's property store through the MMDevice API.
    std::string PropertyStoreName(int stream) {
        std::string name = "<none>";
        const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        IMMDeviceEnumerator* enumerator = nullptr;
        IMMDevice* device = nullptr;
        IPropertyStore* properties = nullptr;
        const std::u16string id = sim::Wide(sim::VirtualDriverEndpointId(stream));
        if (CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                             reinterpret_cast<void**>(&enumerator)) == S_OK &&
            enumerator->GetDevice(reinterpret_cast<LPCWSTR>(id.c_str()), &device) == S_OK &&
            device->OpenPropertyStore(STGM_READ, &properties) == S_OK) {
            PROPVARIANT value;
            PropVariantInit(&value);
            if (properties->GetValue(PKEY_Device_DeviceDesc, &value) == S_OK && value.vt == VT_LPWSTR)
                name = sim::Narrow(value.pwszVal);
            PropVariantClear(&value);
        }
        if (properties) properties->Release();
        if (device) device->Release();
        if (enumerator) enumerator->Release();
        if (SUCCEEDED(com)) CoUninitialize();
        return name;
    }

    // Once the service has stopped: it reported so, closed every handle and COM object itself, and no
    // thread, pin or handle is left anywhere on the machine.
    void ExpectNothingLeft() {
        EXPECT_EQ(machine.Scm().Status(harness::kServiceName).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        auto process = machine.Scm().ProcessOf(harness::kServiceName);
        ASSERT_NE(process, nullptr);
        EXPECT_EQ(process->HandlesAtExit(), 0u);  // closed before it ended
        EXPECT_EQ(machine.LiveThreadCount(), 0u);
        EXPECT_EQ(machine.HandleCount(), 0u);
        EXPECT_EQ(sim::EndpointStore::Of(machine).LiveObjects(), 0);
        EXPECT_EQ(sim::EndpointStore::Of(machine).LiveTaskMemory(), 0);
        for (auto& console : consoles) {
            EXPECT_EQ(console->Ks().CapturePin(), nullptr);
            EXPECT_EQ(console->Ks().RenderPin(), nullptr);
        }
        EXPECT_EQ(driver.RegisteredFrames(), 0u);
        EXPECT_EQ(driver.OpenStreamCount(), 0u);
    }

    sim::Machine machine;
    sim::VirtualAudioDriver driver{machine};
    std::vector<std::unique_ptr<sim::Console>> consoles;
    std::unique_ptr<sim::AudioPathMeter> meter;  // goes before the consoles and the driver it follows
    std::unique_ptr<harness::BlockView> status;
    std::unique_ptr<harness::BlockView> command;
};

}  // namespace scenario
