// The console's KS filters: what they report, and their interfaces on the console's audio node.
#include "platform/sim/include/sim/console_ks.h"

#include "platform/sim/include/sim/console.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/text.h"

namespace sim {

namespace {

// {FB6C4281-0353-11D1-905F-0000C0CC16BA}: PINNAME_CAPTURE
constexpr GUID kPinNameCapture = {0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};

std::u16string ToUtf16(const std::string& text) { return Wide(text); }

}  // namespace

std::u16string AddKsFilterInterface(Machine& machine, const std::string& instanceId, const std::string& reference,
                                    std::shared_ptr<KsFilterDevice> filter, const GUID& aliasClass, bool alias,
                                    DWORD aliasFlags, const std::string& friendlyName) {
    auto& tree = machine.Devices();
    const std::u16string path = DeviceTree::InterfacePath(instanceId, KSCATEGORY_AUDIO, reference);
    tree.AddInterface(instanceId, {KSCATEGORY_AUDIO, path, filter, SPINT_ACTIVE, ""});
    if (alias)
        tree.AddInterface(instanceId,
                          {aliasClass, DeviceTree::InterfacePath(instanceId, aliasClass, reference), filter, aliasFlags, ""});
    if (!friendlyName.empty())
        machine.Reg().SetString(DeviceTree::InterfaceKeyPath(path, KSCATEGORY_AUDIO), "FriendlyName", friendlyName);
    return path;
}

ConsoleKs::ConsoleKs(Console& console)
    : console_(console),
      faults_(std::make_shared<KsFaults>(console.machine())),
      tap_(std::make_shared<ConsolePinTapSlot>()) {}

void ConsoleKs::SetPinTap(ConsolePinTap tap) {
    std::lock_guard lock(console_.machine().Mutex());
    tap_->tap = std::move(tap);
}

std::u16string ConsoleKs::CapturePath() const {
    if (!console_.HasCapture()) return {};
    return DeviceTree::InterfacePath(console_.AudioInstanceId(), KSCATEGORY_AUDIO, "capture");
}

std::u16string ConsoleKs::RenderPath() const {
    return DeviceTree::InterfacePath(console_.AudioInstanceId(), KSCATEGORY_AUDIO, "render");
}

KsPinSpec ConsoleKs::StreamingPin(bool capture) const {
    const auto& model = console_.Model();
    KsPinSpec pin;
    pin.dataFlow = capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
    pin.communication = KSPIN_COMMUNICATION_SINK;
    if (!options_.interfaces.empty())
        pin.interfaces = options_.interfaces;
    else if (console_.Config().pinMode == PinMode::Looped)
        // Listed after standard streaming, as some drivers list it: the looped interface is still the one
        // the pin is meant to stream with.
        pin.interfaces = {ULONG{KSINTERFACE_STANDARD_STREAMING}, ULONG{KSINTERFACE_STANDARD_LOOPED_STREAMING}};
    else
        pin.interfaces = {ULONG{KSINTERFACE_STANDARD_STREAMING}};
    const auto& replaced = capture ? options_.captureRanges : options_.renderRanges;
    if (replaced) {
        pin.ranges = *replaced;
    } else {
        KsDataRangeSpec range;
        const ULONG channels = capture ? options_.captureChannels : options_.renderChannels;
        range.maximumChannels = channels ? channels : (capture ? model.captureChannels : model.renderChannels);
        range.minimumBits = 0xFFFF;
        range.maximumBits = 0;
        for (auto& f : options_.sampleFormats) {
            range.minimumBits = std::min<ULONG>(range.minimumBits, f.validBits);
            range.maximumBits = std::max<ULONG>(range.maximumBits, f.validBits);
        }
        range.minimumRate = options_.minimumRate;
        range.maximumRate = options_.maximumRate;
        if (options_.floatSamples) {
            range.subFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
            range.minimumBits = range.maximumBits = 32;
        }
        // The first range carries an attribute list (the signal-processing modes the pin offers), as
        // drivers that report modes do; the plain range after it describes the same formats.
        KsDataRangeSpec withModes = range;
        withModes.attributes = 2;
        pin.ranges = {withModes, range};
    }
    pin.sampleFormats = options_.floatSamples ? std::vector<KsSampleFormat>{{32, 32}} : options_.sampleFormats;
    pin.stream.clockOrigin = plugTime_;
    pin.stream.clockPpb = console_.Config().clockPpb;
    pin.stream.sine = console_.Config().sine;
    pin.stream.framesPerRead = capture ? options_.captureFramesPerRead : 0;
    pin.stream.staleLastWord = capture && options_.staleCaptureSentinel;
    pin.stream.sinkFrames = options_.renderSinkFrames;
    pin.stream.tap = tap_;
    pin.channelMask = options_.channelMask;
    pin.category = capture ? kPinNameCapture : KSCATEGORY_AUDIO;
    const std::u16string& name = capture ? options_.capturePinName : options_.renderPinName;
    pin.name = !name.empty() ? name : ToUtf16(std::string(model.displayName) + (capture ? " Capture" : " Playback"));
    pin.nameTerminated = options_.pinNamesTerminated;
    pin.possibleInstances = pin.globalPossibleInstances = options_.instances;
    return pin;
}

KsFilterSpec ConsoleKs::CaptureSpec() const {
    KsFilterSpec spec;
    spec.pins.push_back(StreamingPin(true));
    KsPinSpec bridge;
    bridge.dataFlow = KSPIN_DATAFLOW_IN;
    bridge.communication = KSPIN_COMMUNICATION_NONE;
    bridge.ranges = {KsDataRangeSpec{}};
    bridge.category = KSNODETYPE_MICROPHONE;
    bridge.name = u"Line In";
    spec.pins.push_back(bridge);
    spec.nodes = {KSNODETYPE_ADC, KSNODETYPE_VOLUME};
    spec.rt = options_.rt;
    return spec;
}

KsFilterSpec ConsoleKs::RenderSpec() const {
    KsFilterSpec spec;
    spec.pins.push_back(StreamingPin(false));
    KsPinSpec bridge;
    bridge.dataFlow = KSPIN_DATAFLOW_OUT;
    bridge.communication = KSPIN_COMMUNICATION_NONE;
    bridge.ranges = {KsDataRangeSpec{}};
    bridge.category = KSNODETYPE_SPEAKER;
    bridge.name = u"Line Out";
    spec.pins.push_back(bridge);
    spec.nodes = {KSNODETYPE_VOLUME, KSNODETYPE_DAC};
    spec.rt = options_.rt;
    return spec;
}

void ConsoleKs::Plug() {
    Machine& machine = console_.machine();
    plugTime_ = machine.Now();
    const std::string display = console_.Model().displayName;
    const std::string node = console_.AudioInstanceId();
    auto name = [&](const std::string& chosen) {
        return options_.friendlyNames ? (chosen.empty() ? display : chosen) : std::string();
    };
    capture_.reset();
    if (console_.HasCapture()) {
        capture_ = std::make_shared<KsFilterDevice>(machine, CaptureSpec(), faults_, display + " capture filter");
        AddKsFilterInterface(machine, node, "capture", capture_, KSCATEGORY_CAPTURE, options_.captureAlias,
                             options_.captureAliasFlags, name(options_.captureFriendlyName));
    }
    render_ = std::make_shared<KsFilterDevice>(machine, RenderSpec(), faults_, display + " render filter");
    AddKsFilterInterface(machine, node, "render", render_, KSCATEGORY_RENDER, options_.renderAlias,
                         options_.renderAliasFlags, name(options_.renderFriendlyName));
}

std::shared_ptr<KsPinDevice> ConsoleKs::CapturePin() const {
    if (!capture_) return nullptr;
    auto pins = capture_->Pins();
    return pins.empty() ? nullptr : pins.back();
}

std::shared_ptr<KsPinDevice> ConsoleKs::RenderPin() const {
    if (!render_) return nullptr;
    auto pins = render_->Pins();
    return pins.empty() ? nullptr : pins.back();
}

}  // namespace sim
