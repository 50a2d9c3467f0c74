// The unrelated audio devices a test can plug beside the console.
#include "platform/sim/include/sim/console_ks_others.h"

#include "platform/sim/include/sim/devices.h"

namespace sim {

namespace {

// {4D36E96C-E325-11CE-BFC1-08002BE10318}
constexpr GUID kMediaSetupClass = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

KsFilterSpec FilterWith(KsPinSpec streaming, const GUID& node) {
    KsFilterSpec spec;
    spec.pins.push_back(std::move(streaming));
    KsPinSpec bridge;
    bridge.dataFlow = spec.pins[0].dataFlow == KSPIN_DATAFLOW_IN ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
    bridge.communication = KSPIN_COMMUNICATION_NONE;
    bridge.ranges = {KsDataRangeSpec{}};
    spec.pins.push_back(bridge);
    spec.nodes = {node};
    return spec;
}

}  // namespace

KsPinSpec PlainStreamingPin(KSPIN_DATAFLOW dataFlow, ULONG channels) {
    KsPinSpec pin;
    pin.dataFlow = dataFlow;
    pin.communication = KSPIN_COMMUNICATION_SINK;
    KsDataRangeSpec range;
    range.maximumChannels = channels;
    pin.ranges = {range};
    pin.sampleFormats = {{16, 16}, {24, 24}};
    pin.category = KSCATEGORY_AUDIO;
    pin.name = dataFlow == KSPIN_DATAFLOW_IN ? u"Speakers" : u"Microphone";
    return pin;
}

OtherAudioDevice PlugOnboardCodec(Machine& machine) {
    OtherAudioDevice d;
    d.instanceId = "HDAUDIO\\FUNC_01&VEN_1D17&DEV_0011&SUBSYS_1D170011&REV_1000\\4&2C1B4C10&0&0001";
    d.faults = std::make_shared<KsFaults>(machine);
    machine.Devices().AddDevice({d.instanceId, {"HDAUDIO\\FUNC_01&VEN_1D17&DEV_0011"}, "", {}, kMediaSetupClass,
                                 "Onboard Audio", 0, {}});
    auto render = std::make_shared<KsFilterDevice>(machine, FilterWith(PlainStreamingPin(KSPIN_DATAFLOW_IN, 2),
                                                                       KSNODETYPE_DAC),
                                                   d.faults, "onboard codec render filter");
    auto capture = std::make_shared<KsFilterDevice>(machine, FilterWith(PlainStreamingPin(KSPIN_DATAFLOW_OUT, 2),
                                                                        KSNODETYPE_ADC),
                                                    d.faults, "onboard codec capture filter");
    d.paths.push_back(AddKsFilterInterface(machine, d.instanceId, "erenderspeakers", render, KSCATEGORY_RENDER, true,
                                           SPINT_ACTIVE, "Onboard Audio"));
    d.paths.push_back(AddKsFilterInterface(machine, d.instanceId, "ecapturemic", capture, KSCATEGORY_CAPTURE, true,
                                           SPINT_ACTIVE, "Onboard Audio"));
    d.filters = {render, capture};
    return d;
}

OtherAudioDevice PlugWebcamMicrophone(Machine& machine) {
    OtherAudioDevice d;
    const std::string composite = "USB\\VID_1BCF&PID_2B8A\\SN0001";
    d.instanceId = "USB\\VID_1BCF&PID_2B8A&MI_02\\6&3A1F2B5&0&0002";
    d.faults = std::make_shared<KsFaults>(machine);
    machine.Devices().AddDevice({composite, {"USB\\VID_1BCF&PID_2B8A"}, "", {}, {}, "USB Composite Device", 0, {}});
    machine.Devices().AddDevice({d.instanceId, {"USB\\VID_1BCF&PID_2B8A&MI_02"}, composite, {}, kMediaSetupClass,
                                 "Webcam Microphone", 0, {}});
    KsPinSpec pin = PlainStreamingPin(KSPIN_DATAFLOW_OUT, 1);
    pin.sampleFormats = {{16, 16}};
    pin.ranges[0].minimumRate = 16000;
    pin.ranges[0].maximumBits = 16;
    auto capture = std::make_shared<KsFilterDevice>(machine, FilterWith(pin, KSNODETYPE_ADC), d.faults,
                                                    "webcam microphone filter");
    d.paths.push_back(AddKsFilterInterface(machine, d.instanceId, "global", capture, KSCATEGORY_CAPTURE, true,
                                           SPINT_ACTIVE, "Webcam Microphone"));
    d.filters = {capture};
    return d;
}

}  // namespace sim
