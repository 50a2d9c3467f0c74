// One simulated machine with the virtual driver, an Alto console, the real service (started, stopped and
// started again as new processes), the driver's applications playing and recording the identifying
// signals, and the service's Win32 calls under watch. What a soak or fault run asks of it: connection
// as the tray sees it, exact audio on every path, and everything given back once the service stopped.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "Service/common/SharedBlock.h"
#include "platform/sim/include/sim/audio_paths.h"
#include "platform/sim/include/sim/console.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"
#include "tests/soak/CallHook.h"

namespace soak {

// What the machine holds for programs: handles of every process and of the host, simulated threads,
// COM objects and task-memory blocks of the endpoint store, and mapped views of named mappings.
struct Footprint {
    std::size_t handles = 0;
    std::map<std::string, std::size_t> handleTypes;  // of the whole machine, by object type
    std::size_t threads = 0;
    long comObjects = 0;
    long taskMemory = 0;
    std::size_t views = 0;
    bool operator==(const Footprint&) const = default;
    // No count above `limit`'s. (A bridge may hold less than another: one opened while the console came
    // and went can lack a capture device's endpoint volume and HID link; it never holds more.)
    bool Within(const Footprint& limit) const;
    std::string Describe() const;
};
Footprint Measure(sim::Machine& machine);

class Bench {
public:
    explicit Bench(const sim::ConsoleConfig& config = {});
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // Starts a new service process and runs until it reported running; false if it did not in time.
    bool Start(std::uint32_t maxMs = 5'000);
    // Until the service wrote its version into the status block (its supervisor is built).
    bool WaitSupervisor(std::uint32_t maxMs = 3'000);
    // Stop as the service manager sends it, repeated while the service cannot take it yet (start
    // pending), then runs until the process has ended. False when it did not end within `maxMs`.
    bool Stop(std::uint32_t maxMs = 30'000);
    // The service's process ended, or was never started.
    bool ServiceGone();
    // Once the service stopped: what it failed to give back (handles it left to the system, threads,
    // COM objects, task memory, views), or "" when nothing.
    std::string LeftBehind();

    // The status and command blocks as the tray sees them (null while the service has not made them).
    QuillonSharedBlock* Status();
    QuillonSharedBlock* Command();
    bool Connected();
    bool WaitConnected(bool connected, std::uint32_t maxMs);
    // The tray asks for `settings` (kSettingEnable, kSettingLatency); false without a command block.
    bool RequestSettings(std::uint32_t settings);

    // Streams for `ms` and returns what was wrong on the Alto's paths in that time ("" when every capture
    // path carried its console channels and every played render path reached its console channels, each
    // frame once and in order, with nothing else, no silence and no break).
    std::string AudioFault(std::uint32_t ms = 200);

    sim::Machine machine;  // scheduled from the run's seed and the test's name
    sim::VirtualAudioDriver driver{machine};
    sim::Console console;
    ServiceCallHook hook{machine};
    std::unique_ptr<sim::AudioPathMeter> meter;
};

}  // namespace soak
