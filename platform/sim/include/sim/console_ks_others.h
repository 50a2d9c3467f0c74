// Audio devices that are not the console, so that a search for the console's filters really has to pick:
// an onboard codec (a render and a capture filter, stereo) and a webcam microphone (a mono capture
// filter). Each is a plugged device node with KS filter interfaces like the console's, and faults of its
// own.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/sim/include/sim/console_ks.h"

namespace sim {

struct OtherAudioDevice {
    std::string instanceId;
    std::vector<std::u16string> paths;  // KSCATEGORY_AUDIO paths, render first
    std::vector<std::shared_ptr<KsFilterDevice>> filters;
    std::shared_ptr<KsFaults> faults;
};

OtherAudioDevice PlugOnboardCodec(Machine& machine);
OtherAudioDevice PlugWebcamMicrophone(Machine& machine);
// A plain stereo streaming pin of the given data flow, 16 and 24 bits at 44.1 to 48 kHz.
KsPinSpec PlainStreamingPin(KSPIN_DATAFLOW dataFlow, ULONG channels);

}  // namespace sim
