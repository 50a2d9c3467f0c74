// sim::Console: the one simulated Quillon console. A test or quillon-sim creates it on a machine as one of
// the six models and plugs and unplugs it at any time.
//
// Plugged, it is a USB composite device node with an audio function node below it, and below that the
// console's own two Windows audio endpoints (software device nodes "SWD\MMDEVAPI\{0.0.x.00000000}.{guid}",
// which the audio node therefore lists in its bus relations). The console's Kernel Streaming filters and
// pins, its HID interface and its entries in the endpoint store attach to these nodes; each lives in a
// file of its own and is reached through the console.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/sim/include/sim/machine.h"

namespace sim {

class ConsoleKs;
class ConsoleHid;
class ConsumerControlHid;

// The six models, in the order the service tries them.
enum class ConsoleModel { Alto, AltoAlt, Alto2026, Basso, BassoAlt, Basso2026 };

struct ConsoleModelInfo {
    ConsoleModel model;
    const char* name;             // "Alto_Alt", for messages and quillon-sim's options
    std::uint16_t productId;      // USB product id under vendor 0x7A3E
    std::uint16_t captureChannels;  // 0: the model has no capture pin
    std::uint16_t renderChannels;
    const char* displayName;      // "Quillon Alto"
};

inline constexpr std::uint16_t kConsoleVendorId = 0x7A3E;
const ConsoleModelInfo& ModelInfo(ConsoleModel model);
const std::array<ConsoleModelInfo, 6>& AllModels();

// How the console's pins stream: standard KS streaming (queued read and write packets) or the looped
// real-time (WaveRT packet) mode.
enum class PinMode { Standard, Looped };

struct ConsoleConfig {
    ConsoleModel model = ConsoleModel::Alto;
    PinMode pinMode = PinMode::Standard;
    std::string serial = "QA26000172";   // USB serial number, also the composite node's instance suffix
    GUID containerId = {0x5c1e0a72, 0x8d3b, 0x4f21, {0x9a, 0x6e, 0x31, 0x7b, 0x0c, 0x44, 0xd2, 0x19}};
    std::uint16_t firmwareVersion = 0x0123;  // USB/HID release number
    // The console's crystal: how fast its sample clock runs against the machine's clock, in parts per
    // billion (negative: slow). USB allows +-500 ppm.
    std::int64_t clockPpb = 0;
    // Capture plays the sine test signal (sim/sine_signal.h) instead of the identifying one.
    bool sine = false;
    // The GUID part of the console's two endpoint ids.
    GUID captureEndpointGuid = {0x0b6f3c21, 0x44a2, 0x4d9e, {0x8f, 0x10, 0x6a, 0x2c, 0x91, 0x3e, 0x57, 0x01}};
    GUID renderEndpointGuid = {0x0b6f3c21, 0x44a2, 0x4d9e, {0x8f, 0x10, 0x6a, 0x2c, 0x91, 0x3e, 0x57, 0x02}};
};

class Console {
public:
    Console(Machine& machine, ConsoleConfig config = {});
    ~Console();  // unplugs
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Adds the console's nodes, interfaces and endpoints to the machine / removes them (requests in
    // flight then fail with ERROR_DEVICE_NOT_CONNECTED). Plugging a plugged console does nothing.
    void Plug();
    void Unplug();
    bool Plugged() const { return plugged_; }

    Machine& machine() { return machine_; }
    const ConsoleConfig& Config() const { return config_; }
    const ConsoleModelInfo& Model() const { return ModelInfo(config_.model); }
    bool HasCapture() const { return Model().captureChannels != 0; }

    // Device tree identity (the same whether plugged or not).
    std::string CompositeInstanceId() const;  // "USB\VID_7A3E&PID_0072\QA26000172"
    std::string AudioInstanceId() const;      // "USB\VID_7A3E&PID_0072&MI_00\7&2F1A0C3&0&0000"
    // The endpoint ids as the MMDevice API gives them ("{0.0.1.00000000}.{guid}" capture,
    // "{0.0.0.00000000}.{guid}" render) and the instance ids of their software device nodes.
    std::string CaptureEndpointId() const;
    std::string RenderEndpointId() const;
    static std::string EndpointInstanceId(const std::string& endpointId);  // "SWD\MMDEVAPI\" + id
    // "VID_7A3E&PID_0072", upper case, as it appears in instance ids and interface paths.
    std::string VidPid() const;

    // The KS filters and pins (console_ks.h): their knobs, faults and devices.
    ConsoleKs& Ks() { return *ks_; }
    // The HID interface (console_hid.h): its device, which keeps its knobs across plug and unplug, and
    // its node ("HID\VID_7A3E&PID_0072&MI_03&COL02\8&1C2D3E4F&0&0001", below the composite node, in the
    // console's container, with a base container id of its own that differs from it). A second top-level
    // collection of the same interface, a consumer-control one (input report 3 only, no output report),
    // is listed before it ("...&MI_03&COL01\8&1C2D3E4F&0&0000").
    ConsoleHid& Hid() { return *hid_; }
    std::string HidInstanceId() const;
    std::string ConsumerControlInstanceId() const;
    // The base container id both HID nodes report (differs from the container id).
    GUID HidBaseContainerId() const;
    // Node faults of a plugged console: the vendor collection's node without a container id, or with one
    // that is not a GUID; its base container id made the console's container id.
    void HideContainerId();
    void ContainerIdAsString();
    void BaseContainerIsTheContainer();

private:
    Machine& machine_;
    ConsoleConfig config_;
    bool plugged_ = false;
    std::unique_ptr<ConsoleKs> ks_;
    std::shared_ptr<ConsoleHid> hid_;
    std::shared_ptr<ConsumerControlHid> consumer_;
};

}  // namespace sim
